"""Read, write and compare `.agentlog` traces of LLM agents.

The work is done by the compiled module `velkin._core`; this package
re-exports its functions.
"""
from velkin._core import (
    __version__,
    canonical_bytes,
    compute_diff_report,
    compute_semantic_axis_with_embedder,
    content_id,
    parse_agentlog,
    write_agentlog,
)

__all__ = [
    "__version__",
    "parse_agentlog",
    "write_agentlog",
    "canonical_bytes",
    "content_id",
    "compute_diff_report",
    "compute_semantic_axis_with_embedder",
]
