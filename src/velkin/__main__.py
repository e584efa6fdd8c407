"""`python -m velkin` runs the command line."""
import sys

from velkin.cli import main

sys.exit(main())
