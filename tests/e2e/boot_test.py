"""The installer as init of a whole machine: mode choice, console choice, the
closing prompt and the restart, on Debian's i386 kernel in QEMU.

Each class boots one machine, so CTest runs them side by side.
"""

import unittest

import installer_texts as texts
from console_text import installer_lines
from bootimage.installer_initramfs import installer_initramfs
from machine_case import MachineTestCase

BELL = "\x07"


def closing_lines(machine):
    """The console's lines from the prompt to the end of the run."""
    lines = installer_lines(machine.transcript())
    return lines[len(lines) - 1 - lines[::-1].index(texts.PRESS_ENTER):]


class CdromMode(MachineTestCase):
    def test_loads_drivers_and_restarts_only_after_enter(self):
        machine = self.boot(installer_initramfs(self.installer, "cdrom\n"))

        # No banner in this mode: the first line is "Loading drivers".
        shown = machine.expect(texts.PRESS_ENTER)
        self.assertEqual(texts.fold_dots(installer_lines(shown)),
                         [texts.LOADING_DRIVERS] + texts.CDROM_WITHOUT_DISK + [texts.PRESS_ENTER])

        # Any other key is refused with a bell: the installer still waits.
        machine.send("x")
        machine.expect(BELL)
        self.assertTrue(machine.running())

        machine.send("\r")
        machine.wait_for_restart()
        # Raw mode echoes nothing: an empty line, then "Rebooting...".
        self.assertEqual(closing_lines(machine), [texts.PRESS_ENTER, "", texts.REBOOTING])


class UnknownMode(MachineTestCase):
    def check_internal_error(self, machine):
        shown = machine.expect(texts.PRESS_ENTER)
        self.assertEqual(installer_lines(shown), [texts.INTERNAL_ERROR, texts.PRESS_ENTER])

        # The line discipline echoes what is typed: the machine still runs.
        machine.send("x")
        machine.expect("x")
        # ENTER hands the line over; the installer refuses the "x" with a
        # bell, which shows it was still waiting, then restarts.
        machine.send("\r")
        machine.expect(BELL)
        machine.wait_for_restart()
        # The echoed "x" and ENTER, then the empty line and "Rebooting...".
        self.assertEqual(closing_lines(machine),
                         [texts.PRESS_ENTER, "x", "", texts.REBOOTING])

    def test_mode_word_with_a_trailing_blank_is_unknown(self):
        self.check_internal_error(self.boot(installer_initramfs(self.installer, "cdrom \n")))

    def test_missing_type_file_as_sole_process(self):
        # A program name without "init": the installer works as process 1
        # itself instead of forking.
        image = installer_initramfs(self.installer, type_text=None, init_path="/installer")
        self.check_internal_error(self.boot(image, init="/installer"))


class HardDiskSwitch(MachineTestCase):
    def test_switch_after_the_program_name_wins_over_type_file(self):
        image = installer_initramfs(self.installer, "cdrom\n", init_path="/sbin/init")
        machine = self.boot(image, init="/sbin/init", init_args=["first", "-hdd-install"])
        # The flow looks for its source disk for twenty seconds.
        shown = installer_lines(machine.expect(texts.PRESS_ENTER, timeout=120))
        self.assertEqual(shown[0], texts.HARD_DISK_WELCOME)
        self.assertEqual(shown[-3:], ["", texts.NO_SOURCE_DISK, texts.PRESS_ENTER])
        machine.send("\r")
        machine.wait_for_restart()
        self.assertEqual(closing_lines(machine), texts.HARD_DISK_MODE_CLOSING)


class SerialFallback(MachineTestCase):
    def test_dialogue_moves_to_serial_line_without_screen_device(self):
        # The kernel's console is the screen, but there is no /dev/tty0.
        image = installer_initramfs(self.installer, "cdrom\n", screen_console=False)
        machine = self.boot(image, kernel_console="screen")

        # Kernel messages go elsewhere: the line carries the dialogue alone.
        shown = machine.expect(texts.PRESS_ENTER)
        self.assertEqual(texts.fold_dots(installer_lines(shown)),
                         [texts.LOADING_DRIVERS] + texts.CDROM_WITHOUT_DISK + [texts.PRESS_ENTER])
        self.assertEqual(shown.split("\n")[0], texts.LOADING_DRIVERS)
        self.assertNotIn(texts.LOADING_DRIVERS, machine.screen_text())

        # Raw mode works on the serial line too.
        machine.send("x")
        machine.expect(BELL)
        machine.send("\r")
        machine.wait_for_restart()
        self.assertEqual(closing_lines(machine), [texts.PRESS_ENTER, "", texts.REBOOTING])


class ScreenConsole(MachineTestCase):
    def test_serial_line_stays_silent(self):
        machine = self.boot(installer_initramfs(self.installer, "cdrom\n"),
                            kernel_console="screen")
        machine.expect_on_screen(texts.PRESS_ENTER)
        screen = machine.screen_text()
        self.assertIn(texts.LOADING_DRIVERS, screen)
        self.assertEqual(machine.transcript(), "")

        machine.send_keys("ret")
        machine.wait_for_restart()
        self.assertEqual(machine.transcript(), "")


if __name__ == "__main__":
    unittest.main()
