"""media/serve-lab refuses what it cannot serve before it starts anything:
one line on standard error, exit status 1, no log folder made, no process
left. Runs in a network namespace of its own (install_network.py); the
folder looks like `build-media net` output without being bootable, which
is enough, since nothing is started."""

import ipaddress
import os
import shutil
import socket
import subprocess
import tempfile
import unittest

from bootimage import locations
from install_network import BRIDGE, SERVE_LAB, InstallNetwork
from lab import lab_interface


def fake_net_output(folder):
    for name in ("boot/pxelinux.0", "boot/ldlinux.c32", "boot/pxelinux.cfg/default",
                 "boot/vmlinuz", "boot/initrd.gz", "server/packages/system.bdl"):
        os.makedirs(os.path.dirname(os.path.join(folder, name)), exist_ok=True)
        with open(os.path.join(folder, name), "w") as out:
            out.write("stand-in\n")
    return folder


def held_port(port, address="0.0.0.0"):
    taken = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    taken.setsockopt(socket.SOL_SOCKET, socket.SO_BINDTODEVICE, BRIDGE.encode())
    taken.bind((address, port))
    return taken


class AddressRange(unittest.TestCase):
    def test_the_half_without_the_interface_s_own_address(self):
        cases = [("10.44.0.1/24", ("10.44.0.128", "10.44.0.254")),
                 ("10.44.0.200/24", ("10.44.0.1", "10.44.0.127")),
                 ("192.168.7.1/28", ("192.168.7.8", "192.168.7.14")),
                 ("10.255.255.254/8", ("10.255.255.1", "10.255.255.127")),
                 ("172.16.0.1/30", None)]
        for own, expected in cases:
            with self.subTest(own):
                interface = ipaddress.IPv4Interface(own)
                if expected is None:
                    self.assertRaises(lab_interface.InterfaceError,
                                      lab_interface.default_range, interface)
                else:
                    self.assertEqual(tuple(map(str, lab_interface.default_range(interface))),
                                     expected)


class Refusals(unittest.TestCase):
    def setUp(self):
        try:
            self.server = locations.host_program("netinstall-server")
        except locations.MissingPrerequisite as missing:
            raise unittest.SkipTest(str(missing))
        self.workdir = tempfile.mkdtemp(prefix="korvanel-serve-lab-")
        os.chmod(self.workdir, 0o755)  # dnsmasq reads the boot files as nobody
        self.addCleanup(shutil.rmtree, self.workdir, True)
        self.network = InstallNetwork(self.workdir)
        self.addCleanup(self.network.close)

    def serve(self, folder, *options, interface=BRIDGE):
        result = subprocess.run([SERVE_LAB, "--interface", interface, "--server", self.server,
                                 *options, folder], capture_output=True, text=True, timeout=60)
        return result.returncode, result.stdout, result.stderr

    def test_refuses_before_starting_anything(self):
        folder = fake_net_output(os.path.join(self.workdir, "net"))
        empty = os.path.join(self.workdir, "empty")
        os.makedirs(empty)
        cases = [
            ("dnsmasq missing", [folder, "--dnsmasq", "/nonexistent/dnsmasq"], None,
             "dnsmasq /nonexistent/dnsmasq is missing: install Debian's dnsmasq-base"),
            ("not build-media net output", [empty], None,
             f"{empty} is not a folder made by `build-media net` (it has no boot/pxelinux.0)"),
            ("no such interface", [folder, "--interface", "nosuch0"], None,
             "there is no interface nosuch0"),
            ("no IPv4 address", [folder], None, f"interface {BRIDGE} has no IPv4 address"),
            ("boot file unreadable for dnsmasq", [folder], "unreadable",
             f"{folder}/boot/vmlinuz is not readable by others: dnsmasq serves it as user "
             "nobody"),
            ("range outside the network", [folder, "--range", "10.45.0.10,10.45.0.20"],
             "address", "--range 10.45.0.10,10.45.0.20 is not a range inside 10.44.0.0/24"),
            ("DHCP port taken", [folder], (67, "0.0.0.0"), "UDP port 67 (DHCP) is taken on br0"),
            ("TFTP port taken", [folder], (69, "10.44.0.1"), "UDP port 69 (TFTP) is taken on br0"),
            ("installation port taken", [folder], (5000, "0.0.0.0"),
             "UDP port 5000 (netinstall-server) is taken on br0"),
            ("PXE port taken in proxy mode", [folder, "--proxy-dhcp"], (4011, "0.0.0.0"),
             "UDP port 4011 (PXE boot server) is taken on br0"),
        ]
        addressed = False
        for what, arguments, needs, reason in cases:
            with self.subTest(what):
                if needs is not None and not addressed:
                    self.network.add_address()
                    addressed = True
                interface = BRIDGE
                if "--interface" in arguments:
                    at = arguments.index("--interface")
                    interface = arguments[at + 1]
                    arguments = arguments[:at] + arguments[at + 2:]
                taken = held_port(*needs) if isinstance(needs, tuple) else None
                vmlinuz = os.path.join(folder, "boot", "vmlinuz")
                os.chmod(vmlinuz, 0o600 if needs == "unreadable" else 0o644)
                try:
                    status, printed, said = self.serve(*arguments, interface=interface)
                finally:
                    if taken:
                        taken.close()
                    os.chmod(vmlinuz, 0o644)
                self.assertEqual(status, 1, said)
                self.assertEqual(printed, "")
                self.assertTrue(said.startswith(f"serve-lab: {reason}"), said)
                self.assertEqual(said.count("\n"), 1, said)
                self.assertFalse(os.path.exists(os.path.join(folder, "logs")))
        # Nothing was left running: the ports are all free again.
        for port, address in ((67, "0.0.0.0"), (69, "10.44.0.1"), (5000, "0.0.0.0")):
            held_port(port, address).close()


if __name__ == "__main__":
    unittest.main()
