"""Signed releases on whole machines: the network medium carries the
operator's key and the lowest release it accepts; the operator's server root
carries the signed release list of everything it serves
(network_install_test.py has the served tree and the network).

- the operator's server with release 2 and a script: installed, the script
  in place, the release recorded in /var/pdb/.release;
- a rogue server answering with the operator's older release 1 (correctly
  signed): refused before anything of the disk changes;
- a server that leaves out a package, and one whose script differs from the
  list: refused, naming the file;
- a reinstall keeping the configuration, from a server with release 1, onto
  a disk whose system records release 2: refused, the disk unchanged.
"""

import glob
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

import installer_texts as texts
from bootimage import locations
from bootimage.network_medium import network_initramfs
from console_text import installer_lines
from install_network import InstallNetwork
from machine_case import MachineTestCase
from network_install_test import (INSTALL_TIMEOUT, SECTOR, disk_image, serve_tree, tree_files,
                                  write_file)

MAC = "52:54:00:12:36:01"


def key_id(key):
    with open(key + ".pub") as public:
        return public.read().split("key: ")[1][:16]


def sign_release(root, key, number):
    """Signs every package of `root` with `key` and writes its release list."""
    bdl = locations.host_program("bdl")
    packages = sorted(glob.glob(os.path.join(root, "packages", "*.bdl")))
    drivers = sorted(glob.glob(os.path.join(root, "drivers", "*.bdl")))
    for package in packages + drivers:
        subprocess.run([bdl, "sign", "--key", key, package], check=True)
    scripts = sorted(glob.glob(os.path.join(root, "*scripts", "*.scr")))
    subprocess.run([bdl, "release", "--key", key, "--number", str(number),
                    os.path.join(root, "release.lst"), *packages, *scripts]
                   + [item for driver in drivers for item in ("--driver", driver)],
                   check=True, stdout=subprocess.DEVNULL)


def read_back(disk, workdir):
    """{path: (mode, contents)} of the disk's (only) partition."""
    dump = subprocess.run(["sfdisk", "--json", disk], capture_output=True, check=True)
    start = json.loads(dump.stdout)["partitiontable"]["partitions"][0]["start"]
    root = tempfile.mkdtemp(prefix="read-back-", dir=workdir)
    subprocess.run(["debugfs", "-R", f"rdump / {root}", f"{disk}?offset={start * SECTOR}"],
                   check=True, capture_output=True)
    return tree_files(root)


