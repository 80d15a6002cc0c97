#!/usr/bin/python3
"""`make demo`: a whole installation from the installation CD, in QEMU on
this terminal, then the installed disk booted alone.

    demo.py --iso build/demo/korvanel-cdrom.iso [--auto]

The machine has the CD and a blank 2 GiB hard disk (a sparse file, removed
afterwards); its serial line is this terminal. The operator chooses the
packages in the installer's menu and answers its questions; after ENTER the
installer restarts the machine, which ends the first run. Then the disk
alone boots (no CD, no kernel given to QEMU) into the installed system,
which says that it is up and offers a shell; `exit` there, or Ctrl-A X at
any time, ends QEMU.

With --auto the demo answers for the operator (pppoe and firewall besides
the system, configuration not kept, erase confirmed) and ends once the
installed system has said that it is up: for a terminal without a person.
"""

import argparse
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
# The boot-image modules the harness shares with media/build-media.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__)))), "media"))

import media_runs as runs  # noqa: E402
from machine import Machine, die_with_parent  # noqa: E402

DISK_BYTES = 2 << 30
AUTO_MENU_KEYS = "nnnn p i"


def say(text):
    print(f"\n=== {text}", file=sys.stderr, flush=True)


def has_bootable_partition(disk):
    """Whether an installation got as far as a partition table with an
    active entry (else there is nothing to boot)."""
    with open(disk, "rb") as image:
        sector = image.read(512)
    return sector[510:512] == b"\x55\xaa" and any(
        sector[446 + 16 * slot] == 0x80 for slot in range(4))


def run_on_this_terminal(**options):
    machine = Machine(None, memory_mb=runs.MEMORY_MB, **options)
    try:
        command = machine.interactive_command_line("serial")
        return subprocess.run(command, preexec_fn=die_with_parent, check=False).returncode
    finally:
        machine.close()


def interactive(iso, disk):
    say("The installation CD boots (serial line on this terminal; Ctrl-A X ends QEMU).")
    run_on_this_terminal(cdrom=iso, disks=[disk])
    if not has_bootable_partition(disk):
        say("The disk holds no installation: nothing to boot.")
        return 1
    say("The installed disk boots alone. `exit` in its shell switches it off.")
    run_on_this_terminal(disks=[disk])
    return 0


def automatic(iso, disk):
    with runs.Cleanups() as owner:
        say("The installation CD boots; the demo answers for the operator.")
        machine = runs.boot(owner, cdrom=iso, disks=[disk], echo=sys.stdout.buffer)
        runs.pass_boot_prompt(machine)
        runs.choose_in_menu(machine, AUTO_MENU_KEYS)
        runs.answer_questions(machine, keep=False)
        machine.expect(runs.INSTALLED, timeout=runs.INSTALL_TIMEOUT)
        machine.expect(runs.PRESS_ENTER, timeout=runs.BOOT_TIMEOUT)
        machine.send("\r")
        machine.wait_for_restart(timeout=runs.BOOT_TIMEOUT)
        machine.close()
        say("The installed disk boots alone.")
        machine = runs.boot(owner, disks=[disk], echo=sys.stdout.buffer)
        machine.expect(runs.SYSTEM_UP, timeout=runs.BOOT_TIMEOUT)
        machine.close()
    say("The installed system is up: the demo ends here.")
    return 0


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version",
                        version="%(prog)s " + runs.locations.version())
    parser.add_argument("--iso", required=True, help="the installation CD (build-media cdrom)")
    parser.add_argument("--auto", action="store_true",
                        help="answer for the operator and end when the system is up")
    arguments = parser.parse_args(argv)
    with tempfile.TemporaryDirectory(prefix="korvanel-demo-") as scratch:
        disk = os.path.join(scratch, "disk.img")
        with open(disk, "wb") as image:
            image.truncate(DISK_BYTES)
        if arguments.auto:
            return automatic(arguments.iso, disk)
        return interactive(arguments.iso, disk)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
