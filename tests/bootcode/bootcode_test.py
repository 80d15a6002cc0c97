#!/usr/bin/python3
"""Boots crafted disk images through the installer's boot code in QEMU.

The firmware (SeaBIOS) mirrors INT 10h text to the serial console, which is
QEMU's standard output here. Test volume boot records (report_vbr.asm) print
what the boot code handed over and end the machine through isa-debug-exit;
a first-stage harness (int13_harness.asm) counts and fails disk reads.

Usage: bootcode_test.py --bootcode BIN --vbr BIN --harness BIN [unittest args]
"""
import argparse
import re
import struct
import sys
import tempfile
import unittest

import qemu_disk_boot

ARGS = None

CYLINDERS, HEADS, SECTORS = 20, 16, 63
SECTOR = 512
BOOT_CODE_SIZE = 184
TABLE = 446
QEMU_TIMEOUT = 30  # seconds; every case ends far sooner

# Where each test partition starts: (cylinder, head, sector).
STARTS = [(0, 1, 1), (1, 0, 1), (2, 0, 1), (3, 0, 1)]


def lba(c, h, s):
    return (c * HEADS + h) * SECTORS + s - 1


def chs_bytes(c, h, s):
    return bytes([h, (s & 0x3F) | ((c >> 2) & 0xC0), c & 0xFF])


def entry(indicator, start, sectors=100):
    c, h, s = start
    return (bytes([indicator]) + chs_bytes(c, h, s) + bytes([0x83]) + chs_bytes(c, h, s)
            + struct.pack('<II', lba(c, h, s), sectors))


def read(path):
    with open(path, 'rb') as f:
        return f.read()


class Disk:
    """A raw image of CYLINDERS x HEADS x SECTORS with the boot code and a
    test volume boot record marked 'A'..'D' at each partition start."""

    def __init__(self, indicators, starts=STARTS, harness_failures=None, signatures=True):
        self.image = bytearray(CYLINDERS * HEADS * SECTORS * SECTOR)
        mbr = bytearray(SECTOR)
        mbr[:BOOT_CODE_SIZE] = read(ARGS.bootcode)
        table = b''.join(entry(ind, start) for ind, start in zip(indicators, starts))
        mbr[TABLE:TABLE + len(table)] = table
        mbr[510:512] = b'\x55\xaa'
        at = 0
        if harness_failures is not None:
            harness = bytearray(read(ARGS.harness))
            harness[0x1F0] = harness_failures
            self.image[:SECTOR] = harness
            at = SECTOR
        self.image[at:at + SECTOR] = mbr
        for i, start in enumerate(STARTS):
            vbr = bytearray(read(ARGS.vbr))
            vbr[509] = ord('A') + i
            if not signatures:
                vbr[510:512] = b'\0\0'
            offset = lba(*start) * SECTOR
            self.image[offset:offset + SECTOR] = vbr

    def boot(self, until):
        """Boots the image; returns the console text once `until` (a regex)
        has appeared or the machine has ended."""
        with tempfile.NamedTemporaryFile(suffix='.img') as f:
            f.write(self.image)
            f.flush()
            return qemu_disk_boot.boot(f.name, (CYLINDERS, HEADS, SECTORS), until, QEMU_TIMEOUT,
                                       extra_devices=['isa-debug-exit,iobase=0xf4,iosize=4'])


VBR_LINE = re.compile(r'VBR (\w) DL=(\w\w) DH=(\w\w) SI=(\w{4}) BP=(\w{4}) IND=(\w\w) LBA=(\w{8})\r\n')
MISSING = 'Missing operating system'
ERROR = 'Error loading operating system'
ENDED = VBR_LINE.pattern + '|' + MISSING + '|' + ERROR + '|No bootable device'


class ActiveEntry(unittest.TestCase):

    def check_boots(self, text, index):
        found = VBR_LINE.search(text)
        self.assertIsNotNone(found, text)
        marker, dl, dh, si, bp, ind, start = found.groups()
        self.assertEqual(marker, 'ABCD'[index], 'the active partition\'s sector runs')
        self.assertEqual(dl, '80')
        self.assertEqual(int(dh, 16), STARTS[index][1], 'DH is the entry\'s start head')
        self.assertEqual(int(si, 16), 0x7BE + 16 * index, 'SI: the entry in the relocated table')
        self.assertEqual(bp, si)
        self.assertEqual(ind, '80', 'SI points at the active indicator')
        self.assertEqual(int(start, 16), lba(*STARTS[index]), 'and at that entry\'s start')
        self.assertNotIn(MISSING, text)
        self.assertNotIn(ERROR, text)

    def test_each_slot_when_it_is_the_active_one(self):
        for index in range(4):
            indicators = [0x80 if i == index else 0 for i in range(4)]
            with self.subTest(active=index):
                self.check_boots(Disk(indicators).boot(ENDED), index)

    def test_first_active_entry_wins_and_later_entries_are_not_judged(self):
        text = Disk([0x00, 0x80, 0x80, 0x7F]).boot(ENDED)
        self.check_boots(text, 1)


class RefusedTables(unittest.TestCase):

    def test_malformed_indicator_before_the_active_entry(self):
        text = Disk([0x01, 0x80, 0, 0]).boot(ENDED)
        self.assertIn(MISSING, text)
        self.assertNotIn('VBR', text, 'the active entry behind it is not tried')

    def test_no_active_entry_hands_back_to_the_firmware(self):
        text = Disk([0, 0, 0, 0]).boot(ENDED)
        self.assertIn('No bootable device', text, 'INT 18h: the firmware\'s failure path')
        self.assertNotIn(MISSING, text)
        self.assertNotIn('VBR', text)

    def test_partition_sector_without_signature(self):
        text = Disk([0, 0, 0x80, 0], signatures=False).boot(ENDED)
        self.assertIn(MISSING, text)
        self.assertNotIn('VBR', text)


class ReadFailures(unittest.TestCase):

    def test_start_past_the_end_of_the_disk(self):
        past_end = [STARTS[0], (CYLINDERS + 500, 3, 7), STARTS[2], STARTS[3]]
        text = Disk([0, 0x80, 0, 0], starts=past_end).boot(ENDED)
        self.assertIn(ERROR, text)
        self.assertNotIn('VBR', text)

    def test_four_failed_reads_are_retried_and_the_fifth_attempt_boots(self):
        text = Disk([0, 0, 0, 0x80], harness_failures=4).boot(ENDED)
        self.assertIn('RZRZRZRZR' + 'VBR D', text, 'each failure resets the disk system')
        ActiveEntry.check_boots(self, text, 3)

    def test_five_failed_reads_show_the_message(self):
        text = Disk([0x80, 0, 0, 0], harness_failures=5).boot(ENDED)
        self.assertIn('RZ' * 5 + ERROR, text)
        self.assertNotIn('RZ' * 6, text)

    def test_a_start_past_the_end_is_attempted_five_times(self):
        past_end = [(CYLINDERS + 500, 3, 7)] + STARTS[1:]
        text = Disk([0x80, 0, 0, 0], starts=past_end, harness_failures=0).boot(ENDED)
        self.assertIn('RZ' * 5 + ERROR, text)
        self.assertNotIn('RZ' * 6, text)


if __name__ == '__main__':
    parser = argparse.ArgumentParser()
    parser.add_argument('--bootcode', required=True)
    parser.add_argument('--vbr', required=True)
    parser.add_argument('--harness', required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
