"""`python -m velkin` and the `velkin` program: the command line, loaded so that Ctrl-C while it loads
ends it as Ctrl-C later does (one line, exit 130), not with the traceback of an import."""
import sys

from velkin.defaults import EXIT_INTERRUPTED


def main() -> None:
    try:
        from velkin.cli import entry
    except KeyboardInterrupt:
        sys.stderr.write("velkin: interrupted\n")
        sys.exit(EXIT_INTERRUPTED)
    entry()


if __name__ == "__main__":
    main()
