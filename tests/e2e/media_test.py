"""The boot media made by media/build-media, installing on whole machines;
then the installed disk booted alone (firmware, our boot code, extlinux,
Debian's kernel) until the installed system says it is up.

Menu of the sample packages (three columns of two rows, in the order the
installer shows them): system, ppp | dhcp, firewall | pppoe. It starts with
only "system" selected; 'n' moves down, the space bar selects, 'a' selects
everything, 'i' installs.
"""

import os
import shutil
import tempfile
import unittest

import media_runs as runs
from install_network import InstallNetwork
from machine_case import MachineTestCase

SAMPLE_PACKAGES = ["dhcp-1.0", "firewall-1.0", "ppp-1.0", "pppoe-1.0", "system-1.0"]
# To pppoe (which brings ppp), back to firewall, install.
PPPOE_AND_FIREWALL = "nnnn p i"


class CdromInstallation(MachineTestCase):
    """The CD is signed: its packages with the operator's key, which its
    installer carries and checks every package against, and the release
    list of its packages, which its installer follows."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        outdir = runs.build_media("cdrom", *runs.signing_options(),
                                  outdir=runs.media_dir() + "/cdrom-signed")
        cls.iso = outdir + "/korvanel-cdrom.iso"

    def test_single_layout_boots_with_the_chosen_packages(self):
        disk = runs.scratch_disk(self, runs.SMALL_DISK_BYTES)
        machine = runs.install_from_cdrom(self, self.iso, disk, PPPOE_AND_FIREWALL)
        self.assertNotIn("Packages are not verified", machine.transcript())
        # The CD's release list was taken before the menu, every package
        # checked against it.
        self.assertIn("Release 1 of Korvanel, signed with key ", machine.transcript())
        packages, starts = runs.boot_installed_system(self, disk)
        self.assertEqual(packages, ["firewall-1.0", "ppp-1.0", "pppoe-1.0", "system-1.0"])
        self.assertEqual(starts, 1)

    def test_two_partition_layout_boots_from_its_boot_partition(self):
        disk = runs.scratch_disk(self, runs.LARGE_DISK_BYTES)
        runs.install_from_cdrom(self, self.iso, disk, "ai")
        packages, _ = runs.boot_installed_system(self, disk)
        self.assertEqual(packages, SAMPLE_PACKAGES)

    def test_reinstall_keeping_the_configuration_finds_the_store_again(self):
        disk = runs.scratch_disk(self, runs.SMALL_DISK_BYTES)
        runs.install_from_cdrom(self, self.iso, disk, "i")
        self.assertEqual(runs.boot_installed_system(self, disk), (["system-1.0"], 1))
        # The installed system counted its start in /tarn/store.
        runs.install_from_cdrom(self, self.iso, disk, "i", keep=True)
        self.assertEqual(runs.boot_installed_system(self, disk), (["system-1.0"], 2))


class HardDiskInstallation(MachineTestCase):
    def test_every_package_on_a_large_disk(self):
        image = runs.build_media("hdd") + "/korvanel-hdd.img"
        disk = runs.scratch_disk(self, runs.LARGE_DISK_BYTES, template=image)
        machine = runs.boot(self, disks=[disk])
        runs.pass_boot_prompt(machine)
        machine.expect(runs.INSTALLED, timeout=runs.INSTALL_TIMEOUT)
        # Without the menu nobody is asked: the installer restarts by itself.
        machine.wait_for_restart(timeout=runs.BOOT_TIMEOUT)
        machine.close()
        self.assertEqual(runs.boot_installed_system(self, disk), (SAMPLE_PACKAGES, 1))

    def test_choose_shows_the_menu(self):
        packages = runs.build_media("packages")
        outdir = runs.build_media("hdd", "--choose", "--packages", packages,
                                  outdir=runs.media_dir() + "/hdd-choose")
        disk = runs.scratch_disk(self, runs.SMALL_DISK_BYTES,
                                 template=outdir + "/korvanel-hdd.img")
        machine = runs.boot(self, disks=[disk])
        runs.pass_boot_prompt(machine)
        runs.choose_in_menu(machine, PPPOE_AND_FIREWALL)
        machine.expect(runs.INSTALLED, timeout=runs.INSTALL_TIMEOUT)
        machine.wait_for_restart(timeout=runs.BOOT_TIMEOUT)
        machine.close()
        # The medium's FAT boot record gave way to the built-in boot code.
        self.assertEqual(runs.boot_installed_system(self, disk),
                         (["firewall-1.0", "ppp-1.0", "pppoe-1.0", "system-1.0"], 1))


class NetworkInstallation(MachineTestCase):
    def test_signed_network_boot_files_and_server_root(self):
        """Everything served is signed and listed in the release list, which
        also admits autorun.scr, and the boot files carry the key."""
        outdir = runs.build_media("net", *runs.signing_options(),
                                  outdir=runs.media_dir() + "/net-signed")
        workdir = tempfile.mkdtemp(prefix="korvanel-media-net-")
        self.addCleanup(shutil.rmtree, workdir, True)
        network = InstallNetwork(workdir)  # this test's own network namespace
        self.addCleanup(network.close)
        network.start_server(os.path.join(outdir, "server"))
        disk = runs.scratch_disk(self, runs.SMALL_DISK_BYTES)
        boot = os.path.join(outdir, "boot")
        machine = self.boot(os.path.join(boot, "initrd.gz"), kernel=os.path.join(boot, "vmlinuz"),
                            disks=[disk], nics=[network.add_machine()], memory_mb=runs.MEMORY_MB)
        machine.expect(runs.INSTALLED, timeout=runs.INSTALL_TIMEOUT)
        # The server ends the run: the installer restarts without a key.
        machine.wait_for_restart(timeout=runs.BOOT_TIMEOUT)
        machine.close()
        self.assertEqual(runs.boot_installed_system(self, disk),
                         (SAMPLE_PACKAGES, 1))


if __name__ == "__main__":
    unittest.main()
