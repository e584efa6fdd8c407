"""Files and processes at the command line's edges: inputs that change or block, outputs that must not
destroy anything, file names of any bytes, signals and the `threads` argument. Every case runs the
command as a user would, in a subprocess, with a timeout where the old behaviour was to hang."""
import hashlib
import json
import os
import signal
import stat
import subprocess
import sys
import time
from pathlib import Path

import pytest

from velkin.compare import compare_runs

ROOT = Path(__file__).resolve().parent.parent
BASELINE, CANDIDATE, PRICING = (ROOT / "examples" / name
                                for name in ("baseline.agentlog", "candidate.agentlog", "pricing.json"))
OTLP = ROOT / "tests" / "data" / "import" / "openai-v2-span-only.traces.jsonl"
ENV = {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}
TIMEOUT = 60


SPAWNED: list = []


def spawn(command: list, **kwargs) -> subprocess.Popen:
    process = subprocess.Popen(command, **kwargs)
    SPAWNED.append(process)
    return process


@pytest.fixture(autouse=True)
def no_child_left():
    """A failing test leaves no child running: one blocked on a FIFO would outlive the whole run."""
    yield
    while SPAWNED:
        process = SPAWNED.pop()
        if process.poll() is None:
            process.kill()
            process.wait()


def interruptible_child() -> None:
    """Ctrl-C as a terminal delivers it: a shell starts background jobs (CI's, say) with SIGINT ignored, and
    the child would inherit that."""
    signal.signal(signal.SIGINT, signal.SIG_DFL)


posix_only = pytest.mark.skipif(os.name != "posix", reason="FIFOs, devices and signals as POSIX has them")


def velkin(*args, cwd=ROOT, umask=None, **kwargs):
    """The command as a subprocess: (exit code, stdout bytes, stderr text)."""
    preexec = (lambda: os.umask(umask)) if umask is not None else None
    done = subprocess.run([sys.executable, "-m", "velkin", *map(os.fsencode, args)], capture_output=True,
                          cwd=cwd, env=ENV, timeout=TIMEOUT, preexec_fn=preexec, check=False, **kwargs)
    return done.returncode, done.stdout, done.stderr.decode("utf-8", "backslashreplace")


def one_error_line(stderr: str) -> str:
    """The single line of a refusal, without a traceback."""
    assert "Traceback" not in stderr
    lines = stderr.splitlines()
    assert len(lines) == 1, stderr
    assert lines[0].startswith("velkin: error: ")
    return lines[0]


def temporaries(directory) -> list:
    return sorted(p.name for p in Path(directory).iterdir() if p.name.startswith(".velkin-"))


def large_otlp(path: Path, megabytes: int) -> Path:
    """An OTLP export of about this size: the fixture's lines again and again under fresh trace ids."""
    lines = OTLP.read_text(encoding="utf-8").splitlines()
    trace_ids = sorted({json.loads(line)["resourceSpans"][0]["scopeSpans"][0]["spans"][0]["traceId"]
                        for line in lines})
    with open(path, "w", encoding="utf-8") as f:
        copy = 0
        while f.tell() < megabytes * 1_000_000:
            text = "\n".join(lines) + "\n"
            for old in trace_ids:
                text = text.replace(old, hashlib.sha256(f"{old}/{copy}".encode()).hexdigest()[:32])
            f.write(text)
            copy += 1
    return path


def wait_for(condition, what: str, timeout: float = TIMEOUT) -> None:
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, f"timed out waiting for {what}"
        time.sleep(0.01)


def in_native_work(process: subprocess.Popen) -> bool:
    """The command runs its native work on a thread of its own: a second thread means it has started."""
    try:
        return len(os.listdir(f"/proc/{process.pid}/task")) > 1
    except FileNotFoundError:
        return False


# Inputs ---------------------------------------------------------------------------


