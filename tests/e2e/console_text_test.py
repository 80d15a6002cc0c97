"""Console output turned into the lines a reader sees."""

import unittest

from console_text import installer_lines, normalized, plain


class ConsoleText(unittest.TestCase):
    def test_escape_sequences_and_bells_vanish(self):
        screen = "\x1b[2J\x1b[1;1H\x1b[0;1mTitle\x1b[m\x07 \x1b[?25l\x1b[?25hend"
        self.assertEqual(plain(screen), "Title end")

    def test_serial_line_endings_and_kernel_messages(self):
        received = (b"[    1.33] mce: Unable to init MCE device\r\nLoading drivers\r\n\r\n"
                    b"Press ENTER to reboot\r\n\x1b[?25h\r\nRebooting...\r\n"
                    b"[    2.88] reboot: Restarting system\r\n")
        self.assertEqual(installer_lines(normalized(received)),
                         ["Loading drivers", "", "Press ENTER to reboot", "", "Rebooting..."])
        # A lone carriage return is kept: it is what the line carried.
        self.assertEqual(normalized(b"a\rb\r\n"), "a\rb\n")
        # A last line without its newline still counts.
        self.assertEqual(installer_lines("Looking for harddrives..."),
                         ["Looking for harddrives..."])


if __name__ == "__main__":
    unittest.main()
