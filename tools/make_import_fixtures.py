"""Regenerate the importer fixtures in tests/data/import/ from real producers.

The official `openai` and `anthropic` clients run against canned API answers
(an httpx.MockTransport, so no network is needed) under the unmodified
instrumentation libraries from PyPI; the finished spans and log records are
written as the OpenTelemetry file exporter writes them: JSON Lines of
ExportTraceServiceRequest / ExportLogsServiceRequest, ids in hex. The same
calls are also logged as {request, response, latency_ms} lines.

    pip install -r tools/import-fixtures-requirements.txt
    python tools/make_import_fixtures.py [OUT_DIR]

Each producer runs in its own process, since instrumentations patch the clients globally.
"""
from __future__ import annotations

import base64
import json
import os
import subprocess
import sys

import httpx

OUT = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests", "data", "import")

SCENARIOS = {
    # name: (instrumentation, environment)
    "openai-v2-span-only": ("openai-v2", {"OTEL_SEMCONV_STABILITY_OPT_IN": "gen_ai_latest_experimental",
                                          "OTEL_INSTRUMENTATION_GENAI_CAPTURE_MESSAGE_CONTENT": "span_only"}),
    "openai-v2-event-only": ("openai-v2", {"OTEL_SEMCONV_STABILITY_OPT_IN": "gen_ai_latest_experimental",
                                           "OTEL_INSTRUMENTATION_GENAI_CAPTURE_MESSAGE_CONTENT": "event_only"}),
    "openai-v2-no-content": ("openai-v2", {"OTEL_SEMCONV_STABILITY_OPT_IN": "gen_ai_latest_experimental"}),
    "openinference-openai": ("openinference", {}),
    "traceloop-anthropic": ("traceloop-anthropic", {"TRACELOOP_TRACE_CONTENT": "true"}),
    "traceloop-anthropic-events": ("traceloop-anthropic-events", {"TRACELOOP_TRACE_CONTENT": "true"}),
    "openai-chat-log": ("log", {}),
    "openai-responses-log": ("log", {}),
    "anthropic-log": ("log", {}),
}

WEATHER_TOOL = {"type": "function", "function": {
    "name": "get_weather", "description": "Current weather of a city",
    "parameters": {"type": "object", "properties": {"city": {"type": "string"}}, "required": ["city"]}}}
SYSTEM = "You are a travel assistant. Use the tools."
WEATHER = {"Lisbon": "Sunny, 22 °C, light wind from the north-west.", "Porto": "Cloudy, 17 °C, light rain."}
ANSWER = {"Lisbon": "It is sunny in Lisbon, 22 °C with a light north-west wind.",
          "Porto": "It is cloudy in Porto, 17 °C with light rain."}
# The eval tasks every producer runs: (task id, city asked about, or None for the truncated poem).
TASKS = [("task-1", "Lisbon"), ("task-2", None), ("task-3", "Porto")]


def question(city: str) -> str:
    return f"What is the weather in {city} right now?"


def city_of(text: str) -> str:
    return next(city for city in WEATHER if city in text)


# Canned API answers -----------------------------------------------------------

def chat_answer(body: dict) -> dict:
    messages = body["messages"]
    base = {"id": f"chatcmpl-{len(messages)}", "object": "chat.completion", "created": 1767000000 + len(messages),
            "model": "gpt-4o-2024-08-06", "system_fingerprint": "fp_1"}
    if messages[-1]["content"] == "Write a long poem about the sea.":
        message = {"role": "assistant", "content": "The sea, the sea, it rolls and"}
        return {**base, "choices": [{"index": 0, "message": message, "finish_reason": "length"}],
                "usage": {"prompt_tokens": 15, "completion_tokens": 8, "total_tokens": 23}}
    city = city_of(messages[1]["content"])
    if messages[-1]["role"] == "tool":
        message = {"role": "assistant", "content": ANSWER[city], "refusal": None}
        return {**base, "choices": [{"index": 0, "message": message, "finish_reason": "stop"}],
                "usage": {"prompt_tokens": 1180, "completion_tokens": 17, "total_tokens": 1197,
                          "prompt_tokens_details": {"cached_tokens": 1024},
                          "completion_tokens_details": {"reasoning_tokens": 0}}}
    call = {"id": f"call_weather_{city.lower()}", "type": "function",
            "function": {"name": "get_weather", "arguments": json.dumps({"city": city})}}
    message = {"role": "assistant", "content": None, "tool_calls": [call], "refusal": None}
    return {**base, "choices": [{"index": 0, "message": message, "finish_reason": "tool_calls"}],
            "usage": {"prompt_tokens": 1150, "completion_tokens": 21, "total_tokens": 1171,
                      "prompt_tokens_details": {"cached_tokens": 0},
                      "completion_tokens_details": {"reasoning_tokens": 5}}}


