"""Renderers of comparison reports: terminal text, HTML, Markdown and JUnit XML."""
