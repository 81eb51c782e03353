"""The quorvex command line: `quorvex SUBCOMMAND ...`, one module of quorvex.commands each."""

import argparse
import importlib
import sys
from collections.abc import Sequence

from . import __version__
from .commands import COMMANDS, Command
from .errors import QuorvexError
from ._library import set_log_level


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="quorvex", description="Quorvex cameras from the shell.")
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    subcommands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    verbose = "show the library's own log lines (its warnings) on standard error"
    parser.add_argument("--verbose", "-v", action="store_true", help=verbose)
    for name in COMMANDS:
        command: Command = importlib.import_module(f"{__package__}.commands.{name}")
        sub = subcommands.add_parser(command.NAME, help=command.HELP, description=command.HELP)
        command.add_arguments(sub)
        # Also after the subcommand's name; left out there, the value before it stands.
        sub.add_argument("--verbose", "-v", action="store_true", help=verbose, default=argparse.SUPPRESS)
        sub.set_defaults(run=command.run)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Runs one subcommand; a failure ends with one line on standard error and exit status 1."""
    args = build_parser().parse_args(argv)
    # The command reports failures in a line of its own; the library's log would repeat them.
    set_log_level("info" if args.verbose else "off")
    try:
        status: int = args.run(args)
    except KeyboardInterrupt:
        print("quorvex: interrupted", file=sys.stderr)
        return 130
    # ImportError: an optional package the command needs is missing (its message says which).
    except (QuorvexError, LookupError, ValueError, OSError, ImportError) as failure:
        print(f"quorvex {args.command}: {failure}", file=sys.stderr)
        return 1
    finally:
        set_log_level("warn")  # the library's default, for a caller running on
    return status


if __name__ == "__main__":
    sys.exit(main())