def responses_answer(body: dict) -> dict:
    base = {"object": "response", "created_at": 1767000100, "model": "gpt-4.1-2025-04-14", "status": "completed",
            "error": None, "incomplete_details": None, "parallel_tool_calls": True, "tool_choice": "auto",
            "tools": [], "text": {"format": {"type": "text"}}}
    if body.get("previous_response_id"):
        output = [{"type": "message", "id": "msg_2", "role": "assistant", "status": "completed",
                   "content": [{"type": "output_text", "text": ANSWER["Lisbon"], "annotations": []}]}]
        return {**base, "id": "resp_2", "output": output,
                "usage": {"input_tokens": 300, "input_tokens_details": {"cached_tokens": 256}, "output_tokens": 40,
                          "output_tokens_details": {"reasoning_tokens": 24}, "total_tokens": 340}}
    output = [{"type": "reasoning", "id": "rs_1", "summary": [{"type": "summary_text", "text": "Need the weather."}]},
              {"type": "function_call", "id": "fc_1", "call_id": "call_weather_2", "name": "get_weather",
               "arguments": "{\"city\": \"Lisbon\"", "status": "completed"}]
    return {**base, "id": "resp_1", "output": output,
            "usage": {"input_tokens": 250, "input_tokens_details": {"cached_tokens": 0}, "output_tokens": 30,
                      "output_tokens_details": {"reasoning_tokens": 12}, "total_tokens": 280}}


def anthropic_answer(body: dict) -> dict:
    base = {"type": "message", "role": "assistant", "model": "claude-sonnet-4-20250514", "stop_sequence": None}
    last = body["messages"][-1]
    city = city_of(body["messages"][0]["content"])
    if isinstance(last["content"], list) and last["content"][0].get("type") == "tool_result":
        return {**base, "id": f"msg_{city.lower()}_2", "content": [{"type": "text", "text": ANSWER[city]}],
                "stop_reason": "end_turn",
                "usage": {"input_tokens": 40, "output_tokens": 19, "cache_read_input_tokens": 1200,
                          "cache_creation_input_tokens": 0}}
    return {**base, "id": f"msg_{city.lower()}_1",
            "content": [{"type": "thinking", "thinking": "The user wants the weather; call the tool.",
                         "signature": "c2ln"},
                        {"type": "text", "text": "Let me check."},
                        {"type": "tool_use", "id": f"toolu_weather_{city.lower()}", "name": "get_weather",
                         "input": {"city": city}}],
            "stop_reason": "tool_use",
            "usage": {"input_tokens": 25, "output_tokens": 60, "cache_read_input_tokens": 0,
                      "cache_creation_input_tokens": 1200}}


class Recorder:
    """The mock API: answers each call and keeps {request, response, latency_ms} lines."""

    def __init__(self):
        self.lines = []
        self.response_type = httpx.Response

    def __call__(self, request):
        body = json.loads(request.content)
        path = request.url.path
        answer = (chat_answer if path.endswith("/chat/completions") else
                  responses_answer if path.endswith("/responses") else anthropic_answer)(body)
        self.lines.append({"request": body, "response": answer, "latency_ms": 420 + 10 * len(self.lines)})
        return self.response_type(200, json=answer)


# The agents ------------------------------------------------------------------

def openai_client(recorder):
    import openai
    return openai.OpenAI(api_key="test", base_url="https://api.openai.test/v1",
                         http_client=httpx.Client(transport=httpx.MockTransport(recorder)))


def anthropic_client(recorder):
    import anthropic
    import httpx2  # this anthropic client is built on the httpx fork
    recorder.response_type = httpx2.Response
    return anthropic.Anthropic(api_key="test", base_url="https://api.anthropic.test",
                               http_client=httpx2.Client(transport=httpx2.MockTransport(recorder)))


def run_tool(name: str, call_id: str, arguments: dict, handler=None) -> str:
    """The tool, as an agent framework runs it: under an execute_tool span when a GenAI handler is given."""
    weather = WEATHER[arguments["city"]]
    if handler is None:
        return weather
    with handler.tool(name, tool_call_id=call_id, tool_type="function") as invocation:
        if invocation.should_capture_content_on_span:
            invocation.arguments = arguments
            invocation.tool_result = weather
    return weather


