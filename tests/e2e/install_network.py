"""An installation network for whole machines: a bridge, one tap device per
machine, and our netinstall-server on the bridge, all inside a network
namespace of the test's own.

`InstallNetwork()` moves this test process into a fresh network namespace
(unshare(2)); QEMU and the server, started from here afterwards, live in it
too. Nothing of it can touch this machine's interfaces, and it all goes with
the namespace's last process: close() ends the server and removes the
devices, and even a test killed outright leaves nothing behind. Each new
InstallNetwork starts from a fresh namespace again.
"""

import ctypes
import os
import re
import subprocess
import time

from bootimage import locations
from machine import die_with_parent

_CLONE_NEWNET = 0x40000000
BRIDGE = "br0"
# The server's hardware address. A bridge without an address of its own
# takes its lowest port's, so it would change when a machine's tap joins
# after the server has started: the server would go on naming the old
# address in its messages, and the machines' requests sent to that address
# would find nobody (they would fall back to broadcasts).
BRIDGE_ADDRESS = "02:4b:56:00:00:01"
# The lab host's address on the bridge when media/serve-lab serves it.
LAB_ADDRESS = "10.44.0.1/24"
# A second segment of the same lab, for a host with two lab interfaces.
SECOND_BRIDGE = "br1"
SECOND_BRIDGE_ADDRESS = "02:4b:56:00:00:02"
SECOND_LAB_ADDRESS = "10.45.0.1/24"
SERVE_LAB = os.path.join(locations.SOURCE_DIR, "media", "serve-lab")
LAB_READY = "Ctrl-C stops serving."


def _enter_fresh_network_namespace():
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.unshare(_CLONE_NEWNET) != 0:
        raise OSError(ctypes.get_errno(), "unshare(CLONE_NEWNET) failed")
    with open("/proc/net/dev") as devices:
        names = [line.split(":")[0].strip() for line in devices.readlines()[2:]]
    if names != ["lo"]:
        raise RuntimeError(f"a fresh network namespace should hold only lo, not {names}")


def _ip(*arguments):
    subprocess.run(["ip", *arguments], check=True, stdout=subprocess.DEVNULL)


class InstallNetwork:
    def __init__(self, workdir):
        self._workdir = workdir
        self._taps = []
        self._servers = {}  # name: the server process
        self._lab = None
        self._bridges = []
        _enter_fresh_network_namespace()
        _ip("link", "set", "lo", "up")  # the server's status page, for a browser here
        self.add_bridge(BRIDGE, BRIDGE_ADDRESS)

    def add_bridge(self, name, mac):
        # No forwarding delay: a firmware's DHCP gives up long before the
        # default 15 s have passed for its port.
        _ip("link", "add", name, "address", mac, "type", "bridge", "forward_delay", "0")
        _ip("link", "set", name, "up")
        self._bridges.append(name)

    def add_second_segment(self):
        """A second bridge with the lab host's address on it: another segment
        of the same lab, served by the same serve-lab."""
        self.add_bridge(SECOND_BRIDGE, SECOND_BRIDGE_ADDRESS)
        self.add_address(SECOND_LAB_ADDRESS, bridge=SECOND_BRIDGE)

    def add_machine(self, bridge=BRIDGE):
        """A tap device on `bridge`: the -netdev option text for one card."""
        name = f"tap{len(self._taps)}"
        _ip("tuntap", "add", "dev", name, "mode", "tap")
        _ip("link", "set", name, "master", bridge, "up")
        self._taps.append(name)
        return f"tap,ifname={name},script=no,downscript=no"

    def start_server(self, root, keep=False, timeout=30, name="server", extra=()):
        """The host build's netinstall-server serving `root`: the first on the
        bridge itself, any further one on a port of its own (a veth pair), so
        that each has a hardware address of its own; `extra` are more
        options. Returns the server's hardware address from its first log
        line; log(name) reads its log. A server started again under the same
        name goes on in the same log."""
        interface = BRIDGE
        if self._servers and name not in self._servers:
            interface = f"{name}0"
            _ip("link", "add", interface, "type", "veth", "peer", "name", f"{name}1")
            _ip("link", "set", f"{name}1", "master", BRIDGE, "up")
            _ip("link", "set", interface, "up")
            self._taps.append(interface)
        command = [locations.host_program("netinstall-server"), "--interface", interface,
                   "--root", root] + (["--keep"] if keep else []) + list(extra)
        before = len(self.log(name))
        with open(self._log_path(name), "ab") as log:
            server = subprocess.Popen(command, stdout=log, stderr=subprocess.STDOUT,
                                      stdin=subprocess.DEVNULL, preexec_fn=die_with_parent)
        self._servers[name] = server
        deadline = time.monotonic() + timeout
        while (serving := re.search(r" serving .* \(([0-9A-Fa-f:]{17})\)",
                                    self.log(name)[before:])) is None:
            if server.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError(f"netinstall-server did not start:\n{self.log(name)}")
            time.sleep(0.1)
        return serving.group(1)

    def add_address(self, cidr=LAB_ADDRESS, bridge=BRIDGE):
        _ip("addr", "add", cidr, "dev", bridge)

    def serve_lab(self, folder, *options, timeout=60, bridges=(BRIDGE,)):
        """media/serve-lab on `bridges` (each needs an address first):
        dnsmasq and the host build's netinstall-server. Returns once it says
        it serves; lab_output() reads what it printed."""
        command = [SERVE_LAB, *(f"--interface={bridge}" for bridge in bridges),
                   "--server", locations.host_program("netinstall-server"), *options, folder]
        with open(self._log_path("serve-lab"), "ab") as output:
            self._lab = subprocess.Popen(command, stdout=output, stderr=subprocess.STDOUT,
                                         stdin=subprocess.DEVNULL, preexec_fn=die_with_parent)
        deadline = time.monotonic() + timeout
        while LAB_READY not in self.lab_output():
            if self._lab.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError(f"serve-lab did not start:\n{self.lab_output()}")
            time.sleep(0.1)
        return self._lab

    def lab_output(self):
        return self.log("serve-lab")

    def stop_lab(self, signal_number, timeout=30):
        """Stops serve-lab as the operator would; its exit status."""
        self._lab.send_signal(signal_number)
        return self._lab.wait(timeout=timeout)

    def kill_server(self, name="server"):
        """Ends the server at once (SIGKILL), as a crash or a power cut does."""
        self._servers[name].kill()
        self._servers[name].wait()

    def _log_path(self, name):
        return os.path.join(self._workdir, f"{name}.log")

    def log(self, name="server"):
        try:
            with open(self._log_path(name), errors="replace") as log:
                return log.read()
        except FileNotFoundError:
            return ""

    def stop_server(self, name="server"):
        """Ends the server as an operator does (SIGTERM): it writes its summary."""
        self._servers[name].terminate()
        self._servers[name].wait(timeout=30)

    def close(self):
        # dnsmasq goes with serve-lab, even when the test failed.
        for server in ([self._lab] if self._lab else []) + list(self._servers.values()):
            if server.poll() is None:
                server.terminate()
                try:
                    server.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    server.kill()
                    server.wait()
        for name in self._taps + self._bridges:
            subprocess.run(["ip", "link", "del", name], stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
