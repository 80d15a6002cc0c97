"""Network installations on whole machines against our server.

Each machine boots the network medium (netboot-init loads the card's driver,
then the installer starts as init); its card sits on a tap device bridged
with netinstall-server inside a network namespace of the test's own
(install_network.py). The server hands out the disk drivers with the tools,
packages that depend on each other and two scripts: autorun.scr with mark 1,
and a held script with mark 0 that must never reach a disk. After the restart
the test reads the disk image back with util-linux and e2fsprogs, without
mounting anything: the table, the boot code, fstab, lilo.conf, /CDINSTALL,
every package's files, the scripts.
"""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

import installer_texts as texts
import locations
from console_text import installer_lines
from install_network import InstallNetwork
from machine_case import MachineTestCase
from network_medium import network_initramfs, pack, write_driver_package

CYLINDER_BYTES = 255 * 63 * 512
SECTOR = 512
MEMORY_MB = 128
# Software emulation on a shared machine: generous, never tight.
INSTALL_TIMEOUT = 900

AUTORUN = "# from the installation server\nhostname lab-router\n"
# Must never be found anywhere on a disk: the installer puts it aside.
HELD_SCRIPT = "# HELD-SCRIPT-4f1c9e: for the installer's eyes only\n"
FSTAB_ONE_PARTITION = ("/dev/sda1  /     ext3 defaults 1 1\n"
                       "none /proc proc defaults 0 0\n"
                       "none /dev/pts devpts gid=5,mode=620 0 0\n")
LILO_ONE_PARTITION = ("boot=/dev/sda1\nmap=/boot/map\ninstall=/boot/boot.b\nlba32\n"
                      "image=/boot/vmlinuz\n  label=System\n  root=/dev/sda1\n  read-only\n")


def write_file(path, data, mode=0o644):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as out:
        out.write(data.encode() if isinstance(data, str) else data)
    os.chmod(path, mode)


def tree_files(root):
    """{relative path: (mode, contents or link target)} of a directory tree."""
    found = {}
    for directory, _, files in os.walk(root):
        for name in files:
            path = os.path.join(directory, name)
            relative = os.path.relpath(path, root)
            if os.path.islink(path):
                found[relative] = ("link", os.readlink(path))
            else:
                with open(path, "rb") as data:
                    found[relative] = (os.stat(path).st_mode & 0o7777, data.read())
    return found


# Three packages, each needing the one before; the server sends them in
# that order whatever their names.
PACKAGES = {
    "zbase": ({"etc/issue": ("Korvanel router\n", 0o644),
               "usr/bin/hello": ("#!/bin/sh\necho hello\n", 0o755)}, ()),
    "netutils": ({"usr/sbin/netstatus": ("#!/bin/sh\necho up\n", 0o750),
                  "etc/netutils.conf": ("interfaces=eth0\n", 0o600)}, ("zbase",)),
    "admin": ({"srv/www/index.html": ("<h1>Korvanel</h1>\n" * 12000, 0o644)}, ("netutils",)),
}


def serve_tree(workdir):
    """The server's root; returns it and {package: its tree}."""
    root = os.path.join(workdir, "served")
    trees = {}
    for name, (files, depends) in PACKAGES.items():
        tree = os.path.join(workdir, "packages", name)
        for path, (contents, mode) in files.items():
            write_file(os.path.join(tree, path), contents, mode)
        if name == "zbase":
            os.symlink("issue", os.path.join(tree, "etc", "motd"))
        trees[name] = tree
        os.makedirs(os.path.join(root, "packages"), exist_ok=True)
        pack(tree, os.path.join(root, "packages", f"{name}.bdl"), name, depends=depends)
    write_file(os.path.join(root, "scripts", "autorun.scr"), AUTORUN)
    write_file(os.path.join(root, "held-scripts", "held.scr"), HELD_SCRIPT)
    os.makedirs(os.path.join(root, "drivers"))
    write_driver_package(os.path.join(root, "drivers", f"{locations.kernel_release()}.bdl"),
                         workdir)
    return root, trees


def blank_disk(path, cylinders):
    with open(path, "wb") as image:
        image.truncate(cylinders * CYLINDER_BYTES)
    return path


