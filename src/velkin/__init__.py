"""Read, write and compare `.agentlog` traces of LLM agents.

    import velkin
    records = velkin.import_traces("results.json", format="tau-bench")
    report = velkin.compare_runs(["main-1.agentlog", "main-2.agentlog"], ["pr.agentlog"], key="task_id")
    print(velkin.render(report, "markdown"))

The record-level work is done by the compiled module `velkin._core`, whose
functions are re-exported here beside the API of `velkin.api`.
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
from velkin.api import (
    ComparisonDict,
    DiffDict,
    Format,
    ImportSummaryDict,
    Verdict,
    compare_runs,
    diff,
    from_anthropic,
    from_openai,
    from_otlp,
    from_tau_bench,
    import_summary,
    import_traces,
    render,
)

__all__ = [
    "__version__",
    "parse_agentlog",
    "write_agentlog",
    "canonical_bytes",
    "content_id",
    "compute_diff_report",
    "compute_semantic_axis_with_embedder",
    "compare_runs",
    "diff",
    "import_traces",
    "import_summary",
    "from_otlp",
    "from_openai",
    "from_anthropic",
    "from_tau_bench",
    "render",
    "ComparisonDict",
    "DiffDict",
    "ImportSummaryDict",
    "Format",
    "Verdict",
]
