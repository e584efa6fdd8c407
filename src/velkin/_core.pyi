from collections.abc import Callable, Mapping, Sequence
from typing import Any, Literal, Optional, TypedDict, Union

__version__: str
SPEC_VERSION: str

JsonLike = Any
"""Any object convertible to a JSON value: None, bool, int, float, str,
list/tuple, dict with str keys, set/frozenset, other Sequences and Mappings."""

Kind = Literal[
    "metadata",
    "chat_request",
    "chat_response",
    "tool_call",
    "tool_result",
    "error",
    "replay_summary",
    "chunk",
    "harness_event",
    "blob_ref",
]
AxisName = Literal[
    "semantic", "trajectory", "safety", "verbosity", "latency", "cost", "reasoning", "judge", "conformance"
]
Severity = Literal["none", "minor", "moderate", "severe"]
FlagName = Literal["low_power", "ci_crosses_zero", "no_pricing"]
DivergenceKind = Literal["style_drift", "decision_drift", "structural_drift"]
RecommendationSeverity = Literal["error", "warning", "info"]
Action = Literal["restore", "remove", "revert", "review", "verify", "root_cause"]

class _RecordRequired(TypedDict):
    version: str
    id: str
    kind: Kind
    ts: str
    parent: Optional[str]
    payload: Any

class RecordDict(_RecordRequired, total=False):
    meta: dict[str, Any]

class AxisStatDict(TypedDict):
    axis: AxisName
    baseline_median: Optional[float]
    candidate_median: Optional[float]
    delta: Optional[float]
    ci95_low: Optional[float]
    ci95_high: Optional[float]
    severity: Severity
    n: int
    flags: list[FlagName]

class FirstDivergenceDict(TypedDict):
    baseline_turn: int
    candidate_turn: int
    kind: DivergenceKind
    primary_axis: AxisName
    explanation: str
    confidence: Optional[float]

class RecommendationDict(TypedDict):
    severity: RecommendationSeverity
    action: Action
    turn: int
    baseline_turn: int
    candidate_turn: int
    message: str
    rationale: str
    axis: AxisName
    confidence: Optional[float]

class AxisScoreDict(TypedDict):
    axis: AxisName
    baseline_value: Optional[float]
    candidate_value: Optional[float]
    delta: Optional[float]
    normalized_delta: Optional[float]

class PairDrilldownDict(TypedDict):
    pair_index: int
    baseline_turn: int
    candidate_turn: int
    axis_scores: list[AxisScoreDict]
    regression_score: Optional[float]
    dominant_axis: AxisName

class DiffReportDict(TypedDict):
    rows: list[AxisStatDict]
    baseline_trace_id: str
    candidate_trace_id: str
    pair_count: int
    first_divergence: Optional[FirstDivergenceDict]
    divergences: list[FirstDivergenceDict]
    recommendations: list[RecommendationDict]
    drill_down: list[PairDrilldownDict]

PricingEntry = Union[tuple[float, float], Mapping[str, float], Sequence[float]]
"""(input, output) prices, an object of the seven prices (input and output
required; cached_input, cached_write_5m, cached_write_1h, reasoning,
batch_discount optional), or an array of all seven in that order."""

def parse_agentlog(data: bytes) -> list[RecordDict]:
    """Parse a `.agentlog` byte blob into a list of record dicts."""

def write_agentlog(records: list[Any]) -> bytes:
    """Serialize a list of record dicts into `.agentlog` bytes."""

def canonical_bytes(payload: JsonLike) -> bytes:
    """Canonical-JSON byte sequence for a payload (SPEC §5)."""

def content_id(payload: JsonLike) -> str:
    """Content id for a payload dict (SPEC §6)."""

def compute_diff_report(
    baseline: list[Any],
    candidate: list[Any],
    pricing: Optional[dict[str, PricingEntry]] = None,
    seed: Optional[int] = None,
) -> DiffReportDict:
    """Compute a nine-axis diff between two traces."""

def compute_semantic_axis_with_embedder(
    baseline: list[Any],
    candidate: list[Any],
    embedder: Callable[[list[str]], Sequence[Sequence[float]]],
    seed: Optional[int] = None,
) -> AxisStatDict:
    """Compute the semantic axis using a Python-supplied embedder callable."""
