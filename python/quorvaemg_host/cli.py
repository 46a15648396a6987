"""``quorvaemg-host``: plays the Nexus pipeline script around the plug-in.

The trial is the bundled demo trial, or the C3D files named on the command
line (``--channels PATTERN`` keeps the matching analog channels).  Each
command is a module of ``quorvaemg_host.commands``; a new command is one
more ``COMMAND`` in the table below.  The older flag form of the command
line (``commands.flags``) runs the same commands.

Expected failures end in one line, ``quorvaemg-host: error: <what went
wrong>, <what to do>``.
"""

import argparse
import os
import sys
import textwrap

from quorvaemg_host.commands import (batch, events, flags, gait, process, quality, reference,
                                     window, write_demo)
from quorvaemg_host.commands.options import PROG
from quorvaemg_host.errors import UsageError, describe

COMMANDS = {module.COMMAND.name: module.COMMAND
            for module in (window, process, batch, write_demo, gait, quality, events,
                           reference)}


def help_parser():
    """The help of the whole host: its commands."""
    width = max(len(f"{c.name} {c.synopsis}") for c in COMMANDS.values())
    lines = [textwrap.fill(c.summary, 79, initial_indent=f"  {c.name + ' ' + c.synopsis:<{width}}  ",
                           subsequent_indent=" " * (width + 4))
             for c in COMMANDS.values()]
    return argparse.ArgumentParser(
        prog=PROG, usage=f"{PROG} COMMAND [ARGUMENTS]",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description=textwrap.fill(
            "Run the quorvaemg plug-in on C3D trial files, or on the bundled demo trial "
            "when none is named, as a Nexus pipeline script would.", 79)
        + "\n\ncommands:\n" + "\n".join(lines),
        epilog=textwrap.fill(
            "Without a command the window opens on the trial (needs a display); after a "
            f"Process the trial is saved as TRIAL_processed.c3d beside it. See {PROG} "
            "COMMAND --help.", 79))


def parse_args(argv):
    """(command, arguments) of a command line, a command's or the flag form."""
    argv = sys.argv[1:] if argv is None else list(argv)
    if argv and argv[0] in COMMANDS:
        command = COMMANDS[argv[0]]
        return command, command.parse(argv[1:])
    name, args = flags.parse(argv, help_parser().print_help)
    return COMMANDS[name], args


def main(argv=None):
    try:
        command, args = parse_args(argv)
    except SystemExit as exc:  # --help, or a malformed command line
        return exc.code if isinstance(exc.code, int) else 2
    try:
        command.check(args)
        return command.run(args)
    except UsageError as exc:
        print(f"{PROG}: error: {exc}, see {PROG} --help", file=sys.stderr)
        return 2
    except BrokenPipeError:
        # The reader of the output stopped early (e.g. "| head"): nothing to say.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except KeyboardInterrupt:
        # Every output is written whole or not at all: what the interrupt cut
        # short was never moved into place, so there is nothing to clean up.
        print(f"{PROG}: error: interrupted; the file being written was not written, "
              "run the command again", file=sys.stderr)
        return 130
    except Exception as exc:  # noqa: BLE001 - any failure ends the run with one line
        print(f"{PROG}: error: {describe(exc)}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
