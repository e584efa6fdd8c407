"""The module boundary: attributes, the function table, argument binding, type checks,
seed conversion, PanicException and the one-interpreter lifecycle."""
import importlib
import importlib.metadata
import inspect
import operator
import sys

import pytest

import velkin
from velkin import _core, _native

SIGNATURES = {
    "parse_agentlog": "(data)",
    "write_agentlog": "(records)",
    "canonical_bytes": "(payload)",
    "content_id": "(payload)",
    "compute_diff_report": "(baseline, candidate, pricing=None, seed=None)",
    "compute_semantic_axis_with_embedder": "(baseline, candidate, embedder, seed=None)",
}
FENCE = "`" * 3
DOCS = {
    "parse_agentlog": "Parse a `.agentlog` byte blob into a list of record dicts.",
    "write_agentlog": "Serialize a list of record dicts into `.agentlog` bytes.",
    "canonical_bytes": "Canonical-JSON byte sequence for a payload (SPEC \u00a75).",
    "content_id": "Content id for a payload dict (SPEC \u00a76).",
    "compute_diff_report": (
        "Compute a nine-axis diff between two traces.\n\n"
        "`baseline` and `candidate` are lists of record dicts (as produced by\n"
        "[`parse_agentlog`]). `pricing` is a `dict[str, tuple[float, float]]`\n"
        "mapping model name \u2192 (price_per_input_token, price_per_output_token).\n"
        "`seed` is an optional RNG seed for reproducible bootstrap CIs."),
    "compute_semantic_axis_with_embedder": f"""Compute the semantic axis using a Python-supplied embedder callable.

The callable receives a `list[str]` of texts and must return a
`list[list[float]]` of equal-length dense vectors. Typical wiring:

{FENCE}python
from sentence_transformers import SentenceTransformer
model = SentenceTransformer("all-MiniLM-L6-v2")
def embed(texts: list[str]) -> list[list[float]]:
    return model.encode(texts).tolist()
velkin._core.compute_semantic_axis_with_embedder(baseline, candidate, embed, seed=42)
{FENCE}

Returns the AxisStat as a dict (same shape the diff report uses).""",
}
EMBEDDER_MESSAGE = "embedder must be callable: fn(list[str]) -> list[list[float]]"
RECORD = {"version": "0.1", "id": "r", "kind": "chat_response", "ts": "t", "payload": {}}


def message_of(error_type, call):
    with pytest.raises(error_type) as info:
        call()
    assert type(info.value) is error_type
    return str(info.value)


def test_module_object():
    assert (_core.__version__, _core.SPEC_VERSION, _core.__name__) == ("3.2.5", "0.1", "velkin._core")
    assert _core.__doc__ == ("The entry point the Python interpreter calls when `velkin._core` is\n"
                             "imported. Registers every function above.")
    names = [n for n in vars(_core) if not (n.startswith("__") and n != "__version__")]
    assert names == ["__version__", "SPEC_VERSION", *SIGNATURES]
    assert velkin.__version__ == "3.2.5" == importlib.metadata.version("velkin")
    assert all(getattr(velkin, name) is getattr(_core, name) for name in SIGNATURES)


@pytest.mark.parametrize("name", SIGNATURES)
def test_docstring_and_signature(name):
    function = getattr(_core, name)
    assert (function.__name__, function.__doc__, function.__text_signature__) == (name, DOCS[name], SIGNATURES[name])
    signature = inspect.signature(function)
    assert str(signature) == SIGNATURES[name]
    assert {p.kind for p in signature.parameters.values()} == {inspect.Parameter.POSITIONAL_OR_KEYWORD}


def test_every_parameter_by_keyword():
    assert _core.parse_agentlog(data=b"") == []
    assert _core.write_agentlog(records=[]) == b""
    assert _core.canonical_bytes(payload={}) == b"{}"
    assert _core.content_id(payload={}).startswith("sha256:")
    assert _core.compute_diff_report(seed=1, pricing=None, candidate=[], baseline=[])["pair_count"] == 0
    stat = _core.compute_semantic_axis_with_embedder(embedder=len, seed=None, candidate=[], baseline=[])
    assert stat["axis"] == "semantic"


@pytest.mark.parametrize("call, message", [
    (lambda: _core.parse_agentlog(), "parse_agentlog() missing 1 required positional argument: 'data'"),
    (lambda: _core.compute_diff_report(),
     "compute_diff_report() missing 2 required positional arguments: 'baseline' and 'candidate'"),
    (lambda: _core.compute_semantic_axis_with_embedder(),
     "compute_semantic_axis_with_embedder() missing 3 required positional arguments: "
     "'baseline' and 'candidate' and 'embedder'"),
    (lambda: _core.compute_diff_report([], [], None, None, None),
     "compute_diff_report() takes 4 positional arguments but 5 were given"),
    (lambda: _core.compute_diff_report([], [], None, pricing=None),
     "compute_diff_report() got multiple values for argument 'pricing'"),
    (lambda: _core.canonical_bytes(**{"p\u00e4yload": 1}),
     "canonical_bytes() got an unexpected keyword argument 'p\u00e4yload'"),
    # Which problem is reported first: positionals, then keywords, then missing ones, then types.
    (lambda: _core.parse_agentlog(b"", b"", bogus=1),
     "parse_agentlog() takes 1 positional arguments but 2 were given"),
    (lambda: _core.compute_diff_report(bogus=1),
     "compute_diff_report() got an unexpected keyword argument 'bogus'"),
    (lambda: _core.compute_diff_report("x"),
     "compute_diff_report() missing 1 required positional argument: 'candidate'"),
])
def test_binding_errors(call, message):
    assert message_of(TypeError, call) == message


