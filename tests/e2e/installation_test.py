"""Whole installations on a machine, from kernel boot to restart: the static
i386 installer as init, Debian's i386 kernel with the mapped modules, our
sfdisk and Debian's mke2fs on the medium; packages made with bdl on a CD
(ISO 9660) or on the target disk itself (FAT). The disk image is read back on
the host afterwards without mounting it (installed_disk.py).

Each test method is one machine; CTest runs each as a test of its own.
"""

import os
import re
import unittest

from bootimage import i386_programs
import install_media
import installer_texts as texts
from bootimage import locations
from console_text import installer_lines
from install_media import CHOSEN, SAMPLE_PACKAGES
from installed_disk import CYLINDER_BYTES, PARTITION_TABLE_OFFSET, SECTOR, InstalledDisk, \
    fstab_text, lilo_conf_text
from bootimage.installer_initramfs import installation_initramfs
from machine_case import MachineTestCase
from bootimage.media_modules import partitioning_tool_path

# One partition: 12 cylinders, 98.7 MB, an ext3 root (over 40 MiB).
SINGLE_LAYOUT_CYLINDERS = 12
# More than 1023 cylinders (9 GB, sparse): a /boot partition and the root.
TWO_PARTITION_CYLINDERS = 1100
BOOT_CYLINDERS = 2  # 10 MiB in whole cylinders
TARGET = "/dev/sda"  # the drive scan's name for QEMU's first IDE disk
# Generous: software emulation on a shared machine (a run takes about 25 s idle).
INSTALL_TIMEOUT = 900
MEMORY_MB = 128


