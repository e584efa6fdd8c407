"""Defaults shared by the commands and the Python API."""

# Bootstrap intervals and calibration draw from a seeded generator; a fixed default
# keeps every report reproducible, and the report always states the seed it used.
DEFAULT_SEED = 0

# What a shell reports for a command ended by Ctrl-C (128 + SIGINT).
EXIT_INTERRUPTED = 130

# Conversations of a run comparison the HTML and JUnit reports list in full by default, regressed first;
# the rest are counted.
LISTED_CONVERSATIONS = 200