@pytest.mark.parametrize("function, args, culprit", [
    ("parse_agentlog", ["x"], "'data': 'str' object cannot be converted to 'PyBytes'"),
    ("parse_agentlog", [bytearray(b"x")], "'data': 'bytearray' object cannot be converted to 'PyBytes'"),
    ("parse_agentlog", [memoryview(b"x")], "'data': 'memoryview' object cannot be converted to 'PyBytes'"),
    ("write_agentlog", [()], "'records': 'tuple' object cannot be converted to 'PyList'"),
    ("compute_diff_report", [1, "x", [], -1], "'baseline': 'int' object cannot be converted to 'PyList'"),
    ("compute_diff_report", [[], "x", [], -1], "'candidate': 'str' object cannot be converted to 'PyList'"),
    ("compute_diff_report", [[], [], [], -1], "'pricing': 'list' object cannot be converted to 'PyDict'"),
    ("compute_semantic_axis_with_embedder", [[], (), 42, "x"],
     "'candidate': 'tuple' object cannot be converted to 'PyList'"),
])
def test_argument_types_in_parameter_order(function, args, culprit):
    assert message_of(TypeError, lambda: getattr(_core, function)(*args)) == "argument " + culprit


def test_subclasses_of_the_argument_types_are_accepted():
    def sub(base, *args):
        return type("Sub", (base,), {})(*args)
    assert _core.parse_agentlog(sub(bytes, b"\n")) == [] and _core.write_agentlog(sub(list)) == b""
    assert _core.compute_diff_report(sub(list), sub(list), sub(dict))["pair_count"] == 0


@pytest.mark.parametrize("args, message", [
    ([[{"id": "x"}], [], 42], "missing field `version`"),
    ([[], [RECORD, {"version": "0.1"}], 42], "missing field `id`"),
    ([[RECORD], [RECORD], 42], EMBEDDER_MESSAGE),
    ([[], [], "not callable", 0], EMBEDDER_MESSAGE),
])
def test_embedder_is_checked_after_both_record_lists(args, message):
    assert message_of(ValueError, lambda: _core.compute_semantic_axis_with_embedder(*args)) == message


@pytest.mark.parametrize("seed", [None, 0, 2**64 - 1, True])
def test_seeds_accepted(seed):
    assert _core.compute_diff_report([], [], None, seed)["pair_count"] == 0
    assert _core.compute_semantic_axis_with_embedder([], [], len, seed)["n"] == 0


@pytest.mark.parametrize("seed", ["1", 1.0, b"1", -1, 2**64])
def test_bad_seed_fails_before_any_record(seed):
    if isinstance(seed, int):
        error, expected = OverflowError, None  # the interpreter's own error, without the argument's name
    else:
        with pytest.raises(TypeError) as interpreter:
            operator.index(seed)
        error, expected = TypeError, "argument 'seed': " + str(interpreter.value)
    for call in (lambda: _core.compute_diff_report([object()], [{"bad": 1}], None, seed),
                 lambda: _core.compute_semantic_axis_with_embedder([object()], [], 42, seed)):
        message = message_of(error, call)
        assert message == expected if expected else not message.startswith("argument")


def panic_from(edit, read=lambda pricing: _core.compute_diff_report([], [], pricing)):
    """The exception of reading a pricing dict that a float hook of its first item edits."""
    class Price:
        def __float__(self):
            edit(pricing)
            return 1.0
    pricing = {"a": (Price(), 1.0), "b": (1.0, 2.0)}
    with pytest.raises(BaseException) as info:
        read(pricing)
    return info.value


def test_pricing_dict_modified_while_read_is_a_panic():
    grown = panic_from(lambda pricing: pricing.update(c=(1.0, 2.0)))
    swapped = panic_from(lambda pricing: (pricing.update(c=(1.0, 2.0)), pricing.pop("a")))
    assert str(grown) == "dictionary changed size during iteration"
    assert str(swapped) == "dictionary keys changed during iteration"
    panic = type(grown)
    assert type(swapped) is panic and not isinstance(grown, Exception)
    assert (panic.__module__, panic.__qualname__) == ("velkin._core", "PanicException")


def test_native_faults_raise_the_core_panic_class():
    def grow(pricing):
        pricing.update(c=(1.0, 2.0))
    native = panic_from(grow, lambda pricing: _native.compare_runs([], [], pricing=pricing))
    assert type(native) is type(panic_from(grow)) and str(native) == "dictionary changed size during iteration"


def test_reimport_returns_the_same_module():
    original = sys.modules.pop("velkin._core")
    try:
        again = importlib.import_module("velkin._core")
        assert again is original and again.parse_agentlog(b"") == []
    finally:
        sys.modules["velkin._core"] = original


def test_second_interpreter_cannot_import():
    interpreters = pytest.importorskip("_xxsubinterpreters")
    interp = interpreters.create()
    try:
        interpreters.run_string(interp, "try:\n import velkin._core\nexcept ImportError as e:\n"
                                        " assert 'interpreter' in str(e), e\nelse:\n raise AssertionError('imported')")
    finally:
        interpreters.destroy(interp)
    assert _core.canonical_bytes([1]) == b"[1]"
