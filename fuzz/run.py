"""Runs the fuzz targets of targets.py, each in its own process so that a crash is reported as a finding
of its target instead of ending the campaign.

    python fuzz/run.py --executions 10000              # every target, the short run of CI
    python fuzz/run.py --executions 1000000 --seed 5   # a long campaign
    python fuzz/run.py --target canonical_bytes --replay fuzz/findings/canonical_bytes-....bin
    python fuzz/run.py --engine atheris --target parse_agentlog --executions 1000000

The built-in engine is a seeded mutation loop: inputs are mutated from a corpus of seeds, and an input
whose outcome (result, or the kind and text of the refusal) was not seen before joins the corpus. The
same seed gives the same inputs. With --engine atheris, libFuzzer's mutator (pip install atheris) drives
the same targets.
"""
from __future__ import annotations

import argparse
import hashlib
import json
import os
import random
import re
import subprocess
import sys
import time
import traceback
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
FINDINGS = HERE / "findings"
MAX_CORPUS = 4096
MAX_INPUT = 64 * 1024

# Pieces of the inputs' own syntax, spliced in by the mutator.
TOKENS = [b"{", b"}", b"[", b"]", b"\"", b":", b",", b"\n", b"\\", b"\\u0000", b"\\ud800", b"\\udc00", b"null",
          b"true", b"-0", b"1e999", b"-1e-999", b"18446744073709551616", b"-9223372036854775809", b"NaN",
          b"0.1", b"\xc3\xa9", b"e\xcc\x81", b"\xed\xa0\x80", b"\xff", b"\xf4\x90\x80\x80", b"\"kind\"",
          b"\"payload\"", b"\"chat_response\"", b"\"version\":\"0.1\"", b"\"meta\"", b"\"parent\"", b"  ", b"\r\n"]


def import_seeds() -> list[bytes]:
    """The bundled import fixtures, a few lines at a time, each behind its format byte and a split byte
    (traces and logs of one export are joined with a split at the boundary)."""
    from targets import IMPORT_FORMATS  # noqa: E402 - needs the path run.py sets

    data = ROOT / "tests" / "data"
    by_format = {"otlp": sorted((data / "import").glob("*.traces.jsonl")),
                 "openai": sorted((data / "import").glob("openai-*-log.jsonl")),
                 "anthropic": sorted((data / "import").glob("anthropic-*.jsonl"))}
    found = []
    for fmt, paths in by_format.items():
        for path in paths:
            lines = path.read_bytes().splitlines(keepends=True)
            logs = path.with_name(path.name.replace(".traces.", ".logs."))
            tail = logs.read_bytes()[:8192] if logs.exists() else b""
            for i in range(0, min(len(lines), 12), 4):
                head = b"".join(lines[i:i + 4])[:16384]
                split = len(head) * 255 // (len(head) + len(tail)) if tail else 0
                for code in (IMPORT_FORMATS.index(fmt), 0):
                    found.append(bytes([code, split]) + head + tail)
    results = json.loads((data / "tau-bench" / "gpt-4o-airline-tasks-0-24.json").read_bytes())
    for result in results[:4]:
        small = dict(result, traj=result["traj"][:6])
        found.append(bytes([IMPORT_FORMATS.index("tau-bench"), 0]) + json.dumps([small]).encode())
    return found


def seeds(target: str) -> list[bytes]:
    if target == "import_traces":
        return import_seeds()
    if target != "parse_agentlog":
        return [random.Random(i).randbytes(64) for i in range(16)] + [b"", b"\xff" * 32, b"\x01" * 32]
    lines = []
    for path in sorted((ROOT / "examples").glob("*.agentlog")):
        lines += path.read_bytes().splitlines(keepends=True)
    return [b"".join(lines[i:i + 3]) for i in range(0, len(lines), 3)] + [
        b'{"version":"0.1","id":"r","kind":"chunk","ts":"t","parent":null,"payload":null}\n',
        b'{"version":"0.1","id":"r","kind":{"chunk":null},"ts":"t","parent":"p","meta":{},"payload":[1,-0,1.5e3]}',
    ]


def mutate(data: bytes, corpus: list[bytes], rng: random.Random) -> bytes:
    out = bytearray(data)
    for _ in range(rng.choice((1, 1, 2, 3, 5, 8))):
        at = rng.randrange(len(out) + 1)
        op = rng.randrange(8)
        if op == 0 and out:
            out[at % len(out)] ^= 1 << rng.randrange(8)
        elif op == 1 and out:
            out[at % len(out)] = rng.randrange(256)
        elif op == 2:
            out[at:at] = bytes(rng.randrange(256) for _ in range(rng.randrange(1, 9)))
        elif op == 3 and out:
            del out[at:at + rng.randrange(1, 17)]
        elif op == 4 and out:
            start = rng.randrange(len(out))
            out[at:at] = out[start:start + rng.randrange(1, 65)]
        elif op == 5:
            other = rng.choice(corpus)
            start = rng.randrange(len(other) + 1)
            out[at:] = other[start:start + rng.randrange(1, 256)]
        elif op == 6:
            out[at:at] = rng.choice(TOKENS)
        elif out:
            # Interesting values at byte level: the targets read small integers from single bytes.
            out[at % len(out)] = rng.choice((0, 1, 2, 3, 0x7f, 0x80, 0xfe, 0xff))
    return bytes(out[:MAX_INPUT])


def signature(outcome: str) -> str:
    """Outcomes that differ only in numbers or quoted text count as one."""
    return re.sub(r"\d+|\"[^\"]*\"|`[^`]*`|'[^']*'", "#", outcome)[:120]


