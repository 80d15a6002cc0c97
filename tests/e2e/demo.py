#!/usr/bin/python3
"""`make demo`: a CD-ROM-mode boot of the installer, on this terminal.

    demo.py --build build/i386 --cache build/cache

The machine has a blank 2 GiB hard disk (a sparse file, removed afterwards)
and its serial line is this terminal. What it shows follows what the
installer can do: the run ends with "Press ENTER to reboot"; ENTER restarts
the machine, which ends the demo.
"""

import argparse
import os
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import run_machine  # noqa: E402

DISK_BYTES = 2 << 30


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version",
                        version="%(prog)s " + run_machine.locations.version())
    parser.add_argument("--build", default="build/i386", help="the i386 build directory")
    parser.add_argument("--cache", default="build/cache", help="the cache with the kernel")
    arguments = parser.parse_args(argv)
    with tempfile.TemporaryDirectory(prefix="korvanel-demo-") as scratch:
        disk = os.path.join(scratch, "disk.img")
        with open(disk, "wb") as image:
            image.truncate(DISK_BYTES)
        return run_machine.main(["--i386", arguments.build, "--cache", arguments.cache,
                                 "--type", "cdrom", "--disk", disk])


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
