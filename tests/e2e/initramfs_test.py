"""The initramfs builder, read back by an independent reader: GNU cpio."""

import os
import subprocess
import tempfile
import unittest
from unittest import mock

from bootimage.cpio_archive import CpioError, CpioWriter
from bootimage.initramfs import Initramfs
from bootimage.installer_initramfs import add_kernel_modules, installer_initramfs


def cpio_listing(archive):
    """(type and mode text, major:minor or size, name, link target) per
    member, in archive order, as `cpio -tv` shows them."""
    result = subprocess.run(["cpio", "-itv", "--quiet", "--numeric-uid-gid"], input=archive,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, check=True)
    members = []
    for line in result.stdout.decode().splitlines():
        words = line.split()
        mode = words[0]
        if mode[0] in "cb":
            # crw-------   1 0  0   4,  64 Jan  1  1970 dev/ttyS0
            device = (words[4] + words[5]).rstrip(",")
            major, minor = device.split(",")
            members.append((mode, f"{major}:{minor}", words[9], None))
        else:
            target = words[10] if len(words) > 10 and words[9] == "->" else None
            if target is not None:
                members.append((mode, words[4], words[8], target))
            else:
                members.append((mode, words[4], words[8], None))
    return members


def cpio_file(archive, name):
    """The bytes of member `name`, extracted by cpio."""
    return subprocess.run(["cpio", "-i", "--quiet", "--to-stdout", name], input=archive,
                          stdout=subprocess.PIPE, check=True).stdout


class CpioFormat(unittest.TestCase):
    def test_every_name_and_data_length_survives_the_padding(self):
        # Names of 3..10 characters and data of 0..9 bytes cover every
        # remainder of the 4-byte alignment of both.
        writer = CpioWriter()
        expected = {}
        for name_length in range(1, 9):
            for size in range(10):
                name = "f" * name_length + f".{size}"
                expected[name] = bytes(range(65, 65 + size))
                writer.file(name, expected[name])
        archive = writer.data()
        self.assertEqual(len(archive) % 4, 0)
        with tempfile.TemporaryDirectory() as unpacked:
            subprocess.run(["cpio", "-id", "--quiet"], input=archive, cwd=unpacked, check=True)
            found = {}
            for name in os.listdir(unpacked):
                with open(os.path.join(unpacked, name), "rb") as member:
                    found[name] = member.read()
        self.assertEqual(found, expected)

    def test_nodes_links_and_modes(self):
        writer = CpioWriter()
        writer.directory("dev", 0o755)
        writer.char_device("dev/ttyS0", 4, 64, 0o600)
        writer.block_device("dev/sdh2", 8, 114, 0o660)
        writer.symlink("sh", "/bin/busybox")
        writer.file("init", b"\x7fELF", 0o755)
        members = cpio_listing(writer.data())
        self.assertEqual(members, [
            ("drwxr-xr-x", "0", "dev", None),
            ("crw-------", "4:64", "dev/ttyS0", None),
            ("brw-rw----", "8:114", "dev/sdh2", None),
            ("lrwxrwxrwx", "12", "sh", "/bin/busybox"),
            ("-rwxr-xr-x", "4", "init", None),
        ])

    def test_refuses_what_the_format_cannot_hold(self):
        writer = CpioWriter()
        with self.assertRaises(CpioError):
            writer.file("a\0b", b"")
        with self.assertRaises(CpioError):
            writer.char_device("dev/big", 1 << 32, 0)


class InitramfsBuilder(unittest.TestCase):
    def test_parents_come_first_and_replacing_keeps_one_member(self):
        image = Initramfs()
        image.file("/lib/modules/6.1/kernel/a.ko", b"one")
        image.file("/lib/modules/6.1/kernel/a.ko", b"two")
        image.symlink("/sbin/init", "/init")
        names = [name for _, _, name, _ in cpio_listing(image.data())]
        self.assertEqual(names, ["lib", "lib/modules", "lib/modules/6.1", "lib/modules/6.1/kernel",
                                 "lib/modules/6.1/kernel/a.ko", "sbin", "sbin/init"])
        self.assertEqual(cpio_file(image.data(), "lib/modules/6.1/kernel/a.ko"), b"two")

    def test_tree_with_filter_links_and_removal(self):
        with tempfile.TemporaryDirectory() as source:
            os.makedirs(os.path.join(source, "kernel/drivers/ata"))
            os.makedirs(os.path.join(source, "kernel/sound"))
            for path, data in {"kernel/drivers/ata/ata_piix.ko": b"module",
                               "kernel/sound/snd.ko": b"noise", "modules.dep": b"deps\n"}.items():
                with open(os.path.join(source, path), "wb") as member:
                    member.write(data)
            os.symlink("kernel/drivers", os.path.join(source, "drivers"))
            image = Initramfs()
            image.tree("/lib/modules/6.1", source, include=lambda path: "sound" not in path)
            archive = image.data()
        self.assertEqual(cpio_file(archive, "lib/modules/6.1/kernel/drivers/ata/ata_piix.ko"),
                         b"module")
        listed = [(name, target) for _, _, name, target in cpio_listing(archive)]
        names = [name for name, _ in listed]
        for name in names:  # the kernel creates no parent by itself
            parent = os.path.dirname(name)
            self.assertTrue(parent == "" or names.index(parent) < names.index(name), name)
        self.assertEqual(sorted(listed),
                         [("lib", None), ("lib/modules", None), ("lib/modules/6.1", None),
                          ("lib/modules/6.1/drivers", "kernel/drivers"),
                          ("lib/modules/6.1/kernel", None),
                          ("lib/modules/6.1/kernel/drivers", None),
                          ("lib/modules/6.1/kernel/drivers/ata", None),
                          ("lib/modules/6.1/kernel/drivers/ata/ata_piix.ko", None),
                          ("lib/modules/6.1/modules.dep", None)])
        image.remove("/lib/modules/6.1/kernel")
        self.assertEqual(image.paths(), ["/lib", "/lib/modules", "/lib/modules/6.1",
                                         "/lib/modules/6.1/drivers",
                                         "/lib/modules/6.1/modules.dep"])

    def test_guest_paths_must_be_absolute(self):
        with self.assertRaises(ValueError):
            Initramfs().file("etc/passwd", b"")


