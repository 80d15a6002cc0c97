"""The lab's two servers as one run: dnsmasq (DHCP, TFTP) and
netinstall-server started in turn, both stopped together on SIGINT or
SIGTERM or when either ends, leaving no process and no lease file."""

import ctypes
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time

_PR_SET_PDEATHSIG = 1
START_SECONDS = 15
STOP_SECONDS = 10


class RunError(Exception):
    pass


def _child_setup():
    # The servers end with this process even when it is killed outright.
    ctypes.CDLL(None).prctl(_PR_SET_PDEATHSIG, signal.SIGTERM)


def _read(path):
    try:
        with open(path, errors="replace") as text:
            return text.read()
    except FileNotFoundError:
        return ""


class LabRun:
    def __init__(self, log_dir):
        self.log_dir = log_dir
        self.dnsmasq_log = os.path.join(log_dir, "dnsmasq.log")
        self.server_log = os.path.join(log_dir, "netinstall-server.log")
        self.events_file = os.path.join(log_dir, "events.jsonl")
        # A lease file of this run only: an earlier run's leases would keep
        # addresses from machines that come back.
        self.state_dir = tempfile.mkdtemp(prefix="serve-lab-",
                                          dir="/run" if os.access("/run", os.W_OK) else None)
        self.lease_file = os.path.join(self.state_dir, "leases")
        self._children = []  # (name, process)
        self._server_log_start = 0
        self.stop_signal = None

    def _start(self, name, command, log_path, ready_text):
        """Starts `command` with its output appended to `log_path`; waits
        until the log shows `ready_text` past what it held before."""
        before = len(_read(log_path))
        if log_path == self.server_log:
            self._server_log_start = before
        with open(log_path, "ab") as log:
            process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=log,
                                       stderr=subprocess.STDOUT, preexec_fn=_child_setup,
                                       start_new_session=True)
        self._children.append((name, process))
        deadline = time.monotonic() + START_SECONDS
        while ready_text not in _read(log_path)[before:]:
            if process.poll() is not None or time.monotonic() > deadline:
                said = _read(log_path)[before:].strip().splitlines()[-5:]
                raise RunError(f"{name} did not start" + (
                    f" (exit status {process.returncode})" if process.returncode is not None
                    else "") + (":\n  " + "\n  ".join(said) if said else ""))
            time.sleep(0.1)

    def start(self, dnsmasq_command, server_command):
        os.makedirs(self.log_dir, exist_ok=True)
        self._start("dnsmasq", dnsmasq_command, self.dnsmasq_log, "TFTP root is ")
        self._start("netinstall-server", server_command, self.server_log, " serving ")

    def status_page(self):
        """The status page's address as the server announced it at its
        start, or None."""
        found = re.search(r"status page: (\S+)", _read(self.server_log)[self._server_log_start:])
        return found.group(1) if found else None

    def wait(self, tick=None):
        """Until SIGINT or SIGTERM (returns None) or until a server ends by
        itself (returns its name and exit status); calls `tick` between."""
        while self.stop_signal is None:
            for name, process in self._children:
                if process.poll() is not None:
                    return name, process.returncode
            if tick is not None:
                tick()
            time.sleep(0.2)
        return None

    def stop(self):
        """Ends every server (SIGTERM, then SIGKILL after STOP_SECONDS) and
        removes the lease file. Safe to call more than once."""
        for _, process in reversed(self._children):
            if process.poll() is None:
                process.terminate()
        for _, process in reversed(self._children):
            try:
                process.wait(timeout=STOP_SECONDS)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        self._children = []
        shutil.rmtree(self.state_dir, ignore_errors=True)

    def on_signal(self, number, _frame):
        self.stop_signal = number
