"""The module boundary: attributes, the function table, argument binding, type checks,
seed conversion, PanicException and the one-interpreter lifecycle."""
import importlib
import inspect
import operator
import sys
import textwrap
from collections import OrderedDict

import pytest

import velkin
from velkin import _core

FUNCTIONS = [
    "parse_agentlog",
    "write_agentlog",
    "canonical_bytes",
    "content_id",
    "compute_diff_report",
    "compute_semantic_axis_with_embedder",
]
SIGNATURES = {
    "parse_agentlog": "(data)",
    "write_agentlog": "(records)",
    "canonical_bytes": "(payload)",
    "content_id": "(payload)",
    "compute_diff_report": "(baseline, candidate, pricing=None, seed=None)",
    "compute_semantic_axis_with_embedder": "(baseline, candidate, embedder, seed=None)",
}
DIFF_DOC = (
    "Compute a nine-axis diff between two traces.\n\n"
    "`baseline` and `candidate` are lists of record dicts (as produced by\n"
    "[`parse_agentlog`]). `pricing` is a `dict[str, tuple[float, float]]`\n"
    "mapping model name \u2192 (price_per_input_token, price_per_output_token).\n"
    "`seed` is an optional RNG seed for reproducible bootstrap CIs."
)
FENCE = "`" * 3
EMBEDDER_DOC = "\n".join([
    "Compute the semantic axis using a Python-supplied embedder callable.",
    "",
    "The callable receives a `list[str]` of texts and must return a",
    "`list[list[float]]` of equal-length dense vectors. Typical wiring:",
    "",
    FENCE + "python",
    "from sentence_transformers import SentenceTransformer",
    'model = SentenceTransformer("all-MiniLM-L6-v2")',
    "def embed(texts: list[str]) -> list[list[float]]:",
    "    return model.encode(texts).tolist()",
    "velkin._core.compute_semantic_axis_with_embedder(baseline, candidate, embed, seed=42)",
    FENCE,
    "",
    "Returns the AxisStat as a dict (same shape the diff report uses).",
])
DOCS = {
    "parse_agentlog": "Parse a `.agentlog` byte blob into a list of record dicts.",
    "write_agentlog": "Serialize a list of record dicts into `.agentlog` bytes.",
    "canonical_bytes": "Canonical-JSON byte sequence for a payload (SPEC \u00a75).",
    "content_id": "Content id for a payload dict (SPEC \u00a76).",
    "compute_diff_report": DIFF_DOC,
    "compute_semantic_axis_with_embedder": EMBEDDER_DOC,
}
EMBEDDER_MESSAGE = "embedder must be callable: fn(list[str]) -> list[list[float]]"


def record(**fields):
    base = {"version": "0.1", "id": "r", "kind": "chat_response", "ts": "t", "payload": {}}
    base.update(fields)
    return base


def message_of(error_type, call):
    with pytest.raises(error_type) as info:
        call()
    assert type(info.value) is error_type
    return str(info.value)


class TestModuleObject:
    def test_attributes(self):
        assert _core.__version__ == "3.2.5"
        assert _core.SPEC_VERSION == "0.1"
        assert _core.__name__ == "velkin._core"
        assert _core.__doc__ == (
            "The entry point the Python interpreter calls when `velkin._core` is\n"
            "imported. Registers every function above."
        )

    def test_attribute_and_function_order(self):
        names = [n for n in vars(_core) if not (n.startswith("__") and n != "__version__")]
        assert names == ["__version__", "SPEC_VERSION", *FUNCTIONS]

    def test_package_reexports(self):
        assert velkin.__version__ == "3.2.5"
        for name in FUNCTIONS:
            assert getattr(velkin, name) is getattr(_core, name)

    @pytest.mark.parametrize("name", FUNCTIONS)
    def test_docstring_and_text_signature(self, name):
        function = getattr(_core, name)
        assert function.__doc__ == DOCS[name]
        assert function.__text_signature__ == SIGNATURES[name]
        assert function.__name__ == name

    @pytest.mark.parametrize("name", FUNCTIONS)
    def test_every_parameter_is_positional_or_keyword(self, name):
        signature = inspect.signature(getattr(_core, name))
        assert str(signature) == SIGNATURES[name]
        assert {p.kind for p in signature.parameters.values()} == {inspect.Parameter.POSITIONAL_OR_KEYWORD}

    def test_diff_report_defaults(self):
        parameters = inspect.signature(_core.compute_diff_report).parameters
        assert [(p.name, p.default) for p in parameters.values()] == [
            ("baseline", inspect.Parameter.empty),
            ("candidate", inspect.Parameter.empty),
            ("pricing", None),
            ("seed", None),
        ]

    def test_every_parameter_by_keyword(self):
        assert _core.parse_agentlog(data=b"") == []
        assert _core.write_agentlog(records=[]) == b""
        assert _core.canonical_bytes(payload={}) == b"{}"
        assert _core.content_id(payload={}).startswith("sha256:")
        report = _core.compute_diff_report(seed=1, pricing=None, candidate=[], baseline=[])
        assert report["pair_count"] == 0
        stat = _core.compute_semantic_axis_with_embedder(
            embedder=lambda texts: [], seed=None, candidate=[], baseline=[])
        assert stat["axis"] == "semantic"


