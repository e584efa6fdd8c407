"""`python -m velkin` runs the command line."""
from velkin.cli import entry

entry()
