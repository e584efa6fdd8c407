"""Read, write and compare `.agentlog` traces of LLM agents.

    import velkin
    records = velkin.import_traces("results.json", format="tau-bench")
    report = velkin.compare_runs(["main-1.agentlog", "main-2.agentlog"], ["pr.agentlog"], key="task_id")
    print(velkin.render(report, "markdown"))

The record-level work is done by the compiled module `velkin._core`, whose
functions are re-exported here beside the API of `velkin.api`.
"""
from typing import TYPE_CHECKING

from velkin._core import (
    __version__,
    canonical_bytes,
    compute_diff_report,
    compute_semantic_axis_with_embedder,
    content_id,
    parse_agentlog,
    write_agentlog,
)

if TYPE_CHECKING:
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
else:
    def __getattr__(name):
        # The API and its reports (Jinja2 among them) load on first use: the command line starts
        # without them, and Ctrl-C in its first moments finds the command, not an import.
        if name in __all__:  # the names of velkin._core are already here
            from velkin import api

            return getattr(api, name)
        raise AttributeError(f"module 'velkin' has no attribute {name!r}")

    def __dir__():
        return sorted(set(globals()) | set(__all__))


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