def old_installation_disk(path, cylinders, old_root):
    """A disk as an earlier installation left it: one bootable partition one
    track in, ext3 holding `old_root`; made here without mounting."""
    blank_disk(path, cylinders)
    sectors = cylinders * CYLINDER_BYTES // SECTOR - 63
    subprocess.run(["sfdisk", "--no-reread", "--no-tell-kernel", "-q", path],
                   input=f"start=63, size={sectors}, type=83, bootable\n", text=True, check=True,
                   stdout=subprocess.DEVNULL)
    subprocess.run(["mke2fs", "-q", "-F", "-t", "ext3", "-d", old_root,
                    "-E", f"offset={63 * SECTOR}", path, str(sectors * SECTOR // 1024)],
                   check=True)
    return path


def label_floppy(path, text):
    subprocess.run(["mkfs.vfat", "-C", path, "1440"], check=True, stdout=subprocess.DEVNULL)
    label = os.path.join(os.path.dirname(path), "label.txt")
    write_file(label, text)
    subprocess.run(["mcopy", "-i", path, label, "::label.txt"], check=True)
    return path


class Disk:
    """What an installation left on a disk image, read by independent tools."""

    def __init__(self, image, workdir):
        self.image = image
        dump = subprocess.run(["sfdisk", "--json", image], capture_output=True, text=True,
                              check=True).stdout
        self.partitions = json.loads(dump)["partitiontable"]["partitions"]
        with open(image, "rb") as disk:
            self.first_sector = disk.read(SECTOR)
        self.root = os.path.join(workdir, "root-of-" + os.path.basename(image))
        os.makedirs(self.root)
        offset = self.partitions[-1]["start"] * SECTOR  # the root is the last partition
        subprocess.run(["debugfs", "-R", f"rdump / {self.root}", f"{image}?offset={offset}"],
                       check=True, capture_output=True)

    def read(self, path):
        with open(os.path.join(self.root, path.lstrip("/")), "rb") as data:
            return data.read().decode("latin-1")

    def contains_anywhere(self, data):
        """Whether `data` stands anywhere on the disk, in any block that was
        ever written (the holes of the sparse image hold only zeros)."""
        with open(self.image, "rb") as disk:
            fd = disk.fileno()
            end = os.fstat(fd).st_size
            position = 0
            while position < end:
                try:
                    start = os.lseek(fd, position, os.SEEK_DATA)
                except OSError:  # nothing but a hole up to the end
                    return False
                stop = os.lseek(fd, start, os.SEEK_HOLE)
                os.lseek(fd, start, os.SEEK_SET)
                tail = b""
                while start < stop:
                    chunk = disk.read(min(1 << 24, stop - start))
                    if data in tail + chunk:
                        return True
                    tail = chunk[-len(data):]
                    start += len(chunk)
                position = stop
        return False


class NetworkInstallation(MachineTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        try:
            for program in ("netinstall-server", "bdl"):
                locations.host_program(program)
            locations.i386_program("netboot-init")
            network_initramfs()
            cls.boot_code = open(os.path.join(locations.i386_dir(), "bootcode.bin"), "rb").read()
        except (locations.MissingPrerequisite, OSError) as missing:
            raise unittest.SkipTest(str(missing))

    def setUp(self):
        self.workdir = tempfile.mkdtemp(prefix="korvanel-netinstall-")
        self.addCleanup(shutil.rmtree, self.workdir, True)
        self.network = InstallNetwork(self.workdir)
        self.addCleanup(self.network.close)

    def boot_installer(self, disk, mac, floppy=None):
        return self.boot(network_initramfs(), disks=[disk], floppy=floppy, macs=[mac],
                         nics=[self.network.add_machine()], memory_mb=MEMORY_MB)

    def finish(self, machine, expected_lines):
        """Waits for the restart and checks every line the installer showed."""
        machine.expect(texts.PRESS_ENTER, timeout=INSTALL_TIMEOUT)
        machine.wait_for_restart(timeout=120)
        shown = texts.fold_progress(installer_lines(machine.transcript()))
        self.assertEqual(shown, expected_lines, "\n".join(shown))

    def check_installed(self, image, trees, cylinders):
        """The table, the boot code, the files of the new system."""
        disk = Disk(image, self.workdir)
        two_partitions = cylinders > 1023
        self.assertEqual(len(disk.partitions), 2 if two_partitions else 1, disk.partitions)
        self.assertEqual(disk.partitions[0]["start"], 63)
        self.assertTrue(disk.partitions[0].get("bootable"))
        for partition in disk.partitions:
            self.assertEqual(partition["type"], "83")
            self.assertEqual((partition["start"] + partition["size"]) % (255 * 63), 0)
        self.assertEqual(disk.partitions[-1]["start"] + disk.partitions[-1]["size"],
                         cylinders * 255 * 63)
        self.assertEqual(disk.first_sector[:len(self.boot_code)], self.boot_code)
        self.assertEqual(disk.first_sector[len(self.boot_code):446], bytes(446 - len(self.boot_code)))
        self.assertEqual(disk.first_sector[510:], b"\x55\xaa")

        if two_partitions:
            self.assertIn("/dev/sda2  /     ext3", disk.read("/etc/fstab"))
            self.assertIn("/dev/sda1  /boot ext2", disk.read("/etc/fstab"))
            self.assertIn("  root=/dev/sda2\n", disk.read("/etc/lilo.conf"))
        else:
            self.assertEqual(disk.read("/etc/fstab"), FSTAB_ONE_PARTITION)
            self.assertEqual(disk.read("/etc/lilo.conf"), LILO_ONE_PARTITION)
        self.assertEqual(disk.read("/CDINSTALL"), "")
        self.assertEqual(os.stat(os.path.join(disk.root, "CDINSTALL")).st_mode & 0o777, 0o600)
        installed = tree_files(disk.root)
        for name, tree in trees.items():
            for path, entry in tree_files(tree).items():
                self.assertEqual(installed.get(path), entry, f"{path} of {name}")
            self.assertIn(f"var/pdb/{name}", installed)
        self.assertEqual(disk.read("/autorun.scr"), AUTORUN)
        self.assertTrue(disk.contains_anywhere(AUTORUN.encode()), "the search finds a script")
        self.assertFalse(disk.contains_anywhere(HELD_SCRIPT.encode()),
                         "the mark-0 script went aside, never to a disk")
        return disk

    def report_time(self, what, started):
        print(f"\n{what}: {time.monotonic() - started:.0f} s", file=sys.stderr)

    def test_one_machine_with_a_label_floppy(self):
        root, trees = serve_tree(self.workdir)
        server_mac = self.network.start_server(root).upper()
        disk = blank_disk(os.path.join(self.workdir, "disk.img"), 16)
        # Blanks go, punctuation stays; only the first line counts.
        floppy = label_floppy(os.path.join(self.workdir, "floppy.img"),
                              "Lab 7: rack #3!\r\nsecond line\n")
        started = time.monotonic()
        machine = self.boot_installer(disk, "52:54:00:12:34:56", floppy)
        self.finish(machine, texts.network_installation(
            "52:54:00:12:34:56", "Lab7:rack#3!", server_mac, scripts=2))
        self.report_time("one network installation, boot to restart", started)
        self.check_installed(disk, trees, 16)
        log = self.network.log()
        for event in ('found, disk label "Lab7:rack#3!"', "started: 3 packages, 2 scripts",
                      "all files sent", "done"):
            self.assertIn(f"52:54:00:12:34:56 {event}\n", log)

    def test_server_with_keep_brings_the_old_configuration_back(self):
        old = os.path.join(self.workdir, "old-system")
        write_file(os.path.join(old, "tarn/store/etc/hostname"), "branch-office\n")
        write_file(os.path.join(old, "tarn/store/net/secrets"), "psk=0123456789\n", 0o600)
        os.makedirs(os.path.join(old, "tarn/store/empty-directory"))
        write_file(os.path.join(old, "old-system-only"), "gone after the installation\n")
        root, trees = serve_tree(self.workdir)
        server_mac = self.network.start_server(root, keep=True).upper()
        disk = old_installation_disk(os.path.join(self.workdir, "disk.img"), 16, old)
        started = time.monotonic()
        machine = self.boot_installer(disk, "52:54:00:12:34:57")
        self.finish(machine, texts.network_installation(
            "52:54:00:12:34:57", "korvanel", server_mac, keep=True, scripts=2))
        self.report_time("network installation keeping the configuration", started)
        installed = self.check_installed(disk, trees, 16)
        store = tree_files(os.path.join(old, "tarn/store"))
        self.assertEqual(tree_files(os.path.join(installed.root, "tarn/store")), store)
        self.assertTrue(os.path.isdir(os.path.join(installed.root, "tarn/store/empty-directory")))
        self.assertFalse(os.path.exists(os.path.join(installed.root, "old-system-only")))

    def test_four_machines_at_once(self):
        root, trees = serve_tree(self.workdir)
        server_mac = self.network.start_server(root).upper()
        # The last disk has more than 1023 cylinders: a boot partition and a root.
        cylinders = [16, 16, 24, 1100]
        machines = []
        started = time.monotonic()
        for index, size in enumerate(cylinders):
            disk = blank_disk(os.path.join(self.workdir, f"disk{index}.img"), size)
            mac = f"52:54:00:12:35:{index:02x}"
            machines.append((self.boot_installer(disk, mac), disk, mac, size))
        for machine, _, mac, size in machines:
            self.finish(machine, texts.network_installation(
                mac.upper(), "korvanel", server_mac, scripts=2, checked=size <= 1023))
        self.report_time("four network installations at once, first boot to last restart",
                         started)
        for _, disk, _, size in machines:
            self.check_installed(disk, trees, size)
        self.assertEqual(self.network.log().count(" done\n"), 4, self.network.log())


if __name__ == "__main__":
    unittest.main()