class TestBinding:
    @pytest.mark.parametrize("call, message", [
        (lambda: _core.parse_agentlog(),
         "parse_agentlog() missing 1 required positional argument: 'data'"),
        (lambda: _core.content_id(),
         "content_id() missing 1 required positional argument: 'payload'"),
        (lambda: _core.compute_diff_report(),
         "compute_diff_report() missing 2 required positional arguments: 'baseline' and 'candidate'"),
        (lambda: _core.compute_diff_report(candidate=[]),
         "compute_diff_report() missing 1 required positional argument: 'baseline'"),
        (lambda: _core.compute_semantic_axis_with_embedder([]),
         "compute_semantic_axis_with_embedder() missing 2 required positional arguments: "
         "'candidate' and 'embedder'"),
        (lambda: _core.compute_semantic_axis_with_embedder(),
         "compute_semantic_axis_with_embedder() missing 3 required positional arguments: "
         "'baseline' and 'candidate' and 'embedder'"),
        (lambda: _core.parse_agentlog(b"", b""),
         "parse_agentlog() takes 1 positional arguments but 2 were given"),
        (lambda: _core.compute_diff_report([], [], None, None, None),
         "compute_diff_report() takes 4 positional arguments but 5 were given"),
        (lambda: _core.write_agentlog([], records=[]),
         "write_agentlog() got multiple values for argument 'records'"),
        (lambda: _core.compute_diff_report([], [], None, pricing=None),
         "compute_diff_report() got multiple values for argument 'pricing'"),
        (lambda: _core.parse_agentlog(b"", bogus=1),
         "parse_agentlog() got an unexpected keyword argument 'bogus'"),
        (lambda: _core.canonical_bytes(**{"p\u00e4yload": 1}),
         "canonical_bytes() got an unexpected keyword argument 'p\u00e4yload'"),
    ])
    def test_binding_errors(self, call, message):
        assert message_of(TypeError, call) == message

    @pytest.mark.parametrize("call, message", [
        # Too many positionals is found before any keyword problem.
        (lambda: _core.parse_agentlog(b"", b"", bogus=1),
         "parse_agentlog() takes 1 positional arguments but 2 were given"),
        # An unknown keyword is found before the missing arguments.
        (lambda: _core.compute_diff_report(bogus=1),
         "compute_diff_report() got an unexpected keyword argument 'bogus'"),
        # Binding comes before any type check.
        (lambda: _core.compute_diff_report("x"),
         "compute_diff_report() missing 1 required positional argument: 'candidate'"),
    ])
    def test_which_binding_error_wins(self, call, message):
        assert message_of(TypeError, call) == message


class TestTypeChecks:
    @pytest.mark.parametrize("data, type_name", [
        ("x", "str"), (bytearray(b"x"), "bytearray"), (memoryview(b"x"), "memoryview"), (None, "NoneType"),
    ])
    def test_data_must_be_bytes(self, data, type_name):
        assert message_of(TypeError, lambda: _core.parse_agentlog(data)) == (
            f"argument 'data': '{type_name}' object cannot be converted to 'PyBytes'")

    def test_bytes_subclass_is_accepted(self):
        class Blob(bytes):
            pass
        assert _core.parse_agentlog(Blob(b"\n")) == []

    @pytest.mark.parametrize("records, type_name", [((), "tuple"), ({}, "dict"), (None, "NoneType")])
    def test_records_must_be_a_list(self, records, type_name):
        assert message_of(TypeError, lambda: _core.write_agentlog(records)) == (
            f"argument 'records': '{type_name}' object cannot be converted to 'PyList'")

    def test_list_subclass_is_accepted(self):
        class Records(list):
            pass
        assert _core.write_agentlog(Records()) == b""
        assert _core.compute_diff_report(Records(), Records(), OrderedDict())["pair_count"] == 0

    @pytest.mark.parametrize("args, message", [
        ((1, "x", [], -1), "argument 'baseline': 'int' object cannot be converted to 'PyList'"),
        (([], "x", [], -1), "argument 'candidate': 'str' object cannot be converted to 'PyList'"),
        (([], [], [], -1), "argument 'pricing': 'list' object cannot be converted to 'PyDict'"),
        (([], [], (("m", (1, 2)),), -1), "argument 'pricing': 'tuple' object cannot be converted to 'PyDict'"),
    ])
    def test_diff_report_checks_in_parameter_order(self, args, message):
        assert message_of(TypeError, lambda: _core.compute_diff_report(*args)) == message

    def test_seed_is_checked_before_any_record(self):
        with pytest.raises(OverflowError):
            _core.compute_diff_report([object()], [{"bad": 1}], None, -1)
        with pytest.raises(OverflowError):
            _core.compute_semantic_axis_with_embedder([object()], [], 42, -1)

    @pytest.mark.parametrize("args, error_type, message", [
        ((1, (), 42, "x"), TypeError, "argument 'baseline': 'int' object cannot be converted to 'PyList'"),
        (([], (), 42, "x"), TypeError, "argument 'candidate': 'tuple' object cannot be converted to 'PyList'"),
        # The embedder is checked only after both record lists converted.
        (([{"id": "x"}], [], 42, None), ValueError, "missing field `version`"),
        (([], [record(), {"version": "0.1"}], 42, None), ValueError, "missing field `id`"),
        (([record()], [record()], 42, None), ValueError, EMBEDDER_MESSAGE),
        (([], [], "not callable", 0), ValueError, EMBEDDER_MESSAGE),
    ])
    def test_embedder_entry_check_order(self, args, error_type, message):
        assert message_of(error_type, lambda: _core.compute_semantic_axis_with_embedder(*args)) == message