class SignedReleases(MachineTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        try:
            for program in ("netinstall-server", "bdl"):
                locations.host_program(program)
            network_initramfs()
        except (locations.MissingPrerequisite, OSError) as missing:
            raise unittest.SkipTest(str(missing))

    def setUp(self):
        self.workdir = tempfile.mkdtemp(prefix="korvanel-release-")
        self.addCleanup(shutil.rmtree, self.workdir, True)
        self.network = InstallNetwork(self.workdir)
        self.addCleanup(self.network.close)
        self.key = os.path.join(self.workdir, "operator")
        subprocess.run([locations.host_program("bdl"), "keygen", self.key], check=True,
                       stdout=subprocess.DEVNULL)
        self.started = time.monotonic()

    def operator_root(self, number, name="served"):
        """The sample tree (three packages, a script, a held script, the
        drivers) signed as release `number`."""
        workdir = os.path.join(self.workdir, name)
        os.makedirs(workdir)
        root, trees = serve_tree(workdir)
        sign_release(root, self.key, number)
        return root, trees

    def boot_installer(self, disk, lowest):
        with open(self.key + ".pub") as public:
            medium = network_initramfs(package_key=public.read(),
                                       lowest_release=f"lowest-release: {lowest}\n")
        return self.boot(medium, disks=[disk], macs=[MAC], nics=[self.network.add_machine()],
                         memory_mb=128)

    def refused(self, machine, what):
        """Waits for the end; the installer's lines from the drivers on,
        printed for the record, after checking nothing was reported
        installed."""
        machine.expect(texts.PRESS_ENTER, timeout=INSTALL_TIMEOUT)
        shown = texts.fold_progress(texts.fold_dots(installer_lines(machine.transcript())))
        print("\n".join([f"{what}:"] + shown[shown.index("Waiting for drivers..."):]),
              file=sys.stderr)
        self.assertNotIn(texts.INSTALLED, shown)
        machine.send("\r")
        machine.wait_for_restart(timeout=120)
        return shown

    def fatal_lines(self, shown):
        return [line for line in shown if line.startswith(("FATAL", "ERROR", "WARNING"))]

    def test_the_operators_release_with_a_script_installs_and_is_recorded(self):
        root, trees = self.operator_root(2)
        server = self.network.start_server(root).upper()
        self.assertIn(f"release 2 of Korvanel, 6 files, signed with key {key_id(self.key)}",
                      self.network.log())
        disk = disk_image(os.path.join(self.workdir, "disk.img"), 16)
        machine = self.boot_installer(disk, lowest=2)
        machine.expect(texts.PRESS_ENTER, timeout=INSTALL_TIMEOUT)
        machine.wait_for_restart(timeout=120)
        self.report_time("release 2 with a script, boot to restart")
        shown = texts.fold_progress(texts.fold_dots(installer_lines(machine.transcript())))
        expected = texts.network_installation(MAC, "korvanel", server, scripts=2)
        expected[expected.index(texts.UNVERIFIED)] = \
            f"Release 2 of Korvanel, signed with key {key_id(self.key)}"
        expected.insert(expected.index("Retrieving drivers..."),
                        expected.pop(expected.index("Retrieving drivers...") + 1))
        self.assertEqual(shown, expected, "\n".join(shown))
        print("\n".join(["release 2:"] + shown[shown.index("Waiting for drivers..."):]),
              file=sys.stderr)
        installed = read_back(disk, self.workdir)
        self.assertEqual(installed["var/pdb/.release"][1], b"release: 2\n")
        with open(os.path.join(root, "scripts", "autorun.scr"), "rb") as script:
            self.assertEqual(installed["autorun.scr"][1], script.read())
        for name, tree in trees.items():
            self.assertIn(f"var/pdb/{name}", installed)
        self.assertIn("sending release.lst", self.network.log())

    def test_a_rogue_server_replaying_the_older_release_is_refused(self):
        rogue, _ = self.operator_root(1, name="rogue")
        self.network.start_server(rogue)
        disk = disk_image(os.path.join(self.workdir, "disk.img"), 16)
        machine = self.boot_installer(disk, lowest=2)
        shown = self.refused(machine, "rogue server with release 1")
        self.assertEqual(self.fatal_lines(shown),
                         ["FATAL ERROR: release 1 is older than release 2, the oldest this medium "
                          "accepts"])
        self.assertNotIn("Found server at", "\n".join(shown))
        self.assertNotIn("Retrieving drivers...", shown)
        with open(disk, "rb") as image:
            self.assertEqual(image.read(SECTOR), bytes(SECTOR), "the disk was left alone")

    def test_a_server_leaving_out_a_package_is_refused(self):
        root, _ = self.operator_root(2)
        self.network.start_server(root)
        # The tree is read afresh for every installation: taken away after
        # the server's own check, as a server that withholds it would.
        os.unlink(os.path.join(root, "packages", "admin.bdl"))
        disk = disk_image(os.path.join(self.workdir, "disk.img"), 16)
        machine = self.boot_installer(disk, lowest=2)
        shown = self.refused(machine, "server leaving out admin.bdl")
        self.assertEqual(self.fatal_lines(shown),
                         ["FATAL ERROR: the server left out package admin.bdl of release 2"])
        self.assertIn("all files sent", self.network.log())
        self.assertNotIn("var/pdb/.release", read_back(disk, self.workdir))

    def test_a_script_that_differs_from_the_list_is_refused(self):
        root, _ = self.operator_root(2)
        self.network.start_server(root)
        write_file(os.path.join(root, "scripts", "autorun.scr"), "hostname rogue-router\n")
        disk = disk_image(os.path.join(self.workdir, "disk.img"), 16)
        machine = self.boot_installer(disk, lowest=2)
        shown = self.refused(machine, "server with a changed script")
        fatal = self.fatal_lines(shown)
        self.assertEqual(len(fatal), 1, fatal)
        self.assertTrue(fatal[0].startswith("FATAL ERROR: autorun.scr does not match release 2: "),
                        fatal)
        installed = read_back(disk, self.workdir)
        self.assertNotIn("autorun.scr", installed)
        self.assertNotIn("var/pdb/.release", installed)

    def test_keeping_the_configuration_of_a_newer_release_is_refused(self):
        old = os.path.join(self.workdir, "old-system")
        write_file(os.path.join(old, "tarn/store/etc/hostname"), "branch-office\n")
        write_file(os.path.join(old, "var/pdb/.release"), "release: 2\n")
        write_file(os.path.join(old, "old-system-only"), "still here after the refusal\n")
        root, _ = self.operator_root(1)
        self.network.start_server(root, keep=True)
        disk = disk_image(os.path.join(self.workdir, "disk.img"), 16, old_root=old)
        machine = self.boot_installer(disk, lowest=1)
        shown = self.refused(machine, "release 1 onto a disk recording release 2, keeping")
        self.assertEqual(self.fatal_lines(shown), [
            "FATAL ERROR: release 1 is older than release 2, which the system being replaced "
            "records: its configuration is not kept for an older release"])
        self.assertNotIn("Creating partition...", shown)
        self.assertEqual(tree_files(old), {path: entry for path, entry in
                                           read_back(disk, self.workdir).items()
                                           if not path.startswith("lost+found")})

    def report_time(self, what):
        print(f"\n{what}: {time.monotonic() - self.started:.0f} s", file=sys.stderr)


if __name__ == "__main__":
    unittest.main()
