#!/usr/bin/python3
"""Boots one machine with the installer as init, on this terminal.

    run_machine.py [--installer build/i386/bin/installer] [--type cdrom]
                   [--disk IMAGE]... [--cdrom ISO] [-- INIT_ARGUMENTS...]

By default the first serial line is this terminal (Ctrl-A X ends QEMU at any
time); with --display curses the PC screen and keyboard are. The machine ends
by itself when the installer restarts it.
"""

import argparse
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
# The boot-image modules the harness shares with media/build-media.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__)))), "media"))

from bootimage import locations  # noqa: E402
from bootimage.installer_initramfs import installation_initramfs, installer_initramfs  # noqa: E402
from machine import Machine, die_with_parent  # noqa: E402

def parse_arguments(argv):
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version", version="%(prog)s " + locations.version())
    parser.add_argument("--installer", help="the static i386 installer (default: "
                        "KORVANEL_I386_DIR or build/i386, bin/installer)")
    parser.add_argument("--i386", help="the i386 build directory (sets KORVANEL_I386_DIR)")
    parser.add_argument("--cache", help="the cache with kernel/vmlinuz (sets KORVANEL_CACHE)")
    parser.add_argument("--kernel", help="a kernel image other than the cached one")
    mode = parser.add_mutually_exclusive_group()
    mode.add_argument("--type", default="cdrom", help="first line of /TYPE (default: cdrom)")
    mode.add_argument("--no-type", action="store_true", help="no /TYPE at all")
    parser.add_argument("--init", default="/init", help="where the installer lies in the "
                        "initramfs (default: /init)")
    parser.add_argument("--kernel-console", choices=["serial", "screen"], default="serial",
                        help="where the kernel console and /dev/console are")
    parser.add_argument("--no-tty0", action="store_true",
                        help="leave /dev/tty0 out: the installer falls back to the serial line")
    parser.add_argument("--display", choices=["serial", "curses"], default="serial",
                        help="what this terminal shows: the serial line or the PC screen")
    parser.add_argument("--disk", action="append", default=[], help="an IDE disk image")
    parser.add_argument("--cdrom", help="an ISO image in the CD drive")
    parser.add_argument("--floppy", help="a floppy image")
    parser.add_argument("--memory", type=int, default=64, help="memory in MiB (default: 64)")
    parser.add_argument("--kernel-arg", action="append", default=[],
                        help="one more kernel argument")
    parser.add_argument("--verbose", action="store_true", help="kernel messages not quieted")
    parser.add_argument("--bare", action="store_true", help="leave out what a boot medium "
                        "carries besides the installer: the mapped kernel modules, sfdisk and "
                        "mke2fs")
    parser.add_argument("init_args", nargs="*", help="arguments for the installer (after --)")
    return parser.parse_args(argv)


def machine_from(arguments):
    """The Machine the arguments describe; paths from the options win over
    the environment."""
    if arguments.i386:
        os.environ["KORVANEL_I386_DIR"] = os.path.abspath(arguments.i386)
    if arguments.cache:
        os.environ["KORVANEL_CACHE"] = os.path.abspath(arguments.cache)
    installer = arguments.installer or locations.installer_path()
    type_text = None if arguments.no_type else arguments.type + "\n"
    medium = installer_initramfs if arguments.bare else installation_initramfs
    image = medium(installer, type_text, init_path=arguments.init,
                   screen_console=not arguments.no_tty0)
    return Machine(image, kernel=arguments.kernel, memory_mb=arguments.memory,
                   kernel_console=arguments.kernel_console,
                   init=None if arguments.init == "/init" else arguments.init,
                   kernel_args=arguments.kernel_arg, init_args=arguments.init_args,
                   quiet=not arguments.verbose, disks=arguments.disk, cdrom=arguments.cdrom,
                   floppy=arguments.floppy)


def run_interactively(machine, display):
    """Runs QEMU on this terminal until it ends; returns its exit status."""
    command = machine.interactive_command_line(display)
    if display == "serial":
        print("Serial console on this terminal; Ctrl-A X ends QEMU.", file=sys.stderr)
    try:
        return subprocess.run(command, preexec_fn=die_with_parent, check=False).returncode
    finally:
        machine.close()


def main(argv):
    arguments = parse_arguments(argv)
    try:
        machine = machine_from(arguments)
        status = run_interactively(machine, arguments.display)
    except locations.MissingPrerequisite as missing:
        print(f"run_machine: {missing}", file=sys.stderr)
        return 2
    print("The machine has ended." if status == 0 else f"QEMU ended with status {status}.",
          file=sys.stderr)
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