class IndexOnly:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def interpreter_index_error(value):
    """The interpreter's own text for an object that is not an integer."""
    with pytest.raises(TypeError) as info:
        operator.index(value)
    return str(info.value)


class TestSeed:
    @pytest.mark.parametrize("seed", [None, 0, 1, 2**64 - 1, True, IndexOnly(7)])
    def test_accepted(self, seed):
        assert _core.compute_diff_report([], [], None, seed)["pair_count"] == 0
        assert _core.compute_semantic_axis_with_embedder([], [], len, seed)["n"] == 0

    @pytest.mark.parametrize("seed", ["1", 1.0, 1.5, [], b"1"])
    @pytest.mark.parametrize("entry", ["compute_diff_report", "compute_semantic_axis_with_embedder"])
    def test_non_integer_is_a_prefixed_type_error(self, seed, entry):
        args = ([], [], None, seed) if entry == "compute_diff_report" else ([], [], len, seed)
        message = message_of(TypeError, lambda: getattr(_core, entry)(*args))
        assert message == "argument 'seed': " + interpreter_index_error(seed)

    @pytest.mark.parametrize("seed", [-1, -(2**70), 2**64, 2**200, IndexOnly(-3), IndexOnly(2**64)])
    def test_out_of_range_is_an_unprefixed_overflow_error(self, seed):
        message = message_of(OverflowError, lambda: _core.compute_diff_report([], [], None, seed))
        assert message and not message.startswith("argument")

    def test_index_hook_errors_pass_through(self):
        class Broken:
            def __index__(self):
                raise ValueError("no index today")
        assert message_of(ValueError, lambda: _core.compute_diff_report([], [], None, Broken())) == "no index today"


class Price:
    """A float hook that edits the pricing dict that is being read."""

    def __init__(self, edit):
        self.edit = edit

    def __float__(self):
        self.edit()
        return 1.0


class TestPanicException:
    def raise_panic(self, edit_kind):
        pricing = {"a": None, "b": (1.0, 2.0)}

        def grow():
            pricing["c"] = (1.0, 2.0)

        def swap():
            pricing["c"] = (1.0, 2.0)
            del pricing["a"]

        pricing["a"] = (Price(grow if edit_kind == "grow" else swap), 1.0)
        _core.compute_diff_report([], [], pricing)

    @pytest.mark.parametrize("edit_kind, message", [
        ("grow", "dictionary changed size during iteration"),
        ("swap", "dictionary keys changed during iteration"),
    ])
    def test_pricing_dict_modified_while_read(self, edit_kind, message):
        with pytest.raises(BaseException) as info:
            self.raise_panic(edit_kind)
        assert type(info.value).__name__ == "PanicException"
        assert str(info.value) == message

    def test_hierarchy(self):
        with pytest.raises(BaseException) as info:
            self.raise_panic("grow")
        panic_type = type(info.value)
        assert issubclass(panic_type, BaseException)
        assert not issubclass(panic_type, Exception)
        assert panic_type.__module__ == "velkin._core"
        assert panic_type.__qualname__ == "PanicException"

    def test_not_caught_by_except_exception(self):
        caught_by = None
        try:
            try:
                self.raise_panic("grow")
            except Exception:
                caught_by = "Exception"
        except BaseException:
            caught_by = caught_by or "BaseException"
        assert caught_by == "BaseException"

    def test_same_class_every_time(self):
        types = set()
        for edit_kind in ("grow", "swap"):
            try:
                self.raise_panic(edit_kind)
            except BaseException as error:
                types.add(type(error))
        assert len(types) == 1


class TestLifecycle:
    def test_reimport_returns_the_same_module(self):
        original = sys.modules.pop("velkin._core")
        try:
            again = importlib.import_module("velkin._core")
            assert again is original
            assert again.parse_agentlog(b"") == []
        finally:
            sys.modules["velkin._core"] = original

    def test_second_interpreter_cannot_import(self):
        interpreters = pytest.importorskip("_xxsubinterpreters")
        interp = interpreters.create()
        try:
            code = textwrap.dedent("""
                try:
                    import velkin._core
                except ImportError as error:
                    assert "interpreter" in str(error), str(error)
                else:
                    raise AssertionError("imported in a second interpreter")
            """)
            interpreters.run_string(interp, code)
        finally:
            interpreters.destroy(interp)
        # The first interpreter keeps working.
        assert _core.canonical_bytes([1]) == b"[1]"