# An eval runner names the task in the request's metadata (OpenAI) or user id (Anthropic).
def openai_chat_agent(recorder, task, city, handler=None):
    client = openai_client(recorder)
    tagged = {"metadata": {"task_id": task}, "user": "eval-runner"}
    messages = [{"role": "system", "content": SYSTEM}, {"role": "user", "content": question(city)}]
    first = client.chat.completions.create(model="gpt-4o", messages=messages, tools=[WEATHER_TOOL], **tagged)
    call = first.choices[0].message.tool_calls[0]
    result = run_tool(call.function.name, call.id, json.loads(call.function.arguments), handler)
    messages += [first.choices[0].message.model_dump(exclude_none=True),
                 {"role": "tool", "tool_call_id": call.id, "content": result}]
    client.chat.completions.create(model="gpt-4o", messages=messages, tools=[WEATHER_TOOL], **tagged)


def openai_truncated_agent(recorder, task):
    client = openai_client(recorder)
    client.chat.completions.create(model="gpt-4o", max_tokens=8, metadata={"task_id": task}, user="eval-runner",
                                   messages=[{"role": "user", "content": "Write a long poem about the sea."}])


def openai_responses_agent(recorder):
    client = openai_client(recorder)
    tool = {"type": "function", "name": "get_weather", "description": "Current weather of a city",
            "parameters": WEATHER_TOOL["function"]["parameters"]}
    tagged = {"metadata": {"task_id": "task-4"}, "user": "eval-runner"}
    first = client.responses.create(model="gpt-4.1", instructions=SYSTEM, input=question("Lisbon"), tools=[tool],
                                    **tagged)
    call = next(item for item in first.output if item.type == "function_call")
    client.responses.create(model="gpt-4.1", previous_response_id=first.id, tools=[tool], **tagged,
                            input=[{"type": "function_call_output", "call_id": call.call_id,
                                    "output": WEATHER["Lisbon"]}])


def anthropic_agent(recorder, task, city):
    client = anthropic_client(recorder)
    tool = {"name": "get_weather", "description": "Current weather of a city",
            "input_schema": WEATHER_TOOL["function"]["parameters"]}
    options = {"model": "claude-sonnet-4-20250514", "max_tokens": 1024, "system": SYSTEM, "tools": [tool],
               "thinking": {"type": "enabled", "budget_tokens": 512}, "metadata": {"user_id": f"eval-{task}"}}
    messages = [{"role": "user", "content": question(city)}]
    first = client.messages.create(messages=messages, **options)
    use = next(block for block in first.content if block.type == "tool_use")
    messages += [{"role": "assistant", "content": [block.model_dump(exclude_none=True) for block in first.content]},
                 {"role": "user", "content": [{"type": "tool_result", "tool_use_id": use.id,
                                               "content": WEATHER[city]}]}]
    client.messages.create(messages=messages, **options)


def run_task(instrumentation: str, recorder, task: str, city, handler=None) -> None:
    if instrumentation.startswith("traceloop") or instrumentation == "anthropic":
        anthropic_agent(recorder, task, city or "Porto")
    elif city is None:
        openai_truncated_agent(recorder, task)
    else:
        openai_chat_agent(recorder, task, city, handler)


# OTLP JSON as the file exporter writes it ---------------------------------------

def hex_ids(node):
    """The protobuf JSON mapping writes bytes as base64; OTLP JSON writes trace and span ids as hex."""
    if isinstance(node, dict):
        for key, value in node.items():
            if key in ("traceId", "spanId", "parentSpanId") and isinstance(value, str):
                node[key] = base64.b64decode(value).hex()
            else:
                hex_ids(value)
    elif isinstance(node, list):
        for item in node:
            hex_ids(item)
    return node


def otlp_line(message) -> str:
    from google.protobuf import json_format
    return json.dumps(hex_ids(json_format.MessageToDict(message, use_integers_for_enums=True)),
                      ensure_ascii=False, separators=(",", ":"))


