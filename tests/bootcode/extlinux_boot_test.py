#!/usr/bin/python3
"""A real boot loader through the installer's boot code: Debian's extlinux in
an ext2 partition, its boot sector chain-loaded by our first sector, shows its
banner and the text of its configuration on the serial console.

Runs inside the test sandbox (tests/sandbox/sandbox --host-dev): extlinux
needs its file system mounted, on a loop device.

Usage: extlinux_boot_test.py --bootcode BIN [unittest args]
"""
import argparse
import os
import struct
import subprocess
import sys
import tempfile
import time
import unittest

import qemu_disk_boot

ARGS = None

CYLINDERS, HEADS, SECTORS = 130, 16, 63
SECTOR = 512
BOOT_CODE_SIZE = 184
PARTITION_START = 63  # cylinder 0, head 1, sector 1
GREETING = 'korvanel-extlinux-is-here'
QEMU_TIMEOUT = 60


def run(*command, **kwargs):
    return subprocess.run(command, check=True, capture_output=True, text=True, **kwargs).stdout


def chs(sector):
    c, rest = divmod(sector, HEADS * SECTORS)
    h, s = divmod(rest, SECTORS)
    c = min(c, 1023)
    return bytes([h, (s + 1) | ((c >> 2) & 0xC0), c & 0xFF])


class ExtlinuxDisk:
    """An image with one bootable ext2 partition that carries extlinux."""

    def __init__(self, directory):
        self.image = os.path.join(directory, 'extlinux.img')
        self.mountpoint = os.path.join(directory, 'mounted')
        self.loop = None
        total = CYLINDERS * HEADS * SECTORS
        with open(self.image, 'wb') as f:
            f.truncate(total * SECTOR)
            size = total - PARTITION_START
            entry = (b'\x80' + chs(PARTITION_START) + b'\x83' + chs(total - 1)
                     + struct.pack('<II', PARTITION_START, size))
            f.seek(446)
            f.write(entry + bytes(48) + b'\x55\xaa')

    def build(self):
        self.loop = run('losetup', '--find', '--show', self.image).strip()
        try:
            run('partx', '--add', self.loop)
            partition = self.loop + 'p1'
            for _ in range(100):
                if os.path.exists(partition):
                    break
                time.sleep(0.05)
            run('mke2fs', '-q', '-F', '-t', 'ext2', partition)
            os.makedirs(self.mountpoint, exist_ok=True)
            run('mount', '-t', 'ext2', partition, self.mountpoint)
            try:
                with open(os.path.join(self.mountpoint, 'extlinux.conf'), 'w') as conf:
                    conf.write('SERIAL 0 115200\nSAY %s\nPROMPT 1\nTIMEOUT 0\n' % GREETING)
                run('extlinux', '--install', self.mountpoint)
            finally:
                run('umount', self.mountpoint)
        finally:
            subprocess.run(['partx', '--delete', self.loop], capture_output=True)
            subprocess.run(['losetup', '--detach', self.loop], capture_output=True)
        # Our boot code into the first sector; the table stays.
        with open(ARGS.bootcode, 'rb') as f:
            code = f.read()
        assert len(code) == BOOT_CODE_SIZE
        with open(self.image, 'r+b') as f:
            f.write(code + bytes(446 - BOOT_CODE_SIZE))


class Extlinux(unittest.TestCase):

    def test_extlinux_boots_through_the_boot_code(self):
        with tempfile.TemporaryDirectory(dir=os.environ.get('KORVANEL_SCRATCH')) as directory:
            disk = ExtlinuxDisk(directory)
            disk.build()
            text = qemu_disk_boot.boot(disk.image, (CYLINDERS, HEADS, SECTORS),
                                       GREETING + '|Missing operating system|Error loading',
                                       QEMU_TIMEOUT, memory_mib=32)
        self.assertIn('SYSLINUX 6', text)  # extlinux's banner
        self.assertIn(GREETING, text)
        self.assertNotIn('Missing operating system', text)
        self.assertNotIn('Error loading operating system', text)


if __name__ == '__main__':
    if 'KORVANEL_SCRATCH' not in os.environ:
        sys.exit('extlinux_boot_test.py: run me through tests/sandbox/sandbox')
    parser = argparse.ArgumentParser()
    parser.add_argument('--bootcode', required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
