"""Run comparison: grouping, pairing keys, replicates, one-sided conversations and
the calibration, on synthetic runs and on real tau-bench trajectories."""
import collections
import copy
import itertools
import json
import subprocess
import sys
from pathlib import Path

import pytest

from velkin import importers, write_agentlog
from velkin.compare import compare_runs

TAU = Path(__file__).parent / "data" / "tau-bench" / "gpt-4o-airline-tasks-0-24.json"


# ---- synthetic runs ---------------------------------------------------------

def record(rid, kind, payload, parent=None, meta=None):
    r = {"version": "0.1", "id": rid, "kind": kind, "ts": "2024-01-01T00:00:00Z", "parent": parent,
         "payload": payload}
    if meta is not None:
        r["meta"] = meta
    return r


def conversation(prefix, prompt, turns, task=None, trace=None):
    """Metadata, the user's request, then one response per (text, tools, stop_reason) in a parent chain."""
    meta = {"trace_id": trace} if trace else None
    records = [record(f"{prefix}-m", "metadata", {"task_id": task} if task is not None else {}, meta=meta),
               record(f"{prefix}-q", "chat_request", {"messages": [{"role": "user", "content": prompt}]},
                      f"{prefix}-m", meta)]
    for i, (text, tools, stop) in enumerate(turns):
        content = [{"type": "text", "text": text}] if text else []
        content += [{"type": "tool_use", "id": f"{prefix}-{i}-{n}", "name": name, "input": args}
                    for n, (name, args) in enumerate(tools)]
        records.append(record(f"{prefix}-r{i}", "chat_response", {"content": content, "stop_reason": stop},
                              records[-1]["id"], meta))
    return records


def turns(name="search", query="shoes", answer="Here are the shoes."):
    return [("", [(name, {"q": query})], "tool_use"), (answer, [], "end_turn")]


def renamed(run, tag):
    """The same run under other record and trace ids, as a rerun writes it."""
    out = []
    for r in copy.deepcopy(run):
        r["id"], r["parent"] = tag + r["id"], r["parent"] and tag + r["parent"]
        if r.get("meta", {}).get("trace_id"):
            r["meta"]["trace_id"] = tag + r["meta"]["trace_id"]
        out.append(r)
    return out


def keys(report, status="paired"):
    return sorted(c["key"] for c in report["conversations"] if c["status"] == status)


def test_records_group_into_conversations_by_parent_chain_and_trace_id():
    a, b = conversation("a", "first task", turns()), conversation("b", "second task", turns())
    interleaved = [r for pair in itertools.zip_longest(a, b) for r in pair if r]
    by_trace = [dict(r, parent=None) for r in conversation("t", "third task", turns(), trace="T1")]
    cycle = conversation("c", "fourth task", turns())
    cycle[0]["parent"] = cycle[-1]["id"]  # a parent loop must neither hang nor merge conversations
    run = interleaved + by_trace + cycle
    report = compare_runs([run], [renamed(run, "rerun-")])
    assert keys(report) == ["first task", "fourth task", "second task", "third task"]
    ids = {c["key"]: c["baseline_ids"] for c in report["conversations"]}
    assert ids["first task"] == ["a-m"] and ids["third task"] == ["T1"]


@pytest.mark.parametrize("pairing, key, source", [
    ("first_request", None, "first_request"),
    ("member", "task", "member"),
    ("task id by default", None, "member"),
    ("trace_id", None, "trace_id"),
])
def test_conversations_pair_across_runs_by_key(pairing, key, source):
    def run(order, trial):
        convs = []
        for task in order:
            by_task = source == "member"
            prompt = f"task {task}, phrased by trial {trial}" if by_task else f"task {task}"
            trace = f"trace-{task}" if pairing == "trace_id" else None
            records = conversation(f"{trial}-{task}", prompt, turns(), task=task if by_task else None, trace=trace)
            if key == "task":
                records[0]["payload"] = {"task": task}
            convs += records
        return convs
    report = compare_runs([run([1, 2, 3], 0)], [run([3, 1, 2], 1)], key=key)
    assert report["key"]["source"] == source
    if source == "member":
        assert report["key"]["member"] == (key or "task_id")
    assert report["paired"] == 3 and report["baseline_only"] == report["candidate_only"] == 0