def run_one(check, data: bytes) -> tuple[str, str | None]:
    """(what the target reported, or the kind of failure; the failure's traceback or None)."""
    try:
        return check(data), None
    except AssertionError:
        return "assertion", traceback.format_exc()
    except BaseException as error:  # noqa: BLE001 - a PanicException is a BaseException
        return type(error).__name__, traceback.format_exc()


def save_finding(target: str, data: bytes) -> Path:
    FINDINGS.mkdir(exist_ok=True)
    path = FINDINGS / f"{target}-{hashlib.sha1(data).hexdigest()[:16]}.bin"
    path.write_bytes(data)
    return path


def save_slowest(target: str, data: bytes) -> Path:
    FINDINGS.mkdir(exist_ok=True)
    path = FINDINGS / f"slowest-{target}.bin"
    path.write_bytes(data)
    return path


def child(target: str, executions: int, seed: int, status_path: str) -> None:
    """Runs one target in this process and prints a JSON summary."""
    sys.path.insert(0, str(HERE))
    from targets import TARGETS  # noqa: E402 - after the path is set

    check = TARGETS[target]
    rng = random.Random(f"{target}:{seed}")
    corpus = seeds(target)
    seen: set[str] = set()
    findings: dict[str, dict] = {}
    status = os.open(status_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC)
    started = time.monotonic()
    slowest = (0.0, b"")
    for index in range(executions):
        data = mutate(rng.choice(corpus), corpus, rng) if index >= len(corpus) else corpus[index]
        # What is running, for the parent to save if this process dies.
        os.pwrite(status, len(data).to_bytes(4, "little") + data, 0)
        began = time.monotonic()
        outcome, failure = run_one(check, data)
        slowest = max(slowest, (time.monotonic() - began, data))
        if failure is not None:
            key = signature(failure.strip().splitlines()[-1])
            if key not in findings:
                findings[key] = {"kind": outcome, "input": str(save_finding(target, data)), "trace": failure[-3000:]}
            continue
        key = signature(outcome)
        if key not in seen and len(corpus) < MAX_CORPUS:
            seen.add(key)
            corpus.append(data)
    os.close(status)
    print(json.dumps({"target": target, "executions": executions, "seconds": round(time.monotonic() - started, 1),
                      "corpus": len(corpus), "slowest": [round(slowest[0], 3), str(save_slowest(target, slowest[1]))],
                      "findings": list(findings.values())}))


def replay(target: str, path: str) -> int:
    sys.path.insert(0, str(HERE))
    from targets import TARGETS  # noqa: E402

    kind, failure = run_one(TARGETS[target], Path(path).read_bytes())
    print(failure or "no finding")
    return 1 if failure else 0


def atheris_child(target: str, executions: int) -> None:
    import atheris  # noqa: E402 - optional

    sys.path.insert(0, str(HERE))
    # Coverage of the harness's own branches (which refusal, which shape) guides the mutator.
    with atheris.instrument_imports():
        from targets import TARGETS  # noqa: E402

    check = TARGETS[target]
    corpus_dir = HERE / "corpus" / target
    corpus_dir.mkdir(parents=True, exist_ok=True)
    for i, data in enumerate(seeds(target)):
        (corpus_dir / f"seed-{i}").write_bytes(data)
    atheris.Setup([sys.argv[0], f"-runs={executions}", f"-max_len={MAX_INPUT}", str(corpus_dir)], check)
    atheris.Fuzz()


def main() -> int:
    # Deep values the module accepts must also fit the checks (json.loads, the harness's own walks).
    sys.setrecursionlimit(20_000)
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--target", action="append", help="a target of targets.py (default: every target)")
    parser.add_argument("--executions", type=int, default=10_000, help="executions per target")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--engine", choices=["mutation", "atheris"], default="mutation")
    parser.add_argument("--replay", help="run one saved input against --target")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    parser.add_argument("--status", help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.replay:
        return replay(args.target[0], args.replay)
    if args.child:
        if args.engine == "atheris":
            atheris_child(args.child, args.executions)
        else:
            child(args.child, args.executions, args.seed, args.status)
        return 0

    sys.path.insert(0, str(HERE))
    from targets import TARGETS  # noqa: E402

    names = args.target or list(TARGETS)
    failed = False
    for name in names:
        status = HERE / f".running-{name}"
        command = [sys.executable, __file__, "--child", name, "--executions", str(args.executions),
                   "--seed", str(args.seed), "--engine", args.engine, "--status", str(status)]
        process = subprocess.run(command, capture_output=args.engine == "mutation", text=True)
        if args.engine == "atheris":
            failed |= process.returncode != 0
            continue
        if process.returncode != 0:
            failed = True
            data = status.read_bytes() if status.exists() else b""
            saved = save_finding(name, data[4:4 + int.from_bytes(data[:4], "little")]) if data else None
            print(f"{name}: the process died (exit {process.returncode}) on input {saved}")
            print(process.stderr[-3000:])
        else:
            summary = json.loads(process.stdout.strip().splitlines()[-1])
            print(f"{name}: {summary['executions']} executions in {summary['seconds']} s, "
                  f"corpus {summary['corpus']}, slowest {summary['slowest'][0]} s, "
                  f"{len(summary['findings'])} finding(s)")
            for finding in summary["findings"]:
                failed = True
                print(f"  {finding['kind']} on {finding['input']}\n{finding['trace']}")
        status.unlink(missing_ok=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
