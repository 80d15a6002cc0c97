"""Whole-machine runs of the real boot media: the media made by
media/build-media, an installation driven over the serial line as an
operator would, and the installed disk booted alone.

Media are made once per build into KORVANEL_MEDIA_DIR (default
build/test-media); build-media skips what is up to date, and takes turns
with itself, so tests running side by side share them.
"""

import contextlib
import fcntl
import os
import re
import shutil
import subprocess
import tempfile

from bootimage import locations
from machine import Machine

BUILD_MEDIA = os.path.join(locations.SOURCE_DIR, "media", "build-media")
MEMORY_MB = 256
# 255 heads x 63 sectors x 512 bytes; a disk of more than 1023 of them gets
# the two-partition layout (over 8.42 GB; the image file is sparse).
CYLINDER_BYTES = 255 * 63 * 512
SMALL_DISK_BYTES = 512 << 20
LARGE_DISK_BYTES = 1100 * CYLINDER_BYTES

# Long steps in software emulation on a shared machine: generous.
BOOT_TIMEOUT = 180
INSTALL_TIMEOUT = 900

BOOT_PROMPT = "boot:"
MENU_READY = "system (depends on nothing):"
KEEP_QUESTION = "Do you want to keep old configuration?"
ERASE_QUESTION = "Continue? [y/n]:"
INSTALLED = "Software installed."
PRESS_ENTER = "Press ENTER to reboot"
SYSTEM_UP = re.compile(
    r"Korvanel is up(?: on [A-Za-z0-9._-]+)?\. Packages: (.*)\. Starts of this configuration: (\d+)")


class Cleanups(contextlib.ExitStack):
    """For runs outside a test (the demo, benchmarks): stands in for the
    test case whose addCleanup the helpers below call."""

    def addCleanup(self, function, *arguments):
        self.callback(function, *arguments)


def media_dir():
    return os.environ.get("KORVANEL_MEDIA_DIR") or os.path.join(
        locations.SOURCE_DIR, "build", "test-media")


def build_media(command, *options, outdir=None):
    """Runs `build-media COMMAND OUTDIR OPTIONS`; returns OUTDIR. The i386
    build and the cache are those the harness uses."""
    outdir = outdir or os.path.join(media_dir(), command)
    environment = dict(os.environ, KORVANEL_CACHE=locations.cache_dir(),
                       KORVANEL_I386_DIR=locations.i386_dir())
    result = subprocess.run([BUILD_MEDIA, command, outdir, *options], env=environment,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if result.returncode != 0:
        raise AssertionError(f"build-media {command} failed:\n{result.stdout}")
    return outdir


def signing_options():
    """build-media options for signed media: the sample packages signed with
    an operator key made once in the media folder, and the key on the
    medium."""
    key = os.path.join(media_dir(), "operator-key")
    os.makedirs(media_dir(), exist_ok=True)
    # Tests running side by side make the pair once.
    with open(key + ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not os.path.exists(key + ".pub"):
            for path in (key, key + ".pub"):
                if os.path.exists(path):
                    os.unlink(path)  # half a pair from a run that was cut short
            subprocess.run([locations.host_program("bdl"), "keygen", key], check=True,
                           stdout=subprocess.DEVNULL)
    return ["--key", key, "--pubkey", key + ".pub"]


def scratch_disk(test, size, template=None):
    """A disk image removed when `test` ends: a copy of `template`, or
    blank; in both cases sparse and `size` bytes long."""
    directory = tempfile.mkdtemp(prefix="korvanel-media-")
    test.addCleanup(shutil.rmtree, directory, True)
    path = os.path.join(directory, "disk.img")
    if template:
        subprocess.run(["cp", "--sparse=always", template, path], check=True)
    with open(path, "r+b" if template else "wb") as image:
        image.truncate(max(size, os.path.getsize(path)))
    return path


def boot(test, **options):
    """A Machine booted by its firmware, closed when `test` ends."""
    machine = Machine(None, memory_mb=MEMORY_MB, **options)
    test.addCleanup(machine.close)
    machine.start()
    return machine


def pass_boot_prompt(machine):
    """The media's boot loader waits a few seconds for a choice of console:
    take the default (the serial line) at once."""
    machine.expect(BOOT_PROMPT, timeout=BOOT_TIMEOUT)
    machine.send("\r")


def choose_in_menu(machine, keys):
    """Waits until the menu has painted its first screen (keys typed before
    are dropped), then types `keys`."""
    machine.expect(MENU_READY, timeout=BOOT_TIMEOUT)
    machine.send(keys)


def answer_questions(machine, keep):
    machine.expect(KEEP_QUESTION, timeout=BOOT_TIMEOUT)
    machine.send("y" if keep else "n")
    machine.expect(ERASE_QUESTION, timeout=BOOT_TIMEOUT)
    machine.send("y")


def install_from_cdrom(test, iso, disk, menu_keys, keep=False):
    """One CD installation onto `disk`, from boot to the restart."""
    machine = boot(test, cdrom=iso, disks=[disk])
    pass_boot_prompt(machine)
    choose_in_menu(machine, menu_keys)
    answer_questions(machine, keep)
    machine.expect(INSTALLED, timeout=INSTALL_TIMEOUT)
    machine.expect(PRESS_ENTER, timeout=BOOT_TIMEOUT)
    machine.send("\r")
    machine.wait_for_restart(timeout=BOOT_TIMEOUT)
    machine.close()
    return machine


def boot_installed_system(test, disk):
    """Boots `disk` alone (no CD, no kernel given); returns the installed
    system's packages (["name-version", ...]) and the count of starts it
    keeps in its configuration store."""
    machine = boot(test, disks=[disk])
    machine.expect(SYSTEM_UP, timeout=BOOT_TIMEOUT)
    packages, starts = machine.last_match.groups()
    machine.close()
    return packages.split(), int(starts)
