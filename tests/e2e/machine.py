"""One emulated 32-bit PC in QEMU, driven through its first serial line.

A Machine boots a kernel and an initramfs (software emulation only), with
optional IDE disks, a CD, a floppy and network cards. Its first serial port
(the guest's /dev/ttyS0) is connected to this process: `expect` waits for
text, `send` types on the line, `transcript` returns everything received.
The screen is reachable too: `send_keys` presses keys on the PC keyboard and
`screen_text` reads the VGA text memory.

The guest's restart ends QEMU (-no-reboot); `wait_for_end` tells a restart
from a kernel panic, a power-off and a QEMU failure. A machine that does not
show what a test waits for is a hang: QEMU is killed at once and the error
carries the transcript. QEMU never outlives the Machine, nor this process
(it is killed when its parent dies, even by SIGKILL).

Use it as a context manager:

    with Machine(initramfs) as machine:
        machine.expect("Press ENTER to reboot")
        machine.send("\\r")
        machine.wait_for_restart()
"""

import ctypes
import os
import re
import select
import shutil
import signal
import subprocess
import tempfile
import time

import console_text
from machine_config import MachineConfig
from qmp import QmpClient, QmpError

# Generous: a software-emulated boot takes about 5 s on an idle machine, and
# the build machine is shared.
DEFAULT_TIMEOUT = 60
KERNEL_PANIC = "Kernel panic - not syncing"
VGA_TEXT_ADDRESS = 0xB8000
VGA_TEXT_BYTES = 0x8000  # the whole colour text window: the kernel scrolls within it
VGA_COLUMNS = 80
_PR_SET_PDEATHSIG = 1


class MachineError(AssertionError):
    """The machine did not do what the test expected; the message carries
    the console transcript, QEMU's own messages and the kernel log."""


class MachineHang(MachineError):
    """Nothing expected happened in time; QEMU has been killed."""


class MachineEnded(MachineError):
    """The machine ended (restart, panic, ...) while the test still waited."""


class Ending:
    """How a run ended. `kind` is one of the constants below."""

    RESTART = "restart"      # the guest reset the machine (reboot(2))
    PANIC = "panic"          # the kernel panicked (and, with panic=-1, reset)
    POWER_OFF = "power-off"  # the guest switched the machine off
    QEMU_EXIT = "qemu-exit"  # QEMU ended on its own without a guest request
    KILLED = "killed"        # the harness killed QEMU

    def __init__(self, kind, status, reason=None):
        self.kind = kind
        self.status = status      # QEMU's exit status (negative: signal)
        self.reason = reason      # QEMU's shutdown reason, when it told one

    def __repr__(self):
        return f"Ending({self.kind}, status={self.status}, reason={self.reason})"


def die_with_parent():
    """In the forked child before exec: QEMU gets SIGKILL when we die."""
    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl(_PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)