def run_instrumented(name: str, instrumentation: str, out: str) -> None:
    from opentelemetry import trace
    from opentelemetry._logs import set_logger_provider
    from opentelemetry.exporter.otlp.proto.common._log_encoder import encode_logs
    from opentelemetry.exporter.otlp.proto.common.trace_encoder import encode_spans
    from opentelemetry.sdk._logs import LoggerProvider
    from opentelemetry.sdk._logs.export import InMemoryLogRecordExporter, SimpleLogRecordProcessor
    from opentelemetry.sdk.resources import Resource
    from opentelemetry.sdk.trace import TracerProvider
    from opentelemetry.sdk.trace.export import SimpleSpanProcessor, SpanExporter, SpanExportResult

    span_lines = []

    class FileLines(SpanExporter):
        """One ExportTraceServiceRequest per export call, like the collector's file exporter."""
        def export(self, spans):
            span_lines.append(otlp_line(encode_spans(spans)))
            return SpanExportResult.SUCCESS

    resource = Resource.create({"service.name": "travel-agent"})
    tracer_provider = TracerProvider(resource=resource)
    tracer_provider.add_span_processor(SimpleSpanProcessor(FileLines()))
    trace.set_tracer_provider(tracer_provider)
    logs = InMemoryLogRecordExporter()
    logger_provider = LoggerProvider(resource=resource)
    logger_provider.add_log_record_processor(SimpleLogRecordProcessor(logs))
    set_logger_provider(logger_provider)

    recorder = Recorder()
    handler = None
    if instrumentation == "openai-v2":
        from opentelemetry.instrumentation.openai_v2 import OpenAIInstrumentor
        from opentelemetry.util.genai.handler import get_telemetry_handler
        OpenAIInstrumentor().instrument(tracer_provider=tracer_provider, logger_provider=logger_provider)
        handler = get_telemetry_handler(tracer_provider=tracer_provider, logger_provider=logger_provider)
    elif instrumentation == "openinference":
        from openinference.instrumentation.openai import OpenAIInstrumentor
        OpenAIInstrumentor().instrument(tracer_provider=tracer_provider)
    else:
        from opentelemetry.instrumentation.anthropic import AnthropicInstrumentor
        # use_attributes=False is the instrumentation's event-based form: gen_ai.*.message and gen_ai.choice events.
        AnthropicInstrumentor(use_attributes=instrumentation == "traceloop-anthropic").instrument(
            tracer_provider=tracer_provider, logger_provider=logger_provider)

    tracer = trace.get_tracer("travel-agent")
    for task, city in TASKS[:2]:
        # The agent's own root span names the eval task, so runs can be paired later, and the model it runs on,
        # as agent frameworks do; Traceloop's SDK adds the association properties the application set.
        attributes = {"gen_ai.operation.name": "invoke_agent", "gen_ai.agent.name": "travel-agent",
                      "gen_ai.conversation.id": f"{task}-run", "session.id": task,
                      "gen_ai.request.model": "claude-sonnet-4-20250514" if instrumentation.startswith("traceloop")
                      else "gpt-4o"}
        if instrumentation.startswith("traceloop"):
            attributes["traceloop.association.properties.task_id"] = task
        with tracer.start_as_current_span("invoke_agent travel-agent", attributes=attributes):
            run_task(instrumentation, recorder, task, city, handler)
    if instrumentation == "openinference":
        with tracer.start_as_current_span("invoke_agent travel-agent", attributes={"session.id": "task-3"}):
            openai_responses_agent(recorder)
    tracer_provider.force_flush()
    logger_provider.force_flush()

    write_lines(os.path.join(out, f"{name}.traces.jsonl"), span_lines)
    records = logs.get_finished_logs()
    if records:
        write_lines(os.path.join(out, f"{name}.logs.jsonl"), [otlp_line(encode_logs(records))])


def write_lines(path: str, lines: list) -> None:
    with open(path, "w", encoding="utf-8") as f:
        f.writelines(line + "\n" for line in lines)


def run_logged(name: str, out: str) -> None:
    recorder = Recorder()
    if name == "openai-chat-log":
        for task, city in TASKS:
            run_task("openai", recorder, task, city)
    elif name == "openai-responses-log":
        openai_responses_agent(recorder)
    else:
        for task, city in TASKS:
            if city:
                run_task("anthropic", recorder, task, city)
    write_lines(os.path.join(out, f"{name}.jsonl"),
                [json.dumps(line, ensure_ascii=False, separators=(",", ":")) for line in recorder.lines])


def main(argv: list) -> int:
    if argv and argv[0] == "--scenario":
        name, out = argv[1], argv[2]
        instrumentation, _ = SCENARIOS[name]
        if instrumentation == "log":
            run_logged(name, out)
        else:
            run_instrumented(name, instrumentation, out)
        return 0
    out = argv[0] if argv else OUT
    os.makedirs(out, exist_ok=True)
    for name, (_, environment) in SCENARIOS.items():
        env = {key: value for key, value in os.environ.items() if not key.startswith(("OTEL_", "TRACELOOP_"))}
        subprocess.run([sys.executable, __file__, "--scenario", name, out], env={**env, **environment}, check=True)
        print(f"wrote {name}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
