"""The older form of the command line, which stored pipelines still use: the
trial files, then a mode flag (none: the window), e.g.
``quorvaemg-host TRIAL.c3d --process LTA`` for ``process TRIAL.c3d LTA``.

It is parsed as it always was, and its mode names the command that runs;
its ``--help`` is the commands' help.
"""

import argparse

from quorvaemg_host.commands.options import (PROCESSED_OUT, PROG, finding_options,
                                             run_options, trial_options, with_defaults)
from quorvaemg_host.files import CONFIG_NAME, TRIAL_SUFFIX

# The mode flags, by the name argparse gives them, and the command each one runs.
MODES = {"process": "process", "batch": "batch", "write_demo": "write-demo"}
WITHOUT_MODE = "window"


class _Help(argparse.Action):
    def __init__(self, option_strings, dest, show):
        super().__init__(option_strings, dest=argparse.SUPPRESS, default=argparse.SUPPRESS,
                         nargs=0, help="show the commands and exit")
        self.show = show

    def __call__(self, parser, namespace, values, option_string=None):
        self.show()
        parser.exit()


def parser(show_help):
    """The parser of the flag form; ``-h`` calls ``show_help()``."""
    flags = argparse.ArgumentParser(prog=PROG, add_help=False)
    flags.add_argument("-h", "--help", action=_Help, show=show_help)
    flags.add_argument(
        "trials", nargs="*", metavar="TRIAL.c3d|DIR",
        help="C3D trial files and folders of them (default: the demo trial); the window "
             "takes one, --batch and --process take them in turn")
    modes = flags.add_mutually_exclusive_group()
    modes.add_argument(
        "--process", nargs="*", metavar="NAME",
        help="process the named channels (default: all) without a window, with "
             "the window's default settings, and save the processed trial; a NAME "
             "ending in " + TRIAL_SUFFIX + " is taken as a trial file")
    modes.add_argument(
        "--batch", metavar="CONFIG_DIR",
        help="replay the configuration file " + CONFIG_NAME + " in CONFIG_DIR "
             "(saved by the window's Save Configuration button) on each trial that "
             "has its channels, and save it; without a display it starts Xvfb")
    modes.add_argument(
        "--write-demo", metavar="DIR",
        help="write the demo trial, with its gait events, as the C3D file DIR/Walk01.c3d")
    trial_options(flags, window=True)
    finding_options(flags, "--batch and --process: " + PROCESSED_OUT)
    run_options(flags)
    return flags


def parse(argv, show_help):
    """(name of the command, its arguments) of a command line in the flag form."""
    args = parser(show_help).parse_intermixed_args(argv)
    given = [name for name in MODES if getattr(args, name) is not None]
    return (MODES[given[0]] if given else WITHOUT_MODE), with_defaults(args)