class Machine:
    def __init__(self, initramfs, workdir=None, echo=None, **options):
        """`initramfs` and `options` describe the machine (MachineConfig).
        `workdir` receives the archive, the control socket and the logs;
        default: a new temporary directory, removed by close() unless the
        environment sets KORVANEL_KEEP_MACHINE. `echo` (a binary stream)
        gets everything the serial line carries as it arrives."""
        self.config = MachineConfig(initramfs, **options)
        self._echo = echo
        self._workdir = workdir
        self._own_workdir = workdir is None
        self._process = None
        self._qmp = None
        self._qemu_log = None
        self._raw = bytearray()
        self._cursor = 0
        self._ending = None
        self._killed = False
        self.last_match = None

    # -- life cycle --------------------------------------------------------

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc_info):
        self.close()
        return False

    def start(self):
        if self._process is not None:
            raise RuntimeError("machine already started")
        command = self.command_line()
        self._qemu_log = open(self._path("qemu.log"), "wb")
        self._process = subprocess.Popen(
            command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
            stderr=self._qemu_log, preexec_fn=die_with_parent, start_new_session=True)
        try:
            self._qmp = QmpClient(self._path("qmp.sock"), time.monotonic() + 30,
                                  alive=lambda: self._process.poll() is None)
            # QEMU waits for this connection before it starts the guest, so
            # no event of the run can be missed.
        except QmpError as error:
            self.kill()
            raise MachineError(self._report(f"QEMU did not start: {error}")) from None
        return self

    def command_line(self):
        """QEMU's argv for a harness-driven run: the first serial line on
        QEMU's standard input and output, the control socket in the work
        directory, which QEMU waits for before it starts the guest."""
        return self.config.qemu_arguments(
            self._directory(), display="none",
            serial=["-chardev", "stdio,id=console,signal=off", "-serial", "chardev:console"],
            control=["-qmp", f"unix:{self._path('qmp.sock')},server=on,wait=on"])

    def interactive_command_line(self, display="serial"):
        """QEMU's argv for a person at this terminal. "serial": the first
        serial line is the terminal (Ctrl-A X ends QEMU, Ctrl-A C its
        monitor). "curses": the PC screen and keyboard are the terminal
        (Esc 2 reaches the monitor); the serial line goes to serial.log in
        the work directory."""
        if display == "serial":
            return self.config.qemu_arguments(self._directory(), display="none",
                                            serial=["-serial", "mon:stdio"], control=[])
        if display == "curses":
            return self.config.qemu_arguments(
                self._directory(), display="curses",
                serial=["-chardev", f"file,id=console,path={self._path('serial.log')}",
                        "-serial", "chardev:console"],
                control=[])
        raise ValueError(f"unknown display {display!r}")

    def kill(self):
        """Ends QEMU at once (SIGKILL to its whole session) and reaps it."""
        if self._process is None or self._process.poll() is not None:
            return
        self._killed = True
        try:
            os.killpg(self._process.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        self._process.wait()

    def close(self):
        """Kills QEMU if it still runs and removes the work directory."""
        if self._process is not None:
            self.kill()
            self._drain()
            for stream in (self._process.stdin, self._process.stdout):
                try:
                    stream.close()
                except OSError:
                    pass  # a pipe whose reader has gone cannot be flushed
            self._qemu_log.close()
        if self._qmp is not None:
            self._qmp.close()
        if self._own_workdir and self._workdir and not os.environ.get("KORVANEL_KEEP_MACHINE"):
            shutil.rmtree(self._workdir, ignore_errors=True)

    @property
    def workdir(self):
        return self._workdir

    @property
    def pid(self):
        return self._process.pid if self._process else None

    def running(self):
        self._pump(0)
        return self._process is not None and self._process.poll() is None

    # -- the serial console ------------------------------------------------

    def send(self, data):
        """Types `data` (str or bytes) on the serial line. Enter is "\\r"."""
        if isinstance(data, str):
            data = data.encode("latin-1")
        try:
            self._process.stdin.write(data)
            self._process.stdin.flush()
        except (BrokenPipeError, ValueError):
            raise MachineEnded(self._report("cannot type: the machine has ended")) from None

    def expect(self, pattern, timeout=DEFAULT_TIMEOUT):
        """Waits until `pattern` (a literal text, or a compiled regular
        expression) appears in the serial output after the previous match.
        Returns the text from the previous match's end through this match;
        the match itself is kept in `last_match`. Raises MachineHang (QEMU
        killed) when it does not appear in `timeout` seconds, MachineEnded
        when the machine ends first."""
        regex = pattern if isinstance(pattern, re.Pattern) else re.compile(re.escape(pattern))
        deadline = time.monotonic() + timeout
        while True:
            text = self.transcript()
            match = regex.search(text, self._cursor)
            if match:
                seen = text[self._cursor:match.end()]
                self._cursor = match.end()
                self.last_match = match
                return seen
            if self._ending is not None:
                raise MachineEnded(self._report(
                    f"the machine ended ({self._ending.kind}) before {regex.pattern!r} appeared"))
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                self.kill()
                raise MachineHang(self._report(
                    f"{regex.pattern!r} did not appear within {timeout} s; QEMU killed"))
            self._pump(min(remaining, 0.5))

    def transcript(self):
        """Everything the serial line carried so far, "\\r\\n" as "\\n".
        A trailing "\\r" waits for the byte after it."""
        complete = len(self._raw) - (1 if self._raw.endswith(b"\r") else 0)
        return console_text.normalized(bytes(self._raw[:complete]))

    def raw_transcript(self):
        return bytes(self._raw)

    def unread(self):
        """The transcript after the last match."""
        return self.transcript()[self._cursor:]

    def kernel_log(self):
        """Kernel messages of a machine whose kernel console is the screen."""
        try:
            with open(self._path("kernel.log"), "rb") as log:
                return console_text.normalized(log.read())
        except OSError:
            return ""

    # -- the end of a run --------------------------------------------------

    def wait_for_end(self, timeout=DEFAULT_TIMEOUT):
        """Waits until QEMU ends and returns the Ending. A machine that is
        still running after `timeout` seconds is a hang (MachineHang)."""
        deadline = time.monotonic() + timeout
        while self._ending is None:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                self.kill()
                raise MachineHang(self._report(f"the machine did not end within {timeout} s; "
                                               "QEMU killed"))
            self._pump(min(remaining, 0.5))
        return self._ending

    def wait_for_restart(self, timeout=DEFAULT_TIMEOUT):
        """Waits for the guest to restart the machine; anything else fails."""
        ending = self.wait_for_end(timeout)
        if ending.kind != Ending.RESTART:
            raise MachineError(self._report(f"expected a restart, the machine ended: {ending}"))
        return ending

    def hold(self, seconds):
        """Lets the machine run `seconds` while collecting its output; True
        when it is still running afterwards."""
        deadline = time.monotonic() + seconds
        while self._ending is None and time.monotonic() < deadline:
            self._pump(min(deadline - time.monotonic(), 0.5))
        return self._ending is None

    # -- the screen and keyboard -------------------------------------------

    def send_keys(self, *keys):
        """Presses keys on the PC keyboard, one after another. Each key is a
        QEMU key code ("ret", "a", "1", "up") or a chord such as "ctrl-c"."""
        for key in keys:
            codes = [{"type": "qcode", "data": part} for part in key.split("-")]
            self._command("send-key", keys=codes)

    def screen_text(self):
        """The characters of the VGA text memory, 80 per line. The kernel
        scrolls by moving the visible window through this memory, so earlier
        lines may still be there."""
        dump = self._path("vga.bin")
        self._command("pmemsave", val=VGA_TEXT_ADDRESS, size=VGA_TEXT_BYTES, filename=dump)
        with open(dump, "rb") as memory:
            cells = memory.read()
        characters = cells[0::2].decode("cp437")
        rows = [characters[i:i + VGA_COLUMNS].rstrip()
                for i in range(0, len(characters), VGA_COLUMNS)]
        return "\n".join(rows)

    def expect_on_screen(self, pattern, timeout=DEFAULT_TIMEOUT):
        """Waits until `pattern` (text or compiled regular expression) shows
        in the VGA text memory; the match object. Fails like `expect`."""
        regex = pattern if isinstance(pattern, re.Pattern) else re.compile(re.escape(pattern))
        deadline = time.monotonic() + timeout
        while True:
            if self._ending is None:
                match = regex.search(self.screen_text())
                if match:
                    return match
            if self._ending is not None:
                raise MachineEnded(self._report(
                    f"the machine ended ({self._ending.kind}) before {regex.pattern!r} "
                    "appeared on the screen"))
            if time.monotonic() >= deadline:
                screen = self.screen_text()
                self.kill()
                raise MachineHang(self._report(
                    f"{regex.pattern!r} did not appear on the screen within {timeout} s; "
                    f"QEMU killed\n--- screen memory ---\n{screen.strip()}"))
            self._pump(0.25)

    # -- faults ----------------------------------------------------------------

    def remove_disk(self, index=0):
        """Takes disk `index` (of the `disks` option) away from the running
        machine: its backing is dropped, and every later access by the guest
        fails, as with a disk that died or lost its cable."""
        self._command("human-monitor-command",
                      **{"command-line": f"drive_del {self.config.disk_id(index)}"})

    def throttle_disk(self, operations_per_second, index=0):
        """Limits disk `index` to this many operations a second (0: none), so
        that a short step of the guest's work takes long enough to be met."""
        limits = dict.fromkeys(("bps", "bps_rd", "bps_wr", "iops_rd", "iops_wr"), 0)
        self._command("block_set_io_throttle", device=self.config.disk_id(index),
                      iops=operations_per_second, **limits)

    # -- internals -----------------------------------------------------------

    def _directory(self):
        if self._workdir is None:
            self._workdir = tempfile.mkdtemp(prefix="korvanel-machine-")
        return self._workdir

    def _path(self, name):
        return os.path.join(self._directory(), name)

    def _command(self, name, **arguments):
        self._pump(0)
        if self._ending is not None:
            raise MachineEnded(self._report(f"{name}: the machine has ended ({self._ending.kind})"))
        try:
            return self._qmp.command(name, **arguments)
        except QmpError as error:
            self._pump(0)
            raise MachineError(self._report(f"QEMU refused {name}: {error}")) from None

    def _pump(self, timeout):
        """Collects console output and QMP events for up to `timeout` seconds;
        notices QEMU's end."""
        if self._process is None or self._ending is not None:
            return
        watched = [self._process.stdout]
        if not self._qmp.closed:
            watched.append(self._qmp)
        readable, _, _ = select.select(watched, [], [], max(timeout, 0))
        if self._process.stdout in readable:
            chunk = os.read(self._process.stdout.fileno(), 65536)
            if chunk:
                self._received(chunk)
            else:
                # QEMU closes its output only when it ends: let it finish.
                try:
                    self._process.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    self.kill()
        self._qmp.pump()
        if self._process.poll() is not None:
            self._drain()
            self._ending = self._classify_ending()

    def _received(self, chunk):
        self._raw += chunk
        if self._echo is not None:
            self._echo.write(chunk)
            self._echo.flush()

    def _drain(self):
        """Reads the rest of the console output of an ended QEMU."""
        if self._process is None or self._process.stdout.closed:
            return
        while self._process.poll() is not None:
            readable, _, _ = select.select([self._process.stdout], [], [], 0)
            if not readable:
                break
            chunk = os.read(self._process.stdout.fileno(), 65536)
            if not chunk:
                break
            self._received(chunk)
        if self._qmp is not None and not self._qmp.closed:
            self._qmp.pump()

    def _classify_ending(self):
        status = self._process.returncode
        reasons = [event.get("data", {}).get("reason") for event in self._qmp.events
                   if event.get("event") == "SHUTDOWN"]
        reason = reasons[0] if reasons else None
        panicked = any(event.get("event") == "GUEST_PANICKED" for event in self._qmp.events) \
            or KERNEL_PANIC in self.transcript() or KERNEL_PANIC in self.kernel_log()
        if self._killed:
            return Ending(Ending.KILLED, status, reason)
        if panicked:
            return Ending(Ending.PANIC, status, reason)
        if reason == "guest-reset":
            return Ending(Ending.RESTART, status, reason)
        if reason == "guest-shutdown":
            return Ending(Ending.POWER_OFF, status, reason)
        return Ending(Ending.QEMU_EXIT, status, reason)

    def _report(self, summary, tail_chars=4000):
        parts = [summary, f"--- serial console (last {tail_chars} characters) ---",
                 self.transcript()[-tail_chars:]]
        if self.config.kernel_console == "screen":
            parts += ["--- kernel log ---", self.kernel_log()[-tail_chars:]]
        try:
            with open(self._path("qemu.log"), "rb") as log:
                qemu_messages = log.read().decode(errors="replace").strip()
        except OSError:
            qemu_messages = ""
        if qemu_messages:
            parts += ["--- QEMU ---", qemu_messages]
        if not self.config.firmware_boot():
            parts.append(f"--- kernel command line: {self.config.kernel_command_line()}")
        return "\n".join(parts)
