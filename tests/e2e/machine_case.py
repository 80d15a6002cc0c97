"""The base of every test that boots a machine.

A test class that needs the i386 installer, the fetched kernel or QEMU is
skipped (not failed) when one of them is missing, with the remedy as reason;
run_tests.py turns an all-skipped run into CTest's "skipped".
"""

import unittest

from bootimage import locations
from machine import Machine


class MachineTestCase(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        try:
            cls.installer = locations.installer_path()
            locations.kernel_path()
            locations.qemu_binary()
        except locations.MissingPrerequisite as missing:
            raise unittest.SkipTest(str(missing))

    def boot(self, initramfs, **options):
        """Starts a Machine that is closed (QEMU killed) when the test ends."""
        machine = Machine(initramfs, **options)
        self.addCleanup(machine.close)
        machine.start()
        return machine