class InstallerLayout(unittest.TestCase):
    def nodes(self, image):
        return {name: (mode[0], number) for mode, number, name, _ in cpio_listing(image.data())
                if mode[0] in "cb"}

    def test_consoles_disks_and_the_installer_as_init(self):
        with tempfile.NamedTemporaryFile() as installer:
            installer.write(b"\x7fELF program")
            installer.flush()
            image = installer_initramfs(installer.name, "cdrom\n")
            archive = image.data()
            self.assertEqual(cpio_file(archive, "init"), b"\x7fELF program")
            self.assertEqual(cpio_file(archive, "TYPE"), b"cdrom\n")
            nodes = self.nodes(image)
            # The kernel's fixed numbers: consoles, disks and their
            # partitions, the CD drives under their classic names, the floppy.
            for name, node in {"dev/console": ("c", "5:1"), "dev/tty0": ("c", "4:0"),
                               "dev/tty9": ("c", "4:9"), "dev/ttyS0": ("c", "4:64"),
                               "dev/null": ("c", "1:3"), "dev/hda": ("b", "3:0"),
                               "dev/hdb2": ("b", "3:66"), "dev/hdc": ("b", "11:0"),
                               "dev/hdd": ("b", "11:1"), "dev/sda": ("b", "8:0"),
                               "dev/sda1": ("b", "8:1"), "dev/sdb2": ("b", "8:18"),
                               "dev/sdh": ("b", "8:112"), "dev/sdh2": ("b", "8:114"),
                               "dev/sr0": ("b", "11:0"), "dev/fd0": ("b", "2:0")}.items():
                self.assertEqual(nodes.get(name), node, name)
            self.assertNotIn("dev/hdc1", nodes, "a CD drive has no partitions")

            serial_only = installer_initramfs(installer.name, None, init_path="/sbin/init",
                                              screen_console=False)
            self.assertNotIn("dev/tty0", self.nodes(serial_only))
            self.assertNotIn("/TYPE", serial_only)
            self.assertIn("/sbin/init", serial_only)

    def test_kernel_modules_keep_their_paths_below_the_release(self):
        with tempfile.TemporaryDirectory() as cache:
            modules = os.path.join(cache, "kernel/root/lib/modules/6.1.0-9-686/kernel")
            os.makedirs(os.path.join(modules, "drivers/ata"))
            os.makedirs(os.path.join(modules, "lib"))
            for path in ("drivers/ata/ata_piix.ko", "lib/crc-t10dif.ko", "lib/crc16.ko"):
                with open(os.path.join(modules, path), "wb") as module:
                    module.write(path.encode())
            with open(os.path.join(cache, "kernel/release"), "w") as release:
                release.write("6.1.0-9-686\n")
            with mock.patch.dict(os.environ, {"KORVANEL_CACHE": cache}):
                image = Initramfs()
                found = add_kernel_modules(image, ["ata-piix", "crc_t10dif"])
                with self.assertRaises(KeyError):
                    add_kernel_modules(Initramfs(), ["ata_piix", "e1000"])
                archive = image.data()
        self.assertEqual(found, {"ata-piix": "kernel/drivers/ata/ata_piix.ko",
                                 "crc_t10dif": "kernel/lib/crc-t10dif.ko"})
        self.assertEqual(cpio_file(archive, "lib/modules/6.1.0-9-686/kernel/lib/crc-t10dif.ko"),
                         b"lib/crc-t10dif.ko")
        self.assertNotIn("/lib/modules/6.1.0-9-686/kernel/lib/crc16.ko", image)


if __name__ == "__main__":
    unittest.main()
