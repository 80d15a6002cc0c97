"""Turning what a console received into text that tests compare.

A serial line carries "\r\n" for every newline (the terminal's output
processing), escape sequences that move the cursor or change colours, and
BEL for refused keys. `normalized` keeps everything but turns "\r\n" into
"\n"; `plain` also drops escape sequences and BEL, leaving what a reader
of the console sees line by line.
"""

import re

ESCAPE_SEQUENCE = re.compile(r"\x1b(\[[0-?]*[ -/]*[@-~]|[@-Z\\-_])")
BELL = "\x07"


def normalized(data):
    """Bytes from a console as text: one character per byte, "\r\n" -> "\n"."""
    return data.decode("latin-1").replace("\r\n", "\n")


def plain(text):
    return ESCAPE_SEQUENCE.sub("", text).replace(BELL, "")


def plain_lines(text):
    """The lines of `text` without escapes; a final unterminated line counts."""
    lines = plain(text).split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    return lines


KERNEL_MESSAGE = re.compile(r"^\[\s*\d+\.\d+\] ")


def installer_lines(text):
    """The plain lines of `text` that are not kernel messages (which carry a
    "[seconds.micros] " stamp on a serial kernel console)."""
    return [line for line in plain_lines(text) if not KERNEL_MESSAGE.match(line)]
