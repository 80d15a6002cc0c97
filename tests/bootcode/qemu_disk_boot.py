"""Boots a raw disk image in QEMU (software emulation, SeaBIOS) and returns
what appeared on the serial console: with -nographic the firmware mirrors
INT 10h text there, so boot-sector messages can be read as text.

Shared by the boot-code tests; standard library only.
"""
import os
import re
import select
import signal
import subprocess
import time


def boot(image, geometry, until, timeout, memory_mib=16, extra_devices=()):
    """Boots `image` as an IDE disk of `geometry` (cylinders, heads, sectors,
    without BIOS translation) and returns the console text once the regex
    `until` has appeared, the machine has ended, or `timeout` seconds have
    passed. The machine is killed on return."""
    cylinders, heads, sectors = geometry
    command = [
        'qemu-system-i386', '-nographic', '-no-reboot', '-m', str(memory_mib), '-nic', 'none',
        '-drive', 'file=%s,format=raw,if=none,id=disk' % image,
        '-device', 'ide-hd,drive=disk,cyls=%d,heads=%d,secs=%d,bios-chs-trans=none'
        % (cylinders, heads, sectors),
    ]
    for device in extra_devices:
        command += ['-device', device]
    process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT, start_new_session=True)
    output = b''
    deadline = time.monotonic() + timeout
    try:
        while time.monotonic() < deadline:
            ready, _, _ = select.select([process.stdout], [], [], 0.2)
            if ready:
                chunk = os.read(process.stdout.fileno(), 4096)
                if not chunk:
                    break
                output += chunk
                if re.search(until, text_of(output)):
                    break
    finally:
        if process.poll() is None:
            os.killpg(process.pid, signal.SIGKILL)
        process.wait()
        process.stdout.close()
    return text_of(output)


def text_of(output):
    """The console bytes as text without terminal control sequences: a boot
    loader that writes to the serial line itself while the firmware mirrors
    the screen there too can land cursor movements inside the text."""
    return re.sub(r'\x1b(\[[0-9;?]*[A-Za-z]|c)', '', output.decode('latin-1'))
