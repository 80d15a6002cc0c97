"""The harness itself: QEMU's command line, and, in QEMU, how a run that goes
wrong is reported (hang, kernel panic) and that no QEMU outlives its test."""

import os
import shutil
import signal
import subprocess
import sys
import textwrap
import time
import unittest

import installer_texts as texts
from bootimage import locations
from bootimage.initramfs import Initramfs
from bootimage.installer_initramfs import add_base_layout, installer_initramfs
from machine import Ending, Machine, MachineEnded, MachineError, MachineHang
from machine_case import MachineTestCase
from machine_config import MachineConfig

HERE = os.path.dirname(os.path.abspath(__file__))
MEDIA = os.path.join(os.path.dirname(os.path.dirname(HERE)), "media")


def _option_values(command, option):
    return [command[i + 1] for i, word in enumerate(command) if word == option]


class CommandLine(unittest.TestCase):
    """Built without starting QEMU."""

    def setUp(self):
        try:
            locations.qemu_binary()
        except locations.MissingPrerequisite as missing:
            self.skipTest(str(missing))

    def machine(self, **options):
        machine = Machine(Initramfs(), kernel="/vmlinuz", **options)
        self.addCleanup(machine.close)
        return machine

    def test_init_arguments_follow_the_separator_last(self):
        line = MachineConfig(None, init="/sbin/init", kernel_args=["mce=off"],
                           init_args=["-hdd-install"]).kernel_command_line()
        self.assertTrue(line.startswith("console=ttyS0 "))
        self.assertIn(" rdinit=/sbin/init ", line)
        self.assertTrue(line.endswith(" mce=off -- -hdd-install"))
        self.assertNotIn("--", MachineConfig(None).kernel_command_line())

    def test_screen_console_is_named_last(self):
        # The last console= is /dev/console; kernel messages also reach ttyS1.
        line = MachineConfig(None, kernel_console="screen").kernel_command_line()
        self.assertIn("console=ttyS1 console=tty0 ", line)
        self.assertNotIn("ttyS0", line)
        command = self.machine(kernel_console="screen").command_line()
        self.assertEqual(len(_option_values(command, "-serial")), 2)

    def test_disks_leave_the_cd_slot_free(self):
        command = self.machine(disks=["a.img", "b.img", "c.img"], cdrom="cd.iso").command_line()
        drives = _option_values(command, "-drive")
        self.assertEqual([d.split(",")[0] for d in drives],
                         ["file=a.img", "file=b.img", "file=c.img", "file=cd.iso"])
        self.assertEqual([d.split("index=")[1].split(",")[0] for d in drives], ["0", "1", "3", "2"])
        self.assertIn("media=cdrom", drives[3])
        with self.assertRaises(ValueError):
            self.machine(disks=["a", "b", "c", "d"], cdrom="cd.iso").command_line()

    def test_no_network_card_unless_asked(self):
        self.assertEqual(_option_values(self.machine().command_line(), "-netdev"), [])
        command = self.machine(nics=["socket,mcast=230.0.0.1:1234"]).command_line()
        self.assertEqual(_option_values(command, "-netdev"), ["socket,mcast=230.0.0.1:1234,id=net0"])
        self.assertIn("-nodefaults", command)


class HangReport(MachineTestCase):
    def test_timeout_kills_qemu_and_reports_the_transcript(self):
        machine = self.boot(installer_initramfs(self.installer, "cdrom\n"))
        machine.expect(texts.PRESS_ENTER)
        pid = machine.pid
        with self.assertRaises(MachineHang) as caught:
            machine.expect("a text nothing prints", timeout=1)
        self.assertIn(texts.PRESS_ENTER, str(caught.exception))
        self.assertFalse(machine.running())
        self.assertEqual(machine.wait_for_end().kind, Ending.KILLED)
        self.assertFalse(os.path.exists(f"/proc/{pid}"))


class PanicReport(MachineTestCase):
    def test_panic_is_told_apart_from_a_restart(self):
        # An /init the kernel cannot execute: it panics, and panic=-1 resets.
        image = Initramfs()
        add_base_layout(image)
        image.file("/init", b"not a program\n", 0o755)
        machine = self.boot(image)
        # Waiting for text ends as soon as the machine does: were it to wait
        # out this timeout, CTest's own (far shorter) would fail the test.
        with self.assertRaises(MachineEnded):
            machine.expect("never printed", timeout=3600)
        self.assertEqual(machine.wait_for_end().kind, Ending.PANIC)
        with self.assertRaises(MachineError) as caught:
            machine.wait_for_restart()
        self.assertIn("Kernel panic", str(caught.exception))


class ParentDeath(MachineTestCase):
    def test_qemu_dies_with_a_killed_harness(self):
        harness = textwrap.dedent(f"""
            import os, signal, sys
            sys.path.insert(0, {HERE!r})
            sys.path.insert(0, {MEDIA!r})
            from bootimage.installer_initramfs import installer_initramfs
            from machine import Machine
            machine = Machine(installer_initramfs({self.installer!r}, "cdrom\\n"))
            machine.start()
            print(machine.pid, machine.workdir, flush=True)
            os.kill(os.getpid(), signal.SIGKILL)
        """)
        child = subprocess.run([sys.executable, "-c", harness], stdout=subprocess.PIPE,
                               timeout=120, check=False)
        self.assertEqual(child.returncode, -9)
        pid, workdir = child.stdout.decode().split()
        pid = int(pid)
        self.addCleanup(shutil.rmtree, workdir, True)
        self.addCleanup(_kill_if_alive, pid)  # even when the check below fails
        for _ in range(100):
            if not _alive(pid):
                break
            time.sleep(0.1)
        self.assertFalse(_alive(pid), f"QEMU {pid} outlived its harness")


def _kill_if_alive(pid):
    if _alive(pid):
        os.kill(pid, signal.SIGKILL)


def _alive(pid):
    """True while `pid` runs (a zombie waiting for its reaper has ended)."""
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False


if __name__ == "__main__":
    unittest.main()
