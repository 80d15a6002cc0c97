"""Faults injected into whole CD-ROM installations on a machine: a package
that fills the target disk, an mke2fs that fails and a partitioning tool
that refuses, the disk taken away while the packages install, a crafted
package file and a crash of the installation process, and the operator's
Ctrl-C at each step. Every fault must end in one clear line (the
abort: its two lines), the restart after ENTER and nothing that hangs; and
an installation onto the same disk afterwards must succeed (read back as
installation_test.py reads it).

Each test method is one CTest test; the every-step abort carries the label
`slow`.
"""

import gzip
import io
import os
import re
import sys
import tarfile
import unittest

import installer_texts as texts
from console_text import installer_lines
from guest_programs import guest_program
from install_media import Entry, Package, SAMPLE_PACKAGES
import install_media
from installation_test import INSTALL_TIMEOUT, SINGLE_LAYOUT_CYLINDERS, InstallationCase
from installed_disk import CYLINDER_BYTES
from bootimage.installer_initramfs import installation_initramfs
from bootimage.media_modules import partitioning_tool_path

ABORTED = "Installation aborted"
CTRL_C = "\x03"
# The kernel's own complaints (a vanished disk makes many; mounting tries a
# partition that may not exist) stay off the console: the installer's lines
# are what is judged, and a kernel line must not split one of them.
QUIET_KERNEL = ["loglevel=2"]


class FaultCase(InstallationCase):
    def blank_disk(self, cylinders=SINGLE_LAYOUT_CYLINDERS):
        path = os.path.join(self.scratch(), "disk.img")
        with open(path, "wb") as image:
            image.truncate(cylinders * CYLINDER_BYTES)
        return path

    def cd(self, packages=SAMPLE_PACKAGES, defaults=("system",)):
        medium = os.path.join(self.scratch(), "medium")
        os.mkdir(medium)
        install_media.write_packages(medium, packages, defaults)
        iso = os.path.join(self.scratch(), "cd.iso")
        install_media.make_iso(medium, iso)
        return iso

    def boot_cd(self, target, iso, image=None, **options):
        image = image or installation_initramfs(self.installer, "cdrom\n")
        return self.boot(image, disks=[target], cdrom=iso, memory_mb=128,
                         kernel_args=QUIET_KERNEL, **options)

    @staticmethod
    def confirm(machine, menu_keys="i"):
        machine.expect(texts.menu_details("system"), timeout=INSTALL_TIMEOUT)
        machine.send(menu_keys)
        machine.expect(texts.KEEP_QUESTION)
        machine.send("n")
        machine.expect(texts.ERASE_QUESTION)
        machine.send("y")

    @staticmethod
    def report(fault, line):
        """The fault and the line the installer answered it with, for the
        record (ctest -V shows it)."""
        print(f"fault: {fault}: {line!r}", file=sys.stderr)

    def ends_with(self, machine, lines):
        """The installer's lines after the erase question are `lines` (dots
        folded), the last one the prompt; ENTER restarts the machine."""
        machine.expect(texts.PRESS_ENTER, timeout=INSTALL_TIMEOUT)
        self.assertEqual(self.lines_after(machine, texts.ERASE_QUESTION + "y"), lines)
        self.restarts_after_enter(machine)

    def restarts_after_enter(self, machine):
        machine.send("\r")
        machine.expect(texts.REBOOTING)
        machine.wait_for_restart()


class DiskFull(FaultCase):
    def test_package_larger_than_the_disk(self):
        cylinders = 6  # 49 MB: an ext3 root
        target = self.blank_disk(cylinders)
        # 64 MiB of zeros, a few KiB packed.
        bomb = Package("bomb", "1.0", ["system"],
                       [Entry("var", "dir", 0o755), Entry("var/bomb", content=bytes(64 << 20))])
        machine = self.boot_cd(target, self.cd([SAMPLE_PACKAGES[0], bomb]))
        self.confirm(machine, "ai")
        machine.expect(texts.PRESS_ENTER, timeout=INSTALL_TIMEOUT)
        lines = self.lines_after(machine, texts.ERASE_QUESTION + "y")
        # The library's reason, then the flow's one line.
        self.assertEqual(lines[:5], ["", "Creating partition...", "Formatting disk...", "",
                                     texts.UNVERIFIED])
        self.assertRegex(lines[5], r"^install: bomb-1\.0: .*No space left on device$")
        self.assertEqual(lines[6:], ["", "FATAL ERROR: could not install package bomb-1.0",
                                     texts.PRESS_ENTER])
        self.report("disk full", lines[5:8])
        self.restarts_after_enter(machine)

        self.install_from_cd(target, cylinders)


