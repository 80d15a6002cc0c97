"""The installer's hardware steps on a whole machine: the mapped modules of
Debian's i386 kernel loaded by the installer itself (nothing else loads
them), and the disk found through the i386 partitioning tool.
"""

import os
import shutil
import tempfile
import unittest

import installer_texts as texts
from bootimage import locations
from console_text import installer_lines
from bootimage.installer_initramfs import installer_initramfs
from machine_case import MachineTestCase
from bootimage.media_modules import (add_mapped_modules, add_partitioning_tool,
                                     partitioning_tool_path)

# Over 8.42 GB: more than 1023 cylinders of 255 heads and 63 sectors. Sparse.
DISK_BYTES = 1100 * 255 * 63 * 512


class DriveDetection(MachineTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        try:
            partitioning_tool_path()
            locations.kernel_modules_dir()
        except locations.MissingPrerequisite as missing:
            raise unittest.SkipTest(str(missing))

    def blank_disk(self):
        scratch = tempfile.mkdtemp(prefix="korvanel-disk-")
        self.addCleanup(shutil.rmtree, scratch, True)
        path = os.path.join(scratch, "disk.img")
        with open(path, "wb") as image:
            image.truncate(DISK_BYTES)
        return path

    def test_real_modules_make_the_ide_disk_appear_as_sata_1(self):
        image = installer_initramfs(self.installer, "cdrom\n")
        add_mapped_modules(image)
        add_partitioning_tool(image)
        machine = self.boot(image, disks=[self.blank_disk()])

        shown = texts.fold_dots(installer_lines(machine.expect(texts.PRESS_ENTER, timeout=120)))
        # Every entry of both lists is on the medium: no complaint at all; the
        # kernel's refusals (controllers this machine lacks) are silent.
        self.assertEqual(shown[0], texts.LOADING_DRIVERS)
        self.assertEqual([line for line in shown if line.startswith("ERROR")], [])
        # ata_piix finds QEMU's IDE disk only when scsi_mod, sd_mod and libata
        # went in before it: the announcement proves the order loads.
        self.assertEqual(shown[1:], ["", texts.SEARCHING, "", texts.found_drive("SATA 1")]
                         + texts.CDROM_AFTER_DRIVE + [texts.PRESS_ENTER])

        machine.send("\r")
        machine.wait_for_restart()


if __name__ == "__main__":
    unittest.main()
