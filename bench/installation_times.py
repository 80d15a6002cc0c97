#!/usr/bin/python3
"""Where the time of a whole CD installation in QEMU goes.

  installation_times.py [--layout single|two]...   (default: both)

Installs the sample system from the CD that media/build-media makes onto a
blank disk (512 MiB: single layout; 9 GB, sparse: two partitions), then
boots the installed disk alone, and prints each phase's time and its share
of the installation (from the kernel's start to "Software installed.").
The installer starts from the CD's own initramfs image, given to QEMU
directly, with one change: its log console (/dev/tty9, where the tools
write) is the machine's second serial line, so that the tools' steps are
seen as they happen. The menu and the questions are answered at once.

Phases: the installer's own (kernel start to "Loading drivers" is the
kernel; then module loading and the disk search, which are the installer
calling the kernel) and the tools' (sfdisk, mke2fs, the packages, i.e. the
package child fed from the CD, the new system's post-install script with
extlinux, and fsck). Software emulation on a shared machine: compare
shares, not seconds, between runs.
"""

import argparse
import os
import re
import sys
import tempfile
import threading
import time

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "e2e"))
sys.path.insert(0, os.path.join(SOURCE_DIR, "media"))

import media_runs as runs  # noqa: E402
from builder import images, version  # noqa: E402
from builder.sources import Sources  # noqa: E402
from machine import Machine  # noqa: E402

LAYOUT_DISKS = {"single": runs.SMALL_DISK_BYTES, "two": runs.LARGE_DISK_BYTES}
SECOND_SERIAL_LINE = (4, 65)  # ttyS1
POST_INSTALL_STARTS = "rc.postinstall: installing"


class TimedLog(threading.Thread):
    """Follows a file that QEMU writes (the second serial line) and notes
    when each line arrived."""

    def __init__(self, path):
        super().__init__(daemon=True)
        self.path = path
        self.lines = []  # (time, text)
        self._stopping = threading.Event()

    def run(self):
        pending = b""
        while not os.path.exists(self.path) and not self._stopping.is_set():
            time.sleep(0.02)
        with open(self.path, "rb") as log:
            while not self._stopping.is_set():
                chunk = log.read()
                if not chunk:
                    time.sleep(0.02)
                    continue
                pending += chunk
                *complete, pending = pending.split(b"\n")
                now = time.monotonic()
                self.lines += [(now, line.decode("latin-1").strip()) for line in complete]

    def first(self, text):
        return next((when for when, line in self.lines if text in line), None)

    def stop(self):
        self._stopping.set()


def bench_initramfs(sources):
    image = images.installer_image(sources.program("installer"), "cdrom\n")
    image.char_device("/dev/tty9", *SECOND_SERIAL_LINE, 0o600)
    return image


def run(layout, iso, sources, scratch):
    disk = os.path.join(scratch, f"{layout}.img")
    with open(disk, "wb") as image:
        image.truncate(LAYOUT_DISKS[layout])
    tools = TimedLog(os.path.join(scratch, f"{layout}-tools.log"))
    tools.start()
    marks = {}
    start = time.monotonic()
    machine = Machine(bench_initramfs(sources), cdrom=iso, disks=[disk],
                      memory_mb=runs.MEMORY_MB,
                      extra_qemu_args=["-chardev", f"file,id=tools,path={tools.path}",
                                       "-serial", "chardev:tools"])
    with machine:
        def mark(name, pattern, timeout=runs.INSTALL_TIMEOUT):
            machine.expect(pattern, timeout=timeout)
            marks[name] = time.monotonic()

        mark("kernel", "Loading drivers")
        mark("modules", "Looking for harddrives")
        mark("disk search", "Found harddrive")
        runs.choose_in_menu(machine, "ai")
        runs.answer_questions(machine, keep=False)
        mark("questions", "Creating partition...")
        mark("sfdisk", "Formatting disk...")
        mark("mke2fs", re.compile(r"\.*\n"))  # the dots end with the step
        # The two-partition layout has no check: the script ends the tools.
        mark("post-install", re.compile(r"Checking disk integrity\.\.\.|Software installed\."))
        if machine.last_match.group(0) != runs.INSTALLED:
            mark("fsck", runs.INSTALLED)
        else:
            marks["fsck"] = marks["post-install"]
        machine.expect(runs.PRESS_ENTER)
        machine.send("\r")
        machine.wait_for_restart(timeout=runs.BOOT_TIMEOUT)
    tools.stop()
    post_install = tools.first(POST_INSTALL_STARTS)
    boot_start = time.monotonic()
    with runs.Cleanups() as owner:
        runs.boot_installed_system(owner, disk)
    boot_time = time.monotonic() - boot_start

    phases = [("kernel start (firmware, kernel, unpacking)", start, marks["kernel"]),
              ("modules (installer loads its lists)", marks["kernel"], marks["modules"]),
              ("disk search (installer, sfdisk -g)", marks["modules"], marks["disk search"]),
              ("menu and questions (answered at once)", marks["disk search"], marks["questions"]),
              ("partitioning (sfdisk)", marks["questions"], marks["sfdisk"]),
              ("formatting (mke2fs)", marks["sfdisk"], marks["mke2fs"])]
    if post_install:
        phases += [("packages (CD -> package child)", marks["mke2fs"], post_install),
                   ("post-install (bash, extlinux)", post_install, marks["post-install"])]
    else:
        phases.append(("packages and post-install", marks["mke2fs"], marks["post-install"]))
    if layout == "single":
        phases.append(("fsck", marks["post-install"], marks["fsck"]))
    whole = marks["fsck"] - start
    print(f"\n{layout} layout: installation {whole:.1f} s, then the installed disk boots "
          f"in {boot_time:.1f} s")
    for name, begin, end in phases:
        print(f"  {name:44}{end - begin:7.1f} s  {(end - begin) / whole:6.1%}")
    tool_names = ("partitioning", "formatting", "packages", "post-install", "fsck")
    tools_time = sum(end - begin for name, begin, end in phases if name.startswith(tool_names))
    print(f"  {'tools together':44}{tools_time:7.1f} s  {tools_time / whole:6.1%}")
    print(f"  {'the rest (kernel start, drivers, search)':44}{whole - tools_time:7.1f} s  "
          f"{(whole - tools_time) / whole:6.1%}")


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version", version="%(prog)s " + version())
    parser.add_argument("--layout", action="append", choices=sorted(LAYOUT_DISKS))
    arguments = parser.parse_args(argv)
    iso = runs.build_media("cdrom") + "/korvanel-cdrom.iso"
    sources = Sources(os.environ.get("KORVANEL_I386_DIR") or os.path.join(SOURCE_DIR, "build", "i386"),
                      os.environ.get("KORVANEL_CACHE") or os.path.join(SOURCE_DIR, "build", "cache"))
    images.use(sources)
    with tempfile.TemporaryDirectory(prefix="korvanel-bench-") as scratch:
        for layout in arguments.layout or ["single", "two"]:
            run(layout, iso, sources, scratch)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