class ToolFailures(FaultCase):
    def test_mke2fs_fails_then_sfdisk_refuses(self):
        target = self.blank_disk()
        iso = self.cd()
        # The medium's mke2fs.conf asks for a feature this mke2fs does not
        # know (one from a newer e2fsprogs): mke2fs exits 1.
        image = installation_initramfs(self.installer, "cdrom\n")
        image.file("/etc/mke2fs.conf", "[defaults]\n\tbase_features = no_such_feature\n")
        machine = self.boot_cd(target, iso, image)
        self.confirm(machine)
        self.ends_with(machine, ["", "Creating partition...", "Formatting disk...",
                                 "ERROR: could not format partitions", texts.PRESS_ENTER])

        # A partitioning tool that refuses to write the new table.
        image = installation_initramfs(self.installer, "cdrom\n")
        image.copy("/sbin/sfdisk.real", partitioning_tool_path(), 0o755)
        image.copy("/sbin/sfdisk", guest_program("refusing_sfdisk"), 0o755)
        machine = self.boot_cd(target, iso, image)
        self.confirm(machine)
        self.ends_with(machine, ["", "Creating partition...", "ERROR: could not create partitions",
                                 texts.PRESS_ENTER])

        self.install_from_cd(target, SINGLE_LAYOUT_CYLINDERS)


def crafted_signature_head():
    """A package file of a few bytes whose signature text declares a length
    far beyond what its chunk count may cover: the gzip member holding the
    .bdlsig member as bdl sign lays it out, and nothing else."""
    text = (b"format: bdl-signature 1\nkey: " + b"ab" * 32 +
            b"\nchunk-size: 4096\nlength: 9999999999999999999\n")
    header = tarfile.TarInfo(".bdlsig")
    header.size, header.mode = len(text), 0o644
    member = header.tobuf(tarfile.USTAR_FORMAT) + text + bytes(-len(text) % 512)
    return gzip.compress(member, compresslevel=9, mtime=0)


class Crashes(FaultCase):
    """What once ended process 1 and panicked the kernel: it ends in one line
    and the restart after ENTER."""

    def test_crafted_package_among_good_ones(self):
        medium = os.path.join(self.scratch(), "medium")
        os.mkdir(medium)
        install_media.write_packages(medium, SAMPLE_PACKAGES, ("system",))
        with open(os.path.join(medium, "crafted.bdl"), "wb") as crafted:
            crafted.write(crafted_signature_head())
        iso = os.path.join(self.scratch(), "cd.iso")
        install_media.make_iso(medium, iso)
        machine = self.boot_cd(self.blank_disk(), iso)
        machine.expect(texts.PRESS_ENTER, timeout=INSTALL_TIMEOUT)
        lines = installer_lines(machine.transcript())
        self.assertIn("FATAL ERROR: Bad package crafted.bdl", lines)
        self.assertEqual(lines[-1], texts.PRESS_ENTER)
        self.report("crafted package", lines[-2:])
        self.restarts_after_enter(machine)
        self.assertNotIn("Kernel panic", machine.transcript())

    def test_installation_process_killed(self):
        image = installation_initramfs(self.installer, "cdrom\n")
        image.copy("/sbin/sfdisk.real", partitioning_tool_path(), 0o755)
        image.copy("/sbin/sfdisk", guest_program("crashing_sfdisk"), 0o755)
        machine = self.boot_cd(self.blank_disk(), self.cd(), image)
        self.confirm(machine)
        machine.expect(texts.PRESS_ENTER, timeout=INSTALL_TIMEOUT)
        lines = self.lines_after(machine, texts.ERASE_QUESTION + "y")
        self.assertEqual(lines, ["", "Creating partition...",
                                 "FATAL ERROR: the installer stopped unexpectedly (signal 11)",
                                 texts.PRESS_ENTER])
        self.report("installation process killed", lines[2:])
        self.restarts_after_enter(machine)
        self.assertNotIn("Kernel panic", machine.transcript())


class DiskVanishes(FaultCase):
    def test_disk_taken_away_while_packages_install(self):
        target = self.blank_disk()
        # Big enough to be still installing, or waiting in the caches, when
        # the disk goes.
        system = Package("system", "1.0", [], SAMPLE_PACKAGES[0].entries + [
            Entry("var", "dir", 0o755), Entry("var/blob", content=os.urandom(24 << 20))])
        machine = self.boot_cd(target, self.cd([system]))
        self.confirm(machine)
        machine.expect(re.compile(r"Formatting disk\.+\n\n"), timeout=INSTALL_TIMEOUT)
        machine.remove_disk()
        machine.expect(texts.PRESS_ENTER, timeout=INSTALL_TIMEOUT)
        lines = self.lines_after(machine, "Formatting disk...")
        errors = [line for line in lines if line.startswith(("FATAL ERROR", "ERROR"))]
        self.assertEqual(len(errors), 1, lines)
        self.report("disk taken away", errors[0])
        self.assertIn(errors[0], [
            "FATAL ERROR: could not install package system-1.0",
            "FATAL ERROR: the new system could not be written to the disk: Input/output error"])
        self.assertNotIn(texts.INSTALLED, lines)
        self.assertEqual(lines[-1], texts.PRESS_ENTER)
        self.restarts_after_enter(machine)

        self.install_from_cd(target, SINGLE_LAYOUT_CYLINDERS)