def test_missing_key_member_and_repeated_keys():
    run = conversation("x", "same prompt", turns()) + conversation("y", "same prompt", turns(answer="Other."))
    with pytest.raises(ValueError, match="pairing the conversations would guess: baseline run 1 holds conversations "
                                         "that start with the same request"):
        compare_runs([run], [renamed(run, "rerun-")])
    report = compare_runs([run], [renamed(run, "rerun-")], key="position")
    assert keys(report) == ["same prompt", "same prompt #2"]  # asked for: the n-th repeat pairs with the n-th
    with pytest.raises(ValueError, match="no metadata member `task`"):
        compare_runs([run], [run], key="task")


@pytest.mark.parametrize("baseline, error, message", [
    ([[{"id": "x"}]], ValueError, "baseline run 1, record 1: missing field `version`"),
    ([], ValueError, "no baseline runs"),
    ([42], TypeError, "a run is a path or a list of records"),
    ([conversation("a", "one", turns())] * 33, ValueError, "at most 32 runs per side"),
])
def test_bad_runs_are_named(baseline, error, message):
    with pytest.raises(error, match=message):
        compare_runs(baseline, [conversation("a", "one", turns())])


def spoil_payload(run, i):
    run[i]["payload"]["content"] = object()


def spoil_ts(run, i):
    run[i]["ts"] = 5


def spoil_id(run, i):
    run[i]["id"] = 7


# Responses are read in two steps (envelope, then payload once paired): a bad
# record is still the first bad one in run order, whichever part is bad.
@pytest.mark.parametrize("spoils, record", [
    ([(spoil_payload, 3)], 4),
    ([(spoil_payload, 3), (spoil_ts, 4)], 4),  # a response's payload before a metadata record's envelope
    ([(spoil_id, 2), (spoil_payload, 3)], 3),
    ([(spoil_payload, 7), (spoil_ts, 4)], 5),
])
def test_the_first_bad_record_in_run_order_is_named(spoils, record):
    run = conversation("a", "one", turns()) + conversation("b", "two", turns())
    for spoil, i in spoils:
        spoil(run, i)
    with pytest.raises(ValueError, match=f"^baseline run 1, record {record}: "):
        compare_runs([run, run], [conversation("a", "one", turns())])


class Key(str):
    pass


@pytest.mark.parametrize("rebuild", [
    lambda r: collections.OrderedDict(r),             # a dict subclass
    lambda r: {Key(k): v for k, v in r.items()},      # str subclass keys
    lambda r: dict(r, meta=None) if "meta" not in r else r,
    lambda r: dict(r, parent=Key(r["parent"])) if r["parent"] else r,
])
def test_responses_read_alike_however_their_records_are_built(rebuild):
    baseline, candidate = synthetic_suite(8, change=True)
    expected = compare_runs(baseline, candidate)
    odd = [[rebuild(r) if r["kind"] == "chat_response" and n % 3 else r for n, r in enumerate(run)]
           for run in baseline + candidate]
    assert compare_runs(odd[:2], odd[2:]) == expected


def nested(depth, leaf):
    for _ in range(depth):
        leaf = [leaf]
    return leaf


@pytest.mark.parametrize("change", [
    lambda r: dict(r, meta={"note": "caf\u00e9", "n": [1, -0.0, 2**64 - 1, -5, None, True, (1.5,)]}),
    lambda r: dict(r, meta={"deep": nested(70, 1)}),  # deeper than the envelope is compared in place
    lambda r: dict(r, parent=r["parent"] + "\u00e9"),
    lambda r: dict(r, kind={"chat_response": None}),
])
def test_responses_read_alike_however_their_envelopes_read(change):
    baseline, candidate = synthetic_suite(8, change=True)
    changed = [[change(r) if r["kind"] == "chat_response" and n % 3 else r for n, r in enumerate(run)]
               for run in baseline + candidate]
    # Records of a dict subclass are converted the long way, in one step.
    long_way = [[collections.OrderedDict(r) for r in run] for run in changed]
    assert compare_runs(changed[:2], changed[2:]) == compare_runs(long_way[:2], long_way[2:])


