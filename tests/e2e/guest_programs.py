"""Small static i386 programs that test machines run beside the installer
(guest/*.c), compiled here with the 32-bit toolchain (g++-multilib) into a
directory that lives as long as this process."""

import atexit
import os
import shutil
import subprocess
import tempfile

_SOURCES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "guest")
_built = {}
_directory = None


def guest_program(name):
    """The path of guest/NAME.c compiled as a static i386 program."""
    global _directory
    if name not in _built:
        if _directory is None:
            _directory = tempfile.mkdtemp(prefix="korvanel-guest-")
            atexit.register(shutil.rmtree, _directory, True)
        output = os.path.join(_directory, name)
        subprocess.run(["gcc", "-m32", "-static", "-Os", "-s", "-o", output,
                        os.path.join(_SOURCES, f"{name}.c")], check=True)
        _built[name] = output
    return _built[name]
