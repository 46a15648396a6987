"""``write-demo DIR``: write the demo trial, with its gait events, as the C3D
file DIR/Walk01.c3d."""

import sys

from quorvaemg_host.commands.options import Command, refuse_window_options
from quorvaemg_host.commands.trials import check_writable_folder
from quorvaemg_host.demo import write_demo_c3d
from quorvaemg_host.errors import HostError, UsageError


def add_options(parser):
    parser.add_argument("write_demo", metavar="DIR", help="folder to write Walk01.c3d into")


def check(args):
    refuse_window_options(args)
    if args.trials or args.channels is not None or args.in_place or args.folder:
        raise UsageError("--write-demo takes only its folder")


def run(args):
    # ezc3d says nothing when it cannot write (it would be "written" into /proc).
    check_writable_folder(args.write_demo, "the folder for the demo trial",
                          "give a folder you can write to")
    try:
        path = write_demo_c3d(args.write_demo)
    except ImportError as exc:
        if sys.version_info < (3, 10):  # no ezc3d release to install
            raise HostError("writing the demo trial as a C3D file needs ezc3d, which needs "
                            "Python 3.10 or newer (this is Python %d.%d)" % sys.version_info[:2],
                            "write it with a newer Python; the other commands read and write "
                            "C3D files on this one") from exc
        raise HostError(f"writing the demo trial as a C3D file needs ezc3d ({exc})",
                        "install it with: pip install ezc3d") from exc
    print(f"Demo trial written to {path}")
    return 0


COMMAND = Command("write-demo", "write the demo trial as a C3D file", add_options, check, run,
                  "DIR")