def test_one_sided_conversations_are_listed_not_dropped():
    baseline = conversation("a", "only baseline", turns()) + conversation("b", "both", turns())
    candidate = conversation("c", "both", turns()) + conversation("d", "only candidate", turns())
    report = compare_runs([baseline], [candidate])
    assert (keys(report, "baseline_only"), keys(report, "candidate_only")) == (["only baseline"], ["only candidate"])
    one_sided = {c["key"]: (c["baseline_ids"], c["candidate_ids"]) for c in report["conversations"]}
    assert one_sided["only baseline"] == (["a-m"], []) and one_sided["only candidate"] == ([], ["d-m"])
    assert any("only in the baseline" in r["message"] for r in report["recommendations"])


@pytest.mark.parametrize("baseline, candidate, message", [
    ([conversation("a", "one", turns())], [conversation("b", "two", turns())],
     r"no conversation of the candidate runs pairs .* \(1 only in the baseline, 1 only in the candidate, paired by "
     r"the first user request\): pair them .* --key MEMBER, or import them with `velkin import`"),
    ([conversation("a", "one", [])], [conversation("b", "one", [])],
     r"the 1 paired conversation\(s\) hold no responses"),
])
def test_nothing_compared_is_an_error(baseline, candidate, message):
    with pytest.raises(ValueError, match=message):
        compare_runs(baseline, candidate)


def synthetic_suite(n, change=None, baseline_runs=2, candidate_runs=1):
    """n conversations whose replicates vary their wording and, now and then, a tool."""
    def run(trial, changed):
        records = []
        for task in range(n):
            noisy_tool = "lookup" if (task + trial) % 4 else "search"  # replicates disagree now and then
            steps = turns(noisy_tool, answer=f"Done, trial {trial} says hello {task}.")
            if changed and task % 2 == 0:
                steps = [("I can't help with that.", [], "end_turn")]
            records += conversation(f"{trial}-{task}", f"task {task}", steps, task=task)
        return records
    return ([run(t, False) for t in range(baseline_runs)],
            [run(baseline_runs + t, change) for t in range(candidate_runs)])


@pytest.mark.parametrize("baseline_runs, calibration, descriptive", [
    (1, "sign-flip", ["semantic", "trajectory", "calls_reordered", "argument_changed"]),
    (2, "relabelling", []),
])
def test_one_baseline_run_is_calibrated_by_swapping_runs(baseline_runs, calibration, descriptive):
    baseline, candidate = synthetic_suite(12, change=True)
    report = compare_runs(baseline[:baseline_runs], candidate)
    assert report["calibrated"] and report["calibration"] == calibration
    assert report["descriptive"] == descriptive and bool(report["calibrate_with_more_runs"]) == (baseline_runs == 1)
    assert report["verdict"] == "regressed"
    refusal = next(s for s in report["signatures"] if s["kind"] == "new_refusal")
    assert refusal["significant"] and refusal["conversations"] == 6 and refusal["direction"] == "worse"
    assert {c["key"] for c in report["conversations"] if c["regressed"]} == {str(t) for t in range(0, 12, 2)}
    for axis in report["axes"]:
        if axis["axis"] in descriptive:
            assert axis["descriptive"] and axis["p_value"] is None and axis["severity"] in ("none", "minor")
    if baseline_runs == 1:
        # Twelve conversations of two runs: every one of the 4,096 labellings enumerated, p exact.
        assert report["exact"] and report["relabellings"] == 4095 and refusal["p_mc_error"] is None
        assert refusal["p_value"] == pytest.approx(2 ** -6)


@pytest.mark.parametrize("runs, n", [
    ((2, 1), 10),   # 3 ways to pick the candidate runs
    ((5, 5), 10),   # 252, sampled
    ((2, 1), 300),  # more keys than are converted ahead of the comparison
])
def test_results_do_not_depend_on_the_thread_count(runs, n):
    baseline, candidate = synthetic_suite(n, change=True, baseline_runs=runs[0], candidate_runs=runs[1])
    one = compare_runs(baseline, candidate, seed=7, threads=1)
    assert one == compare_runs(baseline, candidate, seed=7, threads=3)
    assert one["seed"] == 7 and one["verdict"] == "regressed"


# ---- tau-bench: four trials of one agent ------------------------------------