@posix_only
def test_an_input_truncated_while_imported_is_an_error_or_a_whole_import_never_a_signal(tmp_path):
    """Log rotation truncates a file while it is read: a mapping died of SIGBUS here. Either the import
    read the file before it shrank (a whole output) or it says the file changed; never a signal."""
    source = large_otlp(tmp_path / "big.traces.jsonl", 40)
    output = tmp_path / "out.agentlog"
    process = spawn([sys.executable, "-m", "velkin", "import", source, "-o", output], env=ENV,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    wait_for(lambda: in_native_work(process) or process.poll() is not None, "the import to start")
    os.truncate(source, 1000)
    _, stderr = process.communicate(timeout=TIMEOUT)
    assert process.returncode in (0, 2), stderr
    if process.returncode == 2:  # the file shrank while read, or before (then its first line is cut short)
        line = one_error_line(stderr.decode())
        assert "big.traces.jsonl changed while it was read (it shrank from" in line or "big.traces.jsonl:1: " in line
        assert not output.exists()
    else:
        assert output.stat().st_size > 1000
    assert temporaries(tmp_path) == []


@posix_only
@pytest.mark.parametrize("how", ["api", "import", "compare", "diff"])
def test_a_fifo_input_is_refused_without_waiting_for_a_writer(tmp_path, how):
    """Nobody writes to the FIFO: opening it for reading would wait for ever (the API held the interpreter
    lock while it did)."""
    fifo = tmp_path / "run.agentlog"
    os.mkfifo(fifo)
    if how == "api":
        script = ("import sys; from velkin import importers\n"
                  "try:\n    importers.import_agentlog(sys.argv[1])\n"
                  "except ValueError as e:\n    print(e)\n")
        done = subprocess.run([sys.executable, "-c", script, str(fifo)], capture_output=True, text=True, env=ENV,
                              timeout=TIMEOUT, check=False)
        assert done.stdout == f"cannot read {fifo}: not a regular file (a pipe or a device): save it to a file first\n"
        return
    args = {"import": ["import", fifo, "-o", tmp_path / "out.agentlog"],
            "compare": ["compare", "--baseline", BASELINE, "--candidate", fifo],
            "diff": ["diff", BASELINE, fifo]}[how]
    if how == "diff":
        # diff reads its two traces as streams: a FIFO is read once a writer comes, as `diff <(...)` needs.
        process = spawn([sys.executable, "-m", "velkin", *map(str, args)], env=ENV,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        with open(fifo, "wb") as writer:
            writer.write(CANDIDATE.read_bytes())
        stdout, stderr = process.communicate(timeout=TIMEOUT)
        assert process.returncode == 1, stderr
        assert stdout.startswith("✗ REGRESSED".encode())
        return
    code, _, stderr = velkin(*args)
    assert code == 2
    assert one_error_line(stderr).endswith(": not a regular file (a pipe or a device): save it to a file first") or \
        one_error_line(stderr).endswith(": not a regular file: pass a pipe as standard input (-)")
    assert str(fifo) in stderr


# Outputs --------------------------------------------------------------------------


def _same_file(tmp_path: Path, how: str) -> tuple:
    """(the command's arguments, the input they must leave alone) for each way of naming an input as output."""
    trace = tmp_path / "b.agentlog"
    trace.write_bytes(BASELINE.read_bytes())
    otlp = tmp_path / "in.jsonl"
    otlp.write_bytes(OTLP.read_bytes())
    if how == "symlink":
        (tmp_path / "link.jsonl").symlink_to(otlp)
    if how == "hard link":
        os.link(otlp, tmp_path / "link.jsonl")
    pricing = tmp_path / "pricing.json"
    pricing.write_bytes(PRICING.read_bytes())
    return {
        "import -o INPUT": (["import", otlp, "-o", otlp], otlp),
        "symlink": (["import", otlp, "-o", tmp_path / "link.jsonl"], otlp),
        "hard link": (["import", tmp_path / "link.jsonl", "-o", otlp], otlp),
        "diff --html BASELINE": (["diff", trace, CANDIDATE, "--html", trace], trace),
        "diff --junit PRICING": (["diff", trace, CANDIDATE, "--pricing", pricing, "--junit", pricing], pricing),
        "compare --html RUN": (["compare", "--baseline", trace, "--candidate", CANDIDATE, "--html", trace], trace),
    }[how]


@pytest.mark.parametrize("how", ["import -o INPUT", "symlink", "hard link", "diff --html BASELINE",
                                 "diff --junit PRICING", "compare --html RUN"])
def test_an_output_never_replaces_an_input(tmp_path, how):
    args, kept = _same_file(tmp_path, how)
    before = kept.read_bytes()
    code, _, stderr = velkin(*args)
    assert code == 2
    assert "it is the input" in one_error_line(stderr)
    assert kept.read_bytes() == before
    assert temporaries(tmp_path) == []


@pytest.mark.parametrize("option", ["-o", "--html", "--junit"])
def test_a_dash_means_standard_output(tmp_path, option):
    if option == "-o":
        code, stdout, stderr = velkin("import", OTLP, "-o", "-", cwd=tmp_path)
        assert code == 0, stderr
        assert stdout == velkin("import", OTLP, "-o", "-", cwd=tmp_path)[1]
        assert stdout.startswith(b'{"version":') and stdout.count(b"\n") == len(stdout.splitlines())
        assert "to standard output" in stderr
    else:
        code, stdout, stderr = velkin("diff", BASELINE, CANDIDATE, "--format", "json", option, "-", cwd=tmp_path)
        assert code == 1, stderr
        assert (b"<!DOCTYPE html>" if option == "--html" else b"<testsuites") in stdout
        assert b'"rows"' in stdout
    assert not (tmp_path / "-").exists()


def device(path: Path, minor: int) -> Path:
    """A node of the memory devices (null 3, full 7) of our own: a faulty write replaces it, not the system's."""
    try:
        os.mknod(path, 0o666 | stat.S_IFCHR, os.makedev(1, minor))
    except (PermissionError, AttributeError):
        pytest.skip("making a device node needs the privilege to")
    return path


@posix_only
def test_devices_are_written_through_and_stay_devices(tmp_path):
    null, full = device(tmp_path / "null", 3), device(tmp_path / "full", 7)
    code, _, stderr = velkin("diff", BASELINE, CANDIDATE, "--pricing", PRICING, "--html", null, "--junit", null)
    assert code == 1, stderr
    code, _, stderr = velkin("import", OTLP, "-o", null)
    assert code == 0, stderr
    code, _, stderr = velkin("import", OTLP, "-o", full)
    assert code == 2
    assert one_error_line(stderr) == f"velkin: error: cannot write {full}: No space left on device"
    assert stat.S_ISCHR(os.stat(null).st_mode) and stat.S_ISCHR(os.stat(full).st_mode)
    assert temporaries(tmp_path) == []


@posix_only
def test_a_pipe_is_written_through_and_one_file_never_takes_two_outputs(tmp_path):
    fifo = tmp_path / "page.html"
    os.mkfifo(fifo)
    process = spawn([sys.executable, "-m", "velkin", "diff", BASELINE, CANDIDATE, "--pricing", PRICING,
                                "--html", fifo], env=ENV, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    with open(fifo, "rb") as reader:
        page = reader.read()
    assert process.wait(timeout=TIMEOUT) == 1, process.stderr.read()
    assert page.startswith(b"<!DOCTYPE html>") and stat.S_ISFIFO(os.stat(fifo).st_mode)
    code, _, stderr = velkin("diff", BASELINE, CANDIDATE, "--html", tmp_path / "a", "--junit", tmp_path / "a")
    assert code == 2
    assert "name the same file" in one_error_line(stderr)


def test_a_symlink_is_followed_and_its_target_written(tmp_path):
    target = tmp_path / "reports" / "page.html"
    target.parent.mkdir()
    target.write_text("old")
    link = tmp_path / "latest.html"
    link.symlink_to(target)
    code, _, stderr = velkin("diff", BASELINE, CANDIDATE, "--html", link)
    assert code == 1, stderr
    assert link.is_symlink()
    assert target.read_text(encoding="utf-8").startswith("<!DOCTYPE html>")


@posix_only
@pytest.mark.parametrize("umask, existing, expected", [(0o022, None, 0o644), (0o077, None, 0o600),
                                                       (0o027, None, 0o640), (0o022, 0o600, 0o600),
                                                       (0o077, 0o664, 0o664)])
def test_new_files_honour_the_umask_and_existing_files_keep_their_mode(tmp_path, umask, existing, expected):
    output = tmp_path / "out.agentlog"
    if existing is not None:
        output.write_text("old")
        output.chmod(existing)
    code, _, stderr = velkin("import", OTLP, "-o", output, umask=umask)
    assert code == 0, stderr
    assert stat.S_IMODE(output.stat().st_mode) == expected
    assert output.read_bytes().startswith(b'{"version":')


@pytest.mark.parametrize("place, message", [("directory", "it is a directory"),
                                            ("missing directory", "No such file or directory")])
def test_an_unwritable_output_is_one_line_and_nothing_is_written(tmp_path, place, message):
    """--html is written only if --junit is too: all of a command's outputs or none."""
    html = tmp_path / "page.html"
    junit = tmp_path / "junit" if place == "directory" else tmp_path / "missing" / "junit.xml"
    if place == "directory":
        junit.mkdir()
    code, stdout, stderr = velkin("diff", BASELINE, CANDIDATE, "--pricing", PRICING, "--html", html, "--junit", junit)
    assert code == 2
    assert one_error_line(stderr).endswith(message)
    assert not html.exists()
    assert stdout == b""
    assert temporaries(tmp_path) == []


@posix_only
@pytest.mark.parametrize("signum, exit_code", [(signal.SIGTERM, -signal.SIGTERM), (signal.SIGINT, 130)])
def test_a_signal_while_writing_leaves_no_temporary_file(tmp_path, signum, exit_code):
    """The outputs wait on a FIFO nobody reads, their temporary files written: the signal must remove them."""
    html, fifo = tmp_path / "page.html", tmp_path / "junit.xml"
    os.mkfifo(fifo)
    process = spawn([sys.executable, "-m", "velkin", "diff", BASELINE, CANDIDATE, "--pricing", PRICING,
                                "--html", html, "--junit", fifo],
                               env=ENV, stdout=subprocess.PIPE, stderr=subprocess.PIPE, preexec_fn=interruptible_child)
    wait_for(lambda: temporaries(tmp_path), "the temporary file")
    process.send_signal(signum)
    stdout, stderr = process.communicate(timeout=TIMEOUT)
    assert process.returncode == exit_code
    assert temporaries(tmp_path) == []
    assert not html.exists()
    assert stdout == b""
    assert stderr.decode() == ("velkin: interrupted\n" if signum == signal.SIGINT else "")


# File names -----------------------------------------------------------------------

NOT_UTF8 = b"run-\xff\xfe"


@posix_only
@pytest.mark.skipif(sys.platform == "darwin", reason="macOS file systems refuse names that are not UTF-8")
@pytest.mark.parametrize("command", ["diff --html", "compare --html", "compare --junit", "import", "import input",
                                     "missing input", "bad import input"])
def test_a_file_name_of_any_bytes_works_everywhere(tmp_path, command):
    directory = os.fsencode(tmp_path)
    trace = os.path.join(directory, NOT_UTF8 + b".agentlog")
    with open(trace, "wb") as f:
        f.write(BASELINE.read_bytes())
    otlp = os.path.join(directory, NOT_UTF8 + b".jsonl")
    with open(otlp, "wb") as f:
        f.write(OTLP.read_bytes())
    output = os.path.join(directory, NOT_UTF8 + b".out")
    args = {"diff --html": [b"diff", trace, os.fsencode(CANDIDATE), b"--html", output],
            "compare --html": [b"compare", b"--baseline", trace, b"--candidate", os.fsencode(CANDIDATE),
                               b"--html", output],
            "compare --junit": [b"compare", b"--baseline", os.fsencode(CANDIDATE), b"--candidate", trace,
                                b"--junit", output],
            "import": [b"import", os.fsencode(OTLP), b"-o", output],
            "import input": [b"import", otlp, b"-o", output],
            "missing input": [b"diff", trace + b".gone", trace],
            "bad import input": [b"import", trace, b"--from", b"otlp", b"-o", output]}[command]
    code, _, stderr = velkin(*args)
    assert "Traceback" not in stderr
    if command == "bad import input":
        assert code == 2
        assert one_error_line(stderr).startswith(f"velkin: error: {tmp_path}/run-\\xff\\xfe.agentlog:1: ")
        return
    if command == "missing input":
        assert code == 2
        assert one_error_line(stderr) == (f"velkin: error: cannot read {tmp_path}/run-\\xff\\xfe.agentlog.gone: "
                                          "No such file or directory")
        return
    assert code in (0, 1), stderr
    with open(output, "rb") as f:
        written = f.read()
    assert written
    if command == "diff --html":
        assert b"run-\\xff\\xfe.agentlog" in written
    if command == "import input":
        assert f"velkin: {tmp_path}/run-\\xff\\xfe.jsonl: detected otlp\n" in stderr


# Signals --------------------------------------------------------------------------


@posix_only
@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="watches the native thread in /proc")
@pytest.mark.parametrize("command", ["import", "compare"])
def test_ctrl_c_stops_native_work_with_one_line_and_exit_130(tmp_path, command):
    source = large_otlp(tmp_path / "big.traces.jsonl", 40)
    output = tmp_path / "out.agentlog"
    if command == "compare":
        code, _, stderr = velkin("import", source, "-o", output)
        assert code == 0, stderr
        run, output = output, tmp_path / "page.html"
        args = ["compare", "--baseline", run, run, "--candidate", run, "--html", output]
    else:
        args = ["import", source, "-o", output]
    process = spawn([sys.executable, "-m", "velkin", *map(str, args)], env=ENV,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, preexec_fn=interruptible_child)
    wait_for(lambda: in_native_work(process) or process.poll() is not None, "native work")
    assert process.poll() is None, process.communicate()
    process.send_signal(signal.SIGINT)
    stdout, stderr = process.communicate(timeout=TIMEOUT)
    assert (process.returncode, stderr.decode(), stdout) == (130, "velkin: interrupted\n", b"")
    assert not output.exists()
    assert temporaries(tmp_path) == []


@pytest.mark.parametrize("module, args", [
    ("velkin.cli", ["--version"]),
    ("velkin.reports.gate", ["--version"]),
    ("velkin.compare_command", ["--version"]),
    # The report model loads once the comparison is done, for the report that shows it.
    ("velkin.reports.model", ["compare", "--baseline", BASELINE, "--candidate", CANDIDATE]),
])
def test_ctrl_c_while_the_command_line_loads_is_one_line_and_exit_130(module, args):
    """Ctrl-C that lands while the program imports its modules (the first moments of every run, or the
    report's modules later) is made to land there for certain: the import of `module` raises
    KeyboardInterrupt."""
    child = ("import sys\n"
             "class Interrupt:\n"
             "    def find_spec(self, name, path=None, target=None):\n"
             f"        if name == {module!r}: raise KeyboardInterrupt\n"
             "sys.meta_path.insert(0, Interrupt())\n"
             "from velkin.__main__ import main\n"
             "main()\n")
    done = subprocess.run([sys.executable, "-c", child, *map(str, args)], env=ENV, capture_output=True, text=True,
                          timeout=TIMEOUT)
    assert (done.returncode, done.stderr, done.stdout) == (130, "velkin: interrupted\n", "")


API_COMPARISON = """
import sys, time
from velkin import importers
from velkin.compare import compare_runs
records = importers.import_records(sys.argv[1])
start = time.monotonic()
compare_runs([records, records], [records])
whole = time.monotonic() - start
print("comparing", flush=True)
start = time.monotonic()
try:
    compare_runs([records, records], [records])
except KeyboardInterrupt:
    print(whole, time.monotonic() - start, flush=True)
"""


@posix_only
def test_ctrl_c_stops_a_comparison_of_record_lists_in_the_api(tmp_path):
    """Records handed over from Python are converted and compared at once: Ctrl-C stops both, long before the
    comparison would have ended (measured against a whole run of the same comparison in the same process)."""
    source = large_otlp(tmp_path / "big.traces.jsonl", 20)
    process = spawn([sys.executable, "-c", API_COMPARISON, str(source)], env=ENV, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True, preexec_fn=interruptible_child)
    assert process.stdout.readline() == "comparing\n", process.communicate()
    time.sleep(0.05)
    process.send_signal(signal.SIGINT)
    stdout, stderr = process.communicate(timeout=TIMEOUT)
    assert process.returncode == 0, stderr
    whole, interrupted = map(float, stdout.split())
    assert interrupted < whole / 4, (whole, interrupted)


# Threads --------------------------------------------------------------------------


@pytest.mark.parametrize("threads, error", [(0, ValueError), (-1, ValueError), (2**32 + 1, ValueError),
                                            (10**6, ValueError), (2**70, ValueError), (True, TypeError),
                                            ("2", TypeError), (2.0, TypeError)])
def test_threads_out_of_range_are_refused(threads, error):
    with pytest.raises(error, match="threads"):
        compare_runs(str(BASELINE), str(CANDIDATE), threads=threads)


def test_any_valid_thread_count_gives_the_same_report():
    """Beyond a few per core, threads are capped, not refused: the report never depends on their count."""
    reports = [compare_runs(str(BASELINE), str(CANDIDATE), threads=threads) for threads in (None, 1, 3, 1024)]
    assert reports[0]["verdict"] == "changed"  # the example switches model snapshots
    assert all(report == reports[0] for report in reports)
