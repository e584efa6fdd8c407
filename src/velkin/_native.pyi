from typing import Any, Literal, Mapping, Optional, Sequence, TypedDict, Union

from velkin._core import PricingEntry
from velkin.api import ComparisonDict, ImportSummaryDict

class ArgumentChangeDict(TypedDict):
    tool: str
    argument: Optional[str]
    baseline: Optional[str]
    candidate: Optional[str]

class SidesDict(TypedDict):
    baseline: str
    candidate: str

class AlignedStepDict(TypedDict):
    step: Literal["match", "insert", "delete"]
    baseline_turn: Optional[int]
    candidate_turn: Optional[int]
    cost: float
    divergence: Optional[dict[str, Any]]
    tools_added: list[str]
    tools_removed: list[str]
    arguments: list[ArgumentChangeDict]
    stop_reason: Optional[SidesDict]
    model: Optional[SidesDict]

class ConversationIndexDict(TypedDict):
    id: str
    records: list[int]

def import_traces(
    inputs: Sequence[tuple[str, Union[str, bytes]]], format: Optional[str] = None
) -> tuple[bytes, ImportSummaryDict]:
    """Import traces written by other tools as `.agentlog` bytes and a summary."""

def import_conversations(
    inputs: Sequence[tuple[str, Union[str, bytes]]], format: Optional[str] = None
) -> tuple[list[tuple[bytes, bytes]], ImportSummaryDict]:
    """The same import as `import_traces`: (metadata line, other lines) bytes per conversation, and the summary."""

def unreadable_trace(size: int) -> Optional[str]:
    """Why an `.agentlog` file of `size` bytes could not be read back, or None when it can."""

def detect_format(source: Union[str, bytes]) -> Optional[str]:
    """The import format of `source` (bytes, or a path) from its first document; None when it is none of them."""

def alignment(baseline: list[Any], candidate: list[Any]) -> list[AlignedStepDict]:
    """Every step of the turn alignment of two record lists, in path order."""

def compare_runs(
    baseline: list[Union[list[Any], tuple[str, ...]]],
    candidate: list[Union[list[Any], tuple[str, ...]]],
    key: Optional[str] = None,
    outcome: Optional[str] = None,
    pricing: Optional[Mapping[str, PricingEntry]] = None,
    seed: Optional[int] = None,
    threads: Optional[int] = None,
    key_pattern: Optional[str] = None,
    json: bool = False,
    findings: Literal["all", "changed"] = "all",
) -> Union[ComparisonDict, tuple[bytes, ComparisonDict]]:
    """Compare runs of an eval suite conversation by conversation; a run given as a tuple of paths is read
    from its .agentlog files natively. With `json`, the report's JSON text (what json_utf8 writes of the dict)
    and the dict listing only the conversations that regressed. With findings="changed", only the
    conversations that regressed or improved list their findings."""

def conversations(records: list[Any]) -> list[ConversationIndexDict]:
    """The conversations of one run, as compare_runs groups its records."""

def json_text(document: Any) -> str:
    """The text json.dumps(document, indent=2, ensure_ascii=False) gives, written natively, with DEL,
    the C1 controls and the bidi controls written as \\u escapes."""

def json_utf8(document: Any) -> bytes:
    """json_text(document) encoded as UTF-8, made without the str."""