@pytest.fixture(scope="module")
def trials():
    records = importers.import_records(TAU, format="tau-bench")
    trial = {r["meta"]["trace_id"]: r["meta"]["trial"] for r in records if r["kind"] == "metadata"}
    runs = [[], [], [], []]
    for r in records:
        runs[trial[r["meta"]["trace_id"]]].append(r)
    return runs


@pytest.mark.parametrize("candidate", range(4))
def test_aa_splits_of_tau_bench_raise_no_alarm(trials, candidate):
    others = [t for t in range(4) if t != candidate]
    for pair in itertools.combinations(others, 2):
        report = compare_runs([trials[t] for t in pair], [trials[candidate]], key="task_id")
        assert report["calibrated"] and report["verdict"] == "no significant change", pair
        assert not [r for r in report["recommendations"] if r["severity"] == "error"]
        assert all(a["severity"] in ("none", "minor") for a in report["axes"])
        assert report["outcome"]["member"] == "reward" and report["outcome"]["n"] == 25


def by_conversation(run):
    convs = {}
    for r in run:
        convs.setdefault(r["meta"]["trace_id"], []).append(r)
    return list(convs.values())


def responses(conv):
    return [r for r in conv if r["kind"] == "chat_response"]


def drop_reservation_lookups(conv):
    calls = [b for r in responses(conv) for b in r["payload"]["content"] if b["type"] == "tool_use"]
    if not any(b["name"] == "get_reservation_details" for b in calls):
        return False
    for r in responses(conv):
        r["payload"]["content"] = [b for b in r["payload"]["content"]
                                   if not (b["type"] == "tool_use" and b["name"] == "get_reservation_details")]
    return True


def refuse_at_the_end(conv):
    responses(conv)[-1]["payload"].update(content=[{"type": "text", "text": "I'm sorry, I can't help with that."}],
                                          stop_reason="end_turn")
    return True


def lower_reservation_ids(conv):
    changed = False
    for r in responses(conv):
        for b in r["payload"]["content"]:
            if b["type"] == "tool_use" and b["name"] == "get_reservation_details":
                b["input"]["reservation_id"] = b["input"]["reservation_id"].lower()
                changed = True
    return changed


