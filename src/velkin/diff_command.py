"""`velkin diff`: the nine-axis diff of a candidate trace against a baseline trace."""
from __future__ import annotations

from velkin import _core, _native
from velkin.command_io import EXIT_CODES, InputError, read_pricing, read_trace, seed_value, shown
from velkin.defaults import DEFAULT_SEED
from velkin.report_command import add_report_options, json_alone, price_warnings, publish, publish_json, report_targets
from velkin.reports import gate
from velkin.traces import responses


def register(commands) -> None:
    diff = commands.add_parser("diff", help="nine-axis diff of a candidate trace against a baseline",
                               description="Compare CANDIDATE against BASELINE: a verdict, the nine axes and "
                                           "what changed.", epilog=EXIT_CODES)
    diff.add_argument("baseline", metavar="BASELINE", help="baseline .agentlog file")
    diff.add_argument("candidate", metavar="CANDIDATE", help="candidate .agentlog file")
    diff.add_argument("--pricing", metavar="FILE.json",
                      help='prices per token by model: {"model": [input, output]} or an object of prices')
    diff.add_argument("--seed", type=seed_value, metavar="N", default=DEFAULT_SEED,
                      help=f"seed of the bootstrap intervals (default {DEFAULT_SEED})")
    add_report_options(diff)
    diff.set_defaults(run=run)


def require_responses(path: str, records: list) -> None:
    if not responses(records):
        raise InputError(f"{path}: no chat_response records: there is nothing to compare")


def conversation_count(records: list) -> int:
    """Conversations as imports write them: one metadata record, or one trace id, each."""
    trace_ids = {r["meta"].get("trace_id") for r in records if isinstance(r.get("meta"), dict)} - {None}
    return max(len(trace_ids), sum(r["kind"] == "metadata" for r in records))


def several_conversations(path: str, records: list) -> list:
    count = conversation_count(records)
    if count < 2:
        return []
    return [f"{path} holds {count} conversations: diff reads them as one trace; "
            "compare them conversation by conversation with `velkin compare --baseline BASELINE --candidate CANDIDATE`"]


def run(args) -> int:
    report_targets(args)
    baseline = read_trace(args.baseline)
    candidate = read_trace(args.candidate)
    require_responses(args.baseline, baseline)
    require_responses(args.candidate, candidate)
    pricing = read_pricing(args.pricing) if args.pricing else None
    try:
        report = _core.compute_diff_report(baseline, candidate, pricing, args.seed)
    except ValueError as e:  # the records are already valid, so this is the price table
        raise InputError(f"{args.pricing or 'pricing'}: {e}") from None
    warnings = several_conversations(args.baseline, baseline) + several_conversations(args.candidate, candidate)
    if baseline == candidate:
        warnings.append("baseline and candidate hold the same records: nothing can differ")
    if pricing is None:
        warnings.append("no --pricing given: every response costs 0 on the cost axis")
    else:
        warnings += price_warnings(args.pricing, pricing, {args.baseline: baseline, args.candidate: candidate})
    document = {"version": _core.__version__, "seed": args.seed, **report}
    if json_alone(args):
        return publish_json(document, warnings, gate.diff_gate_fails(report, args.fail_on))
    from velkin.reports import model

    steps = _native.alignment(baseline, candidate)
    view = model.from_diff(report, steps, baseline, candidate, paths=(shown(args.baseline), shown(args.candidate)),
                           seed=args.seed, version=_core.__version__, warnings=warnings)
    return publish(view, document, args)