class InstallationCase(MachineTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        try:
            partitioning_tool_path()
            locations.kernel_modules_dir()
            i386_programs.i386_root()
            locations.package_tool()
            locations.boot_code()
        except locations.MissingPrerequisite as missing:
            raise unittest.SkipTest(str(missing))
        missing_tool = install_media.tool_missing()
        if missing_tool:
            raise unittest.SkipTest(f"{missing_tool} is missing (scripts/install-deps.sh)")

    def scratch(self):
        return install_media.scratch_directory(self)

    def packages(self):
        directory = os.path.join(self.scratch(), "medium")
        os.mkdir(directory)
        install_media.write_packages(directory)
        return directory

    def boot_installer(self, disks, **options):
        image = installation_initramfs(self.installer, options.pop("type_text", None))
        return self.boot(image, disks=disks, memory_mb=MEMORY_MB, **options)

    @classmethod
    def choose_web(cls, machine):
        """Waits for the menu (system, extra | dhcp, web), drives it to "web",
        which brings "dhcp" with it, and installs."""
        machine.expect(texts.menu_details("system"), timeout=INSTALL_TIMEOUT)
        cls.pick_web(machine)

    @staticmethod
    def pick_web(machine):
        """choose_web on a menu that is shown already."""
        machine.send("nnn")
        machine.expect(texts.menu_details("web", "dhcp"))
        machine.send(" ")
        machine.expect("[X] dhcp")
        machine.send("i")

    @staticmethod
    def lines_after(machine, text):
        """The installer's lines after the last line equal to `text`, with
        progress dots folded."""
        lines = texts.fold_progress(installer_lines(machine.transcript()))
        return lines[len(lines) - lines[::-1].index(text):]

    def install_from_cd(self, target, cylinders):
        """A whole CD-ROM installation of the sample packages (web chosen)
        onto the disk image `target`, read back afterwards."""
        iso = os.path.join(self.scratch(), "cd.iso")
        install_media.make_iso(self.packages(), iso)
        machine = self.boot_installer([target], cdrom=iso, type_text="cdrom\n")
        self.choose_web(machine)
        machine.expect(texts.KEEP_QUESTION)
        machine.send("n")
        machine.expect(texts.ERASE_QUESTION)
        machine.send("y")
        machine.expect(texts.PRESS_ENTER, timeout=INSTALL_TIMEOUT)
        expected = ["", "Creating partition...", "Formatting disk...", "", texts.UNVERIFIED]
        if cylinders <= 1023:
            expected.append("Checking disk integrity...")
        expected += ["", texts.INSTALLED, texts.PRESS_ENTER]
        self.assertEqual(self.lines_after(machine, texts.ERASE_QUESTION + "y"), expected)
        machine.send("\r")
        machine.wait_for_restart()

        disk = InstalledDisk(target)
        self.assertEqual(disk.head(PARTITION_TABLE_OFFSET), laid_boot_code())
        root = self.check_system(disk, cylinders, CHOSEN)
        marker = root.status("/CDINSTALL")
        self.assertIsNotNone(marker)
        self.assertEqual((marker.kind, marker.mode, marker.uid, marker.gid, marker.size),
                         ("regular", 0o600, 0, 0, 0))

    # -- reading the disk back ------------------------------------------------

    def check_layout(self, disk, cylinders):
        parts = disk.partitions()
        end = cylinders * CYLINDER_BYTES // SECTOR
        if cylinders <= 1023:
            self.assertEqual(len(parts), 1, parts)
            start, size, kind, bootable = parts[0]
            self.assertTrue(0 < start < CYLINDER_BYTES // SECTOR, parts)
            self.assertEqual((start + size, kind, bootable), (end, "83", True))
            return disk.file_system(1)
        boot_end = BOOT_CYLINDERS * CYLINDER_BYTES // SECTOR
        self.assertEqual(len(parts), 2, parts)
        self.assertEqual([(start + size, kind, bootable) for start, size, kind, bootable in parts],
                         [(boot_end, "83", True), (end, "83", False)])
        self.assertEqual(parts[1][0], boot_end)
        boot = disk.file_system(1)
        self.assertFalse(boot.journalled())
        self.assertEqual(boot.check()[0], 0, boot.check()[1])
        return disk.file_system(2)

    def check_system(self, disk, cylinders, chosen):
        """Partition table, file systems, configuration files and every
        chosen package with its files and its record; returns the root."""
        two_partitions = cylinders > 1023
        root = self.check_layout(disk, cylinders)
        status, said = root.check()
        self.assertEqual(status, 0, said)
        self.assertTrue(root.journalled(), "over 40 MiB: ext3")
        self.assertEqual(root.read("/etc/fstab").decode(), fstab_text(TARGET, two_partitions, "ext3"))
        self.assertEqual(root.read("/etc/lilo.conf").decode(), lilo_conf_text(TARGET, two_partitions))
        for package in SAMPLE_PACKAGES:
            record = root.read(f"/var/pdb/{package.name}")
            if package.name not in chosen:
                self.assertIsNone(record, package.name)
                self.assertIsNone(root.status("/" + package.entries[-1].path), package.name)
                continue
            self.assertIsNotNone(record, package.name)
            head, files = record.decode().split("files:\n")
            self.assertIn(f"name: {package.name}\nversion: {package.version}\n", head)
            self.assertEqual(set(files.splitlines()),
                             {"/" + e.path + ("/" if e.kind == "dir" else "") for e in package.entries})
            for entry in package.entries:
                self.check_entry(root, entry)
        return root

    def check_entry(self, root, entry):
        status = root.status("/" + entry.path)
        self.assertIsNotNone(status, entry.path)
        kind = {"file": "regular", "dir": "directory", "link": "symlink"}[entry.kind]
        self.assertEqual((status.kind, status.uid, status.gid), (kind, entry.uid, entry.gid),
                         entry.path)
        if entry.kind == "link":
            self.assertEqual(status.link_target, entry.target, entry.path)
            return
        self.assertEqual(oct(status.mode), oct(entry.mode), entry.path)
        if entry.kind == "file":
            self.assertEqual(root.read("/" + entry.path), entry.content, entry.path)


class CdromInstallation(InstallationCase):
    def install(self, cylinders):
        target = os.path.join(self.scratch(), "disk.img")
        with open(target, "wb") as image:
            image.truncate(cylinders * CYLINDER_BYTES)
        self.install_from_cd(target, cylinders)

    def test_single_partition(self):
        self.install(SINGLE_LAYOUT_CYLINDERS)

    def test_two_partitions(self):
        self.install(TWO_PARTITION_CYLINDERS)


def laid_boot_code():
    """The first 446 bytes of a disk that got the built-in boot code."""
    with open(locations.boot_code(), "rb") as code:
        return code.read().ljust(PARTITION_TABLE_OFFSET, b"\0")


class DiskInstallation(InstallationCase):
    SCRIPT = b"#!/bin/sh\n# the new system runs this once\nhostname router\n"

    def mbr(self):
        """A first sector to be told apart from anything else: our boot code,
        a marker in the free space, no partition table, the signature."""
        with open(locations.boot_code(), "rb") as code:
            sector = bytearray(code.read().ljust(SECTOR, b"\0"))
        marker = b"korvanel test mbr"
        sector[300:300 + len(marker)] = marker
        sector[510:512] = b"\x55\xaa"
        return bytes(sector)

    def install(self, cylinders, choose):
        medium = self.packages()
        with open(os.path.join(medium, "mbr"), "wb") as mbr:
            mbr.write(self.mbr())
        with open(os.path.join(medium, "autorun.scr"), "wb") as script:
            script.write(self.SCRIPT)
        if choose:
            open(os.path.join(medium, "CHOOSE"), "w").close()
        disk_path = os.path.join(self.scratch(), "disk.img")
        install_media.make_fat_disk(disk_path, cylinders * CYLINDER_BYTES, medium)
        disk = InstalledDisk(disk_path)

        machine = self.boot_installer([disk_path], init_args=["-hdd-install"])
        if choose:
            self.choose_web(machine)
        # Without the menu: every package, in the installer's order.
        chosen = CHOSEN if choose else ["system", "extra", "dhcp", "web"]
        machine.expect(texts.INSTALLED, timeout=INSTALL_TIMEOUT)
        machine.wait_for_restart(timeout=60)
        lines = texts.fold_dots(installer_lines(machine.transcript()))
        self.assertEqual([line for line in lines if line.startswith(("ERROR", "FATAL"))], [])
        full_names = {p.name: p.full_name for p in SAMPLE_PACKAGES}
        expected = [texts.reading(full_names[name]) for name in chosen]
        expected += ["", "Creating partition...", "Formatting disk...", "", texts.UNVERIFIED]
        if cylinders <= 1023:
            expected.append("Checking disk integrity...")
        expected += ["", texts.INSTALLED, "", texts.REBOOTING]
        after = self.lines_after(machine, "Looking for harddrives...")
        if choose:
            # The first line after the menu begins where the menu left the
            # cursor, after the menu's last item.
            after = after[-len(expected):]
            after[0] = after[0][after[0].find("Reading: "):]
        self.assertEqual(after, expected)

        # The medium's sector, or (with the menu) the built-in boot code in
        # place of the FAT boot record; the table is the installer's.
        first = self.mbr()[:PARTITION_TABLE_OFFSET] if not choose else laid_boot_code()
        self.assertEqual(disk.head(PARTITION_TABLE_OFFSET), first)
        root = self.check_system(disk, cylinders, chosen)
        self.assertEqual(root.read("/autorun.scr"), self.SCRIPT)
        self.assertIsNone(root.status("/CDINSTALL"))

    def test_every_package_and_the_media_mbr(self):
        self.install(SINGLE_LAYOUT_CYLINDERS, choose=False)

    def test_menu_with_choose(self):
        self.install(SINGLE_LAYOUT_CYLINDERS, choose=True)

    def test_two_partitions(self):
        self.install(TWO_PARTITION_CYLINDERS, choose=False)


if __name__ == "__main__":
    unittest.main()