def truncate_the_answer(conv):
    answers = [r for r in responses(conv) if any(b["type"] == "text" for b in r["payload"]["content"])]
    for b in answers[-1]["payload"]["content"]:
        if b["type"] == "text":
            b["text"] = b["text"][: len(b["text"]) // 2]
    answers[-1]["payload"]["stop_reason"] = "max_tokens"
    return True


@pytest.mark.parametrize("change, kind, chosen, limit", [
    (drop_reservation_lookups, "tool_dropped", lambda task: True, 12),  # in half of the conversations
    (refuse_at_the_end, "new_refusal", lambda task: task % 3 == 0, 25),
    (lower_reservation_ids, "argument_changed", lambda task: True, 25),
    (truncate_the_answer, "new_truncation", lambda task: task % 3 == 1, 25),
])
def test_injected_changes_are_found_in_the_right_conversations(trials, change, kind, chosen, limit):
    candidate, injected = [], set()
    for conv in by_conversation(copy.deepcopy(trials[2])):
        task = conv[0]["meta"]["task_id"]
        if len(injected) < limit and chosen(task) and change(conv):
            injected.add(str(task))
        candidate += conv
    report = compare_runs(trials[:2], [candidate], key="task_id")
    assert report["verdict"] == "regressed"
    assert [s["kind"] for s in report["signatures"] if s["significant"]] == [kind]
    regressed = {c["key"]: c for c in report["conversations"] if c["regressed"]}
    assert regressed and len(set(regressed) - injected) <= 1  # at most one conversation that changed by itself
    for conversation in regressed.values():
        errors = [f for f in conversation["findings"] if f["severity"] == "error"]
        assert errors and {f["kind"] for f in errors} == {kind}


# ---- traces written by real instrumentation libraries ----------------------------

IMPORTED = Path(__file__).parent / "data" / "import"


def instrumented_run():
    """Every conversation of the importer's fixtures, each file's trace ids kept apart."""
    run = []
    for traces in sorted(IMPORTED.glob("*.traces.jsonl")) + sorted(IMPORTED.glob("*-log.jsonl")):
        logs = traces.with_name(traces.name.replace(".traces.", ".logs."))
        for r in importers.import_records([traces, logs] if logs.exists() else [traces]):
            r["meta"]["trace_id"] = f"{traces.stem}/{r['meta']['trace_id']}"
            run.append(r)
    return run


def weather_answers(run):
    """Per conversation calling get_weather: its tool-calling response and its final answer."""
    convs = {}
    for r in run:
        if r["kind"] == "chat_response":
            convs.setdefault(r["meta"]["trace_id"], []).append(r["payload"])
    return [(t, ps[0], ps[-1]) for t, ps in convs.items()
            if any(b.get("name") == "get_weather" and isinstance(b.get("input"), dict) for b in ps[0]["content"])]


def test_instrumented_traces_changes_found_conversation_by_conversation():
    baseline = [instrumented_run(), instrumented_run()]
    unchanged = compare_runs(baseline, [instrumented_run()])
    assert unchanged["verdict"] == "no significant change" and unchanged["paired"] >= 10
    assert not [f for c in unchanged["conversations"] for f in c["findings"]]

    candidate = instrumented_run()
    changed = {}
    kinds = ["tool_dropped", "tool_added", "argument_changed", "new_refusal", "new_truncation", "calls_more",
             "calls_fewer"]
    for (trace, call, answer), kind in zip(weather_answers(candidate), kinds):
        changed[trace] = kind
        tool = next(b for b in call["content"] if b.get("name") == "get_weather")
        if kind == "calls_more":
            call["content"].append(dict(tool, id="again"))
        elif kind == "calls_fewer":  # every baseline run asks for the weather twice, the candidate once
            for run in baseline:
                base_call = next(c for t, c, _ in weather_answers(run) if t == trace)
                base_tool = next(b for b in base_call["content"] if b.get("name") == "get_weather")
                base_call["content"].append(dict(base_tool, id="again"))
        elif kind == "tool_dropped":
            call["content"].remove(tool)
        elif kind == "tool_added":
            call["content"].append({"type": "tool_use", "id": "extra", "name": "get_forecast", "input": {"days": 3}})
        elif kind == "argument_changed":
            tool["input"]["city"] = "Porto"
        elif kind == "new_refusal":
            answer["content"] = [{"type": "text", "text": "I'm sorry, but I can't help with that."}]
        else:
            answer["stop_reason"] = "max_tokens"
    assert len(changed) == len(kinds)
    report = compare_runs(baseline, [candidate])
    assert report["verdict"] == "regressed"
    regressed = {c["key"]: {f["kind"] for f in c["findings"] if f["severity"] == "error"}
                 for c in report["conversations"] if c["regressed"]}
    assert regressed == {trace: {kind} for trace, kind in changed.items()}


# ---- the command ----------------------------------------------------------------

def velkin(*args):
    return subprocess.run([sys.executable, "-m", "velkin", *map(str, args)], capture_output=True, text=True,
                          timeout=120)


def test_command_reports_verdict_first_within_80_columns(trials, tmp_path):
    paths = []
    for t in (0, 1, 2):
        paths.append(tmp_path / f"trial{t}.agentlog")
        paths[-1].write_bytes(write_agentlog(trials[t]))
    done = velkin("compare", "--baseline", paths[0], paths[1], "--candidate", paths[2])  # pairs by task_id
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[0].startswith("\u2713 NO SIGNIFICANT CHANGE") and max(map(len, lines)) <= 80

    candidate = by_conversation(copy.deepcopy(trials[2]))
    for conv in candidate[:9]:
        truncate_the_answer(conv)
    paths[2].write_bytes(write_agentlog([r for conv in candidate for r in conv]))
    done = velkin("compare", "--baseline", paths[0], paths[1], "--candidate", paths[2], "--key", "task_id",
                  "--json", "--seed", "3")
    assert done.returncode == 1, done.stderr
    report = json.loads(done.stdout)
    assert report["seed"] == 3 and report["verdict"] == "regressed" and report["version"]
    for field in ("axis", "delta", "ci95_low", "ci95_high", "severity", "calibrated", "n", "p_value"):
        assert field in report["axes"][0]
    conv = report["conversations"][0]
    assert {"key", "status", "baseline_ids", "candidate_ids", "regressed", "findings"} <= set(conv)


@pytest.mark.parametrize("args, message", [
    (["--baseline", "missing.agentlog", "--candidate", "missing.agentlog"], "cannot read missing.agentlog"),
    (["--baseline", "{tau}", "--candidate", "{tau}"], f"{TAU} holds tau-bench input, not an .agentlog trace"),
    (["--baseline", "{good}", "--candidate", "{good}", "--key", "nope"], "no metadata member `nope`"),
])
def test_command_bad_input_exits_2(trials, tmp_path, args, message):
    good = tmp_path / "good.agentlog"
    good.write_bytes(write_agentlog(trials[0]))
    done = velkin("compare", *[a.format(tau=TAU, good=good) for a in args])
    assert done.returncode == 2 and done.stderr.startswith("velkin: error:")
    assert message in done.stderr


def test_replicates_of_a_large_suite_raise_no_alarm_whichever_runs_are_the_candidates():
    # Runs drawn alike: every split of four runs into two baselines and two candidates is A/A. An
    # alignment read from whichever run is the baseline once made the observed split stand out at
    # this size (a signature "significant" at p 0.01 in one split of six).
    sys.path.insert(0, str(Path(__file__).parents[1] / "bench"))
    from compare import suite
    baseline, candidate = suite(1000)
    runs = baseline + candidate
    for bases in itertools.combinations(range(4), 2):
        cands = [r for r in range(4) if r not in bases]
        report = compare_runs([runs[r] for r in bases], [runs[r] for r in cands], key="task_id")
        assert report["verdict"] == "no significant change", (bases, report["recommendations"])


def test_runs_given_as_files_are_read_natively_alike(trials, tmp_path):
    paths = []
    for t in range(3):
        paths.append(tmp_path / f"trial{t}.agentlog")
        paths[-1].write_bytes(write_agentlog(trials[t]))
    split = tmp_path / "split"
    split.mkdir()
    # A directory is a run of its .agentlog files in name order.
    half = len(trials[2]) // 2
    (split / "b.agentlog").write_bytes(write_agentlog(trials[2][half:]))
    (split / "a.agentlog").write_bytes(write_agentlog(trials[2][:half]))
    (split / "notes.txt").write_text("not a trace")
    from_records = compare_runs(trials[:2], [trials[2]], seed=4)
    assert compare_runs(paths[:2], [split], seed=4) == from_records
    assert compare_runs([str(p) for p in paths[:2]], paths[2], seed=4) == from_records
    # A run of more files than are held open between the passes reads the same.
    many = tmp_path / "many"
    many.mkdir()
    pieces = 80
    for i in range(pieces):
        piece = trials[2][i * len(trials[2]) // pieces:(i + 1) * len(trials[2]) // pieces]
        (many / f"{i:03}.agentlog").write_bytes(write_agentlog(piece))
    assert compare_runs(paths[:2], [many], seed=4) == from_records


@pytest.mark.parametrize("rewrite", [
    lambda data: data.replace(b"\n", b"\r\n"),
    lambda data: data.replace(b"\n", b"\n\n\r\n", 200),
    lambda data: data.rstrip(b"\n"),
], ids=["CRLF", "blank lines", "no final newline"])
def test_run_files_read_again_by_their_lines_whatever_ends_them(trials, tmp_path, rewrite):
    """The second pass finds each response by where its line lay: line endings and blank lines must not
    shift it."""
    paths = []
    for t in range(2):
        paths.append(tmp_path / f"trial{t}.agentlog")
        paths[-1].write_bytes(rewrite(write_agentlog(trials[t])))
    assert compare_runs([paths[0]], [paths[1]], seed=3) == compare_runs([trials[0]], [trials[1]], seed=3)


def padded(records: list, text_bytes: int) -> list:
    """The run with each response's first text block lengthened to `text_bytes`, so that its file spans many
    of the pieces a file is read in."""
    padded_records = copy.deepcopy(records)
    for record in padded_records:
        blocks = record["payload"].get("content") if record["kind"] == "chat_response" else None
        texts = [b for b in blocks or [] if isinstance(b, dict) and b.get("type") == "text"]
        if texts:
            texts[0]["text"] = (texts[0]["text"] + " ") * (text_bytes // (len(texts[0]["text"]) + 1) + 1)
    return padded_records


def test_a_run_file_of_many_pieces_reads_as_its_records(trials, tmp_path):
    # Lines of 50 kB cross the 4 MiB pieces' ends wherever they fall; one line of 6 MiB spans two pieces.
    runs = [padded(trials[0], 50_000), padded(trials[1], 50_000)]
    last = max(i for i, r in enumerate(runs[1]) if r["kind"] == "chat_response")
    runs[1][last] = padded([runs[1][last]], 6 << 20)[0]
    paths = [tmp_path / "b.agentlog", tmp_path / "c.agentlog"]
    for path, run in zip(paths, runs):
        path.write_bytes(write_agentlog(run))
    assert paths[0].stat().st_size > 2 * (4 << 20)
    assert compare_runs([paths[0]], [paths[1]], seed=2) == compare_runs([runs[0]], [runs[1]], seed=2)
    # A fault far into the file is named at its line, as reading the file in Python names it.
    lines = paths[1].read_bytes().split(b"\n")
    at = len(lines) * 3 // 4
    lines[at] = lines[at][:-1]
    paths[1].write_bytes(b"\n".join(lines))
    from velkin.compare import read_trace
    with pytest.raises(ValueError) as in_python:
        read_trace(paths[1])
    with pytest.raises(ValueError) as native:
        compare_runs([paths[0]], [paths[1]])
    assert str(native.value) == str(in_python.value)
    assert f"line {at + 1}:" in str(native.value)


def corrupted_response(records: list, corrupt) -> bytes:
    """The run's lines with the payload of its third response rewritten by `corrupt`."""
    lines = write_agentlog(records).split(b"\n")
    responses = [i for i, line in enumerate(lines) if b'"kind":"chat_response"' in line]
    at = responses[2]
    head, payload = lines[at].split(b'"payload":', 1)
    lines[at] = head + b'"payload":' + corrupt(payload)
    return b"\n".join(lines)


# A response's payload is checked in the first pass although it is read only in the second.
@pytest.mark.parametrize("corrupt", [
    lambda payload: payload[:-2] + b"}",  # an object left open
    lambda payload: b'{"mo\\q":1,' + payload[1:],  # a bad escape
    lambda payload: b'{"\\ud800":1,' + payload[1:],  # a lone surrogate
    lambda payload: b'{"mod\xc3":1,' + payload[1:],  # bytes that are not UTF-8
    lambda payload: payload.replace(b":", b":[" * 200, 1) + b"]" * 200,  # nested too deep
], ids=["open object", "bad escape", "lone surrogate", "not utf-8", "too deep"])
def test_a_bad_response_payload_fails_as_reading_the_file_in_python_does(trials, tmp_path, corrupt):
    good, bad = tmp_path / "good.agentlog", tmp_path / "bad.agentlog"
    good.write_bytes(write_agentlog(trials[0]))
    bad.write_bytes(corrupted_response(trials[1], corrupt))
    from velkin.compare import read_trace
    with pytest.raises(ValueError) as in_python:
        read_trace(bad)
    with pytest.raises(ValueError) as native:
        compare_runs([good], [bad])
    assert str(native.value) == str(in_python.value)
    assert str(native.value).startswith(f"{bad}: ")


@pytest.mark.parametrize("content, message", [
    (None, "cannot read {path}: No such file or directory"),
    (b'{"version":"0.1"}\n', "{path}: parse error on line 1: "),
    (b"\xff\n", "{path}: "),
])
def test_a_bad_run_file_is_named_as_reading_it_in_python_names_it(trials, tmp_path, content, message):
    good, bad = tmp_path / "good.agentlog", tmp_path / "bad.agentlog"
    good.write_bytes(write_agentlog(trials[0]))
    if content is not None:
        bad.write_bytes(content)
    with pytest.raises(ValueError) as native:
        compare_runs([good], [bad])
    assert str(native.value).startswith(message.format(path=bad))
    if content is not None:
        from velkin.compare import read_trace
        with pytest.raises(ValueError) as in_python:
            read_trace(bad)
        assert str(native.value) == str(in_python.value)
