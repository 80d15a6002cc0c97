"""A minimal client of QEMU's machine protocol (QMP) on a Unix socket.

QMP speaks one JSON object per line. Commands are answered with "return" or
"error"; events ("event") may arrive at any time and are kept in `events` in
arrival order. The client never blocks longer than the deadline it is given.
"""

import json
import select
import socket
import time


class QmpError(RuntimeError):
    pass


class QmpClient:
    def __init__(self, path, deadline, alive=lambda: True):
        """Connects to QEMU's QMP server at `path`, retrying until `deadline`
        (a time.monotonic() value) while QEMU is still creating the socket;
        gives up at once when `alive()` says QEMU has ended."""
        self.events = []
        self._buffer = b""
        self._closed = False
        while True:
            self._socket = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            try:
                self._socket.connect(path)
                break
            except (FileNotFoundError, ConnectionRefusedError):
                self._socket.close()
                if not alive():
                    raise QmpError("QEMU ended before it opened its control socket")
                if time.monotonic() >= deadline:
                    raise QmpError(f"QEMU did not open its control socket {path}")
                time.sleep(0.05)
        greeting = self._read_message(deadline)
        if greeting is None or "QMP" not in greeting:
            raise QmpError(f"unexpected QMP greeting: {greeting!r}")
        self.command("qmp_capabilities", deadline=deadline)

    def fileno(self):
        return self._socket.fileno()

    @property
    def closed(self):
        return self._closed

    def command(self, name, deadline=None, **arguments):
        """Runs one command and returns its "return" value; QmpError on an
        "error" answer, on a closed connection or when `deadline` passes."""
        if deadline is None:
            deadline = time.monotonic() + 30
        request = {"execute": name}
        if arguments:
            request["arguments"] = arguments
        try:
            self._socket.sendall(json.dumps(request).encode() + b"\n")
        except OSError as error:
            raise QmpError(f"{name}: {error}") from error
        while True:
            message = self._read_message(deadline)
            if message is None:
                raise QmpError(f"{name}: QEMU closed its control connection")
            if "return" in message:
                return message["return"]
            if "error" in message:
                raise QmpError(f"{name}: {message['error'].get('desc', message['error'])}")

    def pump(self):
        """Reads whatever has arrived without waiting; events are kept.
        Returns False once QEMU has closed the connection."""
        while not self._closed:
            readable, _, _ = select.select([self._socket], [], [], 0)
            if not readable:
                break
            if not self._receive():
                break
        self._take_events()
        return not self._closed

    def close(self):
        self._closed = True
        self._socket.close()

    def _receive(self):
        try:
            chunk = self._socket.recv(65536)
        except OSError:
            chunk = b""
        if not chunk:
            self._closed = True
            return False
        self._buffer += chunk
        return True

    def _take_events(self):
        # Outside a command only events arrive; anything else is a stray
        # answer to a command that already gave up, and is dropped.
        while b"\n" in self._buffer:
            line, self._buffer = self._buffer.split(b"\n", 1)
            if line.strip():
                message = json.loads(line)
                if "event" in message:
                    self.events.append(message)

    def _read_message(self, deadline):
        """The next message that is not an event, or None when the connection
        closed; events met on the way are kept."""
        while True:
            while b"\n" in self._buffer:
                line, self._buffer = self._buffer.split(b"\n", 1)
                if not line.strip():
                    continue
                message = json.loads(line)
                if "event" in message:
                    self.events.append(message)
                    continue
                return message
            if self._closed:
                return None
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise QmpError("QEMU did not answer in time")
            readable, _, _ = select.select([self._socket], [], [], remaining)
            if readable and not self._receive():
                return None