class Abort(FaultCase):
    """Ctrl-C on a console that is the installer's controlling terminal (the
    machine's first program makes it so: guest/console_init.c)."""

    # The steps of the CD-ROM flow, in order.
    STEPS = ["drivers", "menu", "keep question", "erase question", "partitioning", "formatting",
             "packages", "disk check"]

    def abort_cd(self):
        """The sample packages, the system's with a file that takes a while
        to install and a file-system checker that takes its time."""
        system = SAMPLE_PACKAGES[0]
        slow_system = Package(system.name, system.version, [], system.entries + [
            Entry("sbin/fsck", mode=0o755, content=open(guest_program("slow_tool"), "rb").read()),
            Entry("var", "dir", 0o755), Entry("var/blob", content=os.urandom(12 << 20))])
        return self.cd([slow_system] + SAMPLE_PACKAGES[1:], defaults=("system", "dhcp"))

    def abort_at(self, step, target, iso):
        image = installation_initramfs(self.installer, "cdrom\n")
        image.copy("/console-init", guest_program("console_init"), 0o755)
        machine = self.boot_cd(target, iso, image, init="/console-init")
        try:
            self.abort_machine_at(step, machine)
        finally:
            machine.close()  # the disk is free for the next machine, also after a failure

    def abort_machine_at(self, step, machine):
        waits = {
            "drivers": texts.LOADING_DRIVERS,
            "menu": texts.menu_details("system"),
            "keep question": texts.KEEP_QUESTION,
            "erase question": texts.ERASE_QUESTION,
            "partitioning": "Creating partition...",
            "formatting": "Formatting disk...",
            "packages": re.compile(r"\.*\n\n"),  # the end of "Formatting disk..."
            "disk check": "Checking disk integrity...",
        }
        position = self.STEPS.index(step)
        for reached, name in enumerate(self.STEPS[:position + 1]):
            machine.expect(waits[name], timeout=INSTALL_TIMEOUT)
            if reached == position:
                break
            if name == "menu":
                self.pick_web(machine)
            elif name == "keep question":
                machine.send("n")
            elif name == "erase question":
                if step == "partitioning":
                    machine.throttle_disk(3)  # a step of a second or less, made long
                machine.send("y")
        machine.send(CTRL_C)
        machine.expect(texts.PRESS_ENTER, timeout=INSTALL_TIMEOUT)
        lines = installer_lines(machine.transcript())
        self.assertEqual(lines[-3:], ["", ABORTED, texts.PRESS_ENTER], step)
        # The note on unverified packages may come just before the abort.
        before = [line for line in texts.fold_progress(lines[:-3]) if line != texts.UNVERIFIED]
        self.assertEqual([line for line in before if line.startswith(("FATAL", "ERROR"))], [], step)
        # What the installer showed last: the step it was in.
        shown_last = {
            "drivers": [texts.LOADING_DRIVERS, ""],
            # The menu may be painted again while the key arrives: its last
            # rows, not the line above them, are what is sure.
            "menu": ["the system package ", ""],
            "keep question": [texts.KEEP_QUESTION],
            "erase question": [texts.ERASE_QUESTION],
            "partitioning": ["Creating partition..."],
            "formatting": ["Formatting disk..."],
            "packages": ["Formatting disk...", "", ""],
            "disk check": ["Checking disk integrity..."],
        }[step]
        # Drawn rows of the menu share a line with what follows them.
        tail = before[-len(shown_last):]
        self.assertTrue(all(line == shown or (shown and line.endswith(shown))
                            for line, shown in zip(tail, shown_last)), (step, tail))
        self.report(f"Ctrl-C at {step}", lines[-2:])
        self.restarts_after_enter(machine)

    def test_while_formatting(self):
        target = self.blank_disk()
        self.abort_at("formatting", target, self.abort_cd())
        self.install_from_cd(target, SINGLE_LAYOUT_CYLINDERS)

    def test_at_every_step(self):
        target = self.blank_disk()
        iso = self.abort_cd()
        for step in self.STEPS:
            with self.subTest(step=step):
                self.abort_at(step, target, iso)
        self.install_from_cd(target, SINGLE_LAYOUT_CYLINDERS)


if __name__ == "__main__":
    unittest.main()
