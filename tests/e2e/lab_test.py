"""A lab of routers that installs itself from the network: machines with a
blank disk and nothing but a network card boot from the card (QEMU's iPXE
ROM, -boot n), and media/serve-lab serves them from what `build-media net`
made: dnsmasq gives the address and the boot files (pxelinux, the kernel,
the network medium), netinstall-server the installation. Everything lives
on a bridge in the test's own network namespace (install_network.py).

Each disk is read back on the host without mounting it; the one-machine run
also boots its installed disk alone. The times of each run are printed for
the record (never checked).
"""

import os
import re
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import shutil
import time
import unittest
import json
import urllib.request

import media_runs as runs
from bootimage import locations
from install_network import BRIDGE, SECOND_BRIDGE, InstallNetwork
from installed_disk import InstalledDisk
from machine import die_with_parent
from machine_case import MachineTestCase
import server_views
from server_views import log_events

PACKAGES_DIR = os.path.join(locations.SOURCE_DIR, "media", "packages")
SAMPLE_PACKAGES = ["dhcp-1.0", "firewall-1.0", "ppp-1.0", "pppoe-1.0", "system-1.0"]
# One file of each sample package, compared with its source after the install.
PACKAGE_FILES = {"dhcp": "etc/rc.d/rc.dhcp", "firewall": "etc/firewall/rules.nft",
                 "ppp": "etc/ppp/options", "system": "sbin/init"}
MEMORY_MB = 192
# Sixteen emulated machines share two cores: minutes each.
LAB_TIMEOUT = 2400
# The serial console's milestones of one machine, in order.
MILESTONES = [("boot prompt (firmware, DHCP, pxelinux by TFTP)", "boot:"),
              ("installer started (kernel and initramfs by TFTP, kernel start)",
               "Welcome to Korvanel"),
              ("drivers fetched and loaded, disk found", "Waiting for installation server..."),
              ("server found", "Found server at"),
              ("partitioned", "Formatting disk..."),
              ("formatted, packages installed", "Writing configuration..."),
              ("Software installed.", runs.INSTALLED)]
# The installer's welcome: once per installation.
WELCOME = "Welcome to Korvanel"
# What the serial console shows between "Software installed." and the
# installed system's line when the machine is left to restart, in order
# (the firmware's and pxelinux's local boot say nothing there).
RESTART_MILESTONES = [("restart", re.compile(r"reboot: Restarting system")),
                      ("the disk's boot loader (firmware, network boot, pxelinux's LOCALBOOT)",
                       re.compile(r"SYSLINUX \d")),
                      ("the installed kernel's first console line",
                       re.compile(r"\n\[ *\d+\.\d+\] "))]
# Another DHCP server's addresses, for the proxy run.
OTHER_DHCP = ("10.44.0.50", "10.44.0.99")


def completed(log):
    """Installations the server's log reports done (its summary, written
    when serve-lab stops it, is not counted again)."""
    return sum(1 for _, text in log_events(log) if text == "done")


class Lab(MachineTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        try:
            locations.host_program("netinstall-server")
        except locations.MissingPrerequisite as missing:
            raise unittest.SkipTest(str(missing))
        cls.outdir = runs.build_media("net", outdir=runs.media_dir() + "/net")
        with open(os.path.join(locations.SOURCE_DIR, "media", "autorun.scr"), "rb") as script:
            cls.autorun = script.read()

    def setUp(self):
        self.workdir = tempfile.mkdtemp(prefix="korvanel-lab-")
        self.addCleanup(shutil.rmtree, self.workdir, True)
        self.network = InstallNetwork(self.workdir)
        self.addCleanup(self.network.close)  # dnsmasq stops with serve-lab, even on failure
        self.network.add_address()
        self.log_dir = os.path.join(self.workdir, "logs")
        self.macs_used = []

    def serve(self, *options, folder=None, bridges=(BRIDGE,)):
        # Each run its own lab state: the media folder is shared.
        self.state_dir = os.path.join(self.workdir, "state")
        self.served = folder or self.outdir
        self.addCleanup(self.forget_local_boots)
        self.network.serve_lab(self.served, "--log-dir", self.log_dir, "--state-dir",
                               self.state_dir, *options, bridges=bridges)

    def forget_local_boots(self):
        """The shared boot folder keeps none of this run's installed machines
        (other runs beside this one may have theirs there)."""
        config = os.path.join(self.served, "boot", "pxelinux.cfg")
        for mac in self.macs_used:
            path = os.path.join(config, "01-" + mac.replace(":", "-"))
            if os.path.exists(path):
                os.unlink(path)

    def power_on(self, index, restarts=False, bridge=BRIDGE):
        disk = runs.scratch_disk(self, runs.SMALL_DISK_BYTES)
        mac = f"52:54:00:4c:00:{index:02x}"
        self.macs_used.append(mac)
        machine = self.boot(None, network_boot=True, disks=[disk], memory_mb=MEMORY_MB,
                            nics=[self.network.add_machine(bridge)], macs=[mac],
                            restarts=restarts)
        return machine, disk

    def status(self):
        page = re.search(r"status page: (\S+)", self.network.lab_output()).group(1)
        with urllib.request.urlopen(page + "status.json", timeout=10) as answer:
            return json.load(answer)

    def wait_for_phase(self, mac, phase, timeout=120):
        deadline = time.monotonic() + timeout
        while True:
            rows = [row for row in self.status()["machines"] if row["mac"] == mac.upper()]
            if rows and rows[0]["phase"] == phase:
                return rows[0]
            if time.monotonic() > deadline:
                raise AssertionError(f"{mac} never {phase}: {rows}")
            time.sleep(1)

    def log(self, name):
        with open(os.path.join(self.log_dir, name), errors="replace") as text:
            return text.read()

    def check_disk(self, disk):
        """The installed system as the sample packages and autorun.scr make it."""
        installed = InstalledDisk(disk)
        partitions = installed.partitions()
        self.assertEqual([(start, kind, boot) for start, _, kind, boot in partitions],
                         [(63, "83", True)])
        system = installed.file_system(1)
        status, said = system.check()
        self.assertEqual(status, 0, said)
        for package, path in PACKAGE_FILES.items():
            with open(os.path.join(PACKAGES_DIR, package, "root", path), "rb") as source:
                self.assertEqual(system.read("/" + path), source.read(), path)
            found = system.status("/" + path)
            self.assertEqual((found.uid, found.gid), (0, 0), f"{path}: {found}")
        for name in SAMPLE_PACKAGES:
            self.assertIsNotNone(system.status(f"/var/pdb/{name.split('-')[0]}"), name)
        self.assertEqual(system.read("/autorun.scr"), self.autorun)

    def stop_and_check_nothing_is_left(self, signal_number, name):
        self.assertEqual(self.network.stop_lab(signal_number), 0, self.network.lab_output())
        output = self.network.lab_output()
        self.assertIn(f"serve-lab: stopped by {name}", output)
        lease = re.search(r"lease file (\S+)", output)
        if lease:
            self.assertFalse(os.path.exists(lease.group(1)))
        # dnsmasq and the server let go of their ports: they are gone.
        for port, address in ((67, "0.0.0.0"), (69, "10.44.0.1"), (5000, "0.0.0.0")):
            probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            probe.setsockopt(socket.SOL_SOCKET, socket.SO_BINDTODEVICE, BRIDGE.encode())
            probe.bind((address, port))
            probe.close()
        self.assertIn("stopped by SIGTERM", self.log("netinstall-server.log"))

    def test_one_machine_from_power_on_to_its_installed_system(self):
        self.serve()
        output = self.network.lab_output()
        for shown in ("addresses: 10.44.0.128 to 10.44.0.254", "pxelinux.0", "initrd.gz",
                      "none signed", "packages: " + ", ".join(
                          f"{name.split('-')[0]}.bdl" for name in SAMPLE_PACKAGES),
                      f"DHCP and TFTP (dnsmasq): {self.log_dir}/dnsmasq.log"):
            self.assertIn(shown, output)
        machine, disk = self.power_on(0)
        seen = watch([machine], [text for _, text in MILESTONES], runs.INSTALL_TIMEOUT)[0]
        times = [(what, seen[text]) for what, text in MILESTONES]
        machine.wait_for_restart(timeout=runs.BOOT_TIMEOUT)
        machine.close()
        self.stop_and_check_nothing_is_left(signal.SIGINT, "SIGINT")
        print("\none machine, power-on to " + ", ".join(f"{what}: {at:.0f} s"
                                                       for what, at in times), file=sys.stderr)
        print(tftp_report(self.log("dnsmasq.log")), file=sys.stderr)
        dhcp = self.log("dnsmasq.log")
        self.assertIn("DHCPACK(br0)", dhcp)
        self.assertEqual(completed(self.log("netinstall-server.log")), 1)
        self.check_disk(disk)
        self.assertEqual(runs.boot_installed_system(self, disk), (SAMPLE_PACKAGES, 1))

    def test_installed_once_reports_up_and_installs_again_when_armed(self):
        """Network boot first and restarts left to the machine, as in a rack:
        it installs once, its next boot starts the installed system from its
        disk, which reports up; armed again, it installs once more."""
        self.serve()
        started = time.monotonic()
        machine, disk = self.power_on(0x40, restarts=True)
        mac = "52:54:00:4c:00:40"
        machine.expect(runs.INSTALLED, timeout=runs.INSTALL_TIMEOUT)
        installed = time.monotonic() - started
        restart = milestones_until(machine, RESTART_MILESTONES, runs.SYSTEM_UP,
                                   runs.BOOT_TIMEOUT, started)
        machine.expect(runs.SYSTEM_UP, timeout=runs.BOOT_TIMEOUT)
        system_line = time.monotonic() - started
        row = self.wait_for_phase(mac, "up")
        up = time.monotonic() - started
        self.assertEqual(machine.transcript().count("Welcome to Korvanel"), 1)
        # What its firmware boots until it is armed again: its own disk.
        self.assertTrue(os.path.exists(os.path.join(self.outdir, "boot", "pxelinux.cfg",
                                                    "01-52-54-00-4c-00-40")))
        self.assertGreater(row["up_after"], 0)
        self.assertEqual(row["installation"], 1)
        self.assertEqual(self.status()["totals"]["up_refused"], 0)

        armed = subprocess.run([os.path.join(locations.SOURCE_DIR, "media", "serve-lab"),
                                "--arm", mac, "--state-dir", self.state_dir, self.outdir],
                               capture_output=True, text=True)
        self.assertEqual(armed.returncode, 0, armed.stderr)
        self.assertIn("armed (up until now)", armed.stdout)
        machine.send("reboot -f\n")
        machine.expect(re.compile(r"(?s)Welcome to Korvanel.*" + re.escape(runs.INSTALLED)),
                       timeout=runs.INSTALL_TIMEOUT)
        machine.expect(runs.SYSTEM_UP, timeout=runs.BOOT_TIMEOUT)
        row = self.wait_for_phase(mac, "up")
        self.assertEqual(row["installation"], 2)
        self.assertEqual(machine.transcript().count("Welcome to Korvanel"), 2)
        totals = self.status()["totals"]
        self.assertEqual((totals["up"], totals["rearmed"], totals["up_refused"]), (2, 1, 0))
        machine.close()
        self.stop_and_check_nothing_is_left(signal.SIGTERM, "SIGTERM")
        events = [json.loads(line) for line in open(os.path.join(self.log_dir, "events.jsonl"))]
        self.assertEqual([event["event"] for event in events if event["event"] == "up"],
                         ["up", "up"])
        print(f"\nrestarting machine: Software installed at {installed:.0f} s, installed "
              f"system's line at {system_line:.0f} s, up on the board at {up:.0f} s "
              f"(up after {row['up_after']:.0f} s of the second installation)", file=sys.stderr)
        print("  after Software installed: " + ", ".join(
            f"{what} +{at - installed:.1f} s" for what, at in restart) +
            f", installed system's line +{system_line - installed:.1f} s, up on the board "
            f"+{up - installed:.1f} s", file=sys.stderr)

    def test_two_segments_served_by_one_lab(self):
        """serve-lab on two interfaces: one dnsmasq and one server for both
        segments; a machine on each installs once, boots its disk and is up."""
        self.network.add_second_segment()
        self.serve(bridges=(BRIDGE, SECOND_BRIDGE))
        output = self.network.lab_output()
        self.assertIn("addresses: 10.44.0.128 to 10.44.0.254 (127) on br0", output)
        self.assertIn("addresses: 10.45.0.128 to 10.45.0.254 (127) on br1", output)
        macs = ["52:54:00:4c:00:60", "52:54:00:4c:00:61"]
        machines = [self.power_on(0x60, restarts=True, bridge=BRIDGE)[0],
                    self.power_on(0x61, restarts=True, bridge=SECOND_BRIDGE)[0]]
        watch(machines, [runs.INSTALLED, "Korvanel is up"], LAB_TIMEOUT)
        rows = [self.wait_for_phase(mac, "up") for mac in macs]
        for machine in machines:
            self.assertEqual(machine.transcript().count(WELCOME), 1)
            machine.close()
        self.assertEqual([row["installation"] for row in rows], [1, 1])
        self.stop_and_check_nothing_is_left(signal.SIGTERM, "SIGTERM")
        dhcp = self.log("dnsmasq.log")
        self.assertRegex(dhcp, r"DHCPACK\(br0\) 10\.44\.0\.\d+ 52:54:00:4c:00:60")
        self.assertRegex(dhcp, r"DHCPACK\(br1\) 10\.45\.0\.\d+ 52:54:00:4c:00:61")
        log = self.log("netinstall-server.log")
        self.assertIn("br0", log)
        self.assertIn("br1", log)
        self.assertEqual(completed(log), 2)

    def test_eight_machines_installed_once_and_up(self):
        """Eight machines powered on together, network boot first, restarts
        left to them: each installs exactly once and is up; the page is read
        in Chromium during the run and at its end."""
        self.serve()
        started = time.monotonic()
        machines = [self.power_on(0x50 + index, restarts=True)[0] for index in range(8)]
        texts = [WELCOME, runs.INSTALLED, "Korvanel is up"]
        page = re.search(r"status page: (\S+)", self.network.lab_output()).group(1)
        seen = watch(machines, texts[:2], LAB_TIMEOUT, started)
        during = server_views.rows(server_views.browser(page, self.workdir))
        self.assertEqual(len(during), 8, during)
        seen_up = watch(machines, texts[2:], LAB_TIMEOUT, started)
        up_at = {}
        deadline = time.monotonic() + 300
        while len(up_at) < 8:
            for row in self.status()["machines"]:
                if row["phase"] == "up" and row["mac"] not in up_at:
                    up_at[row["mac"]] = time.monotonic() - started
            self.assertLess(time.monotonic(), deadline, self.status())
            time.sleep(1)
        picture = os.environ.get("KORVANEL_LAB_SCREENSHOT",
                                 os.path.join(self.workdir, "lab-status-page.png"))
        server_views.browser(page, self.workdir, screenshot=picture, size="1200,420")
        after = server_views.rows(server_views.browser(page, self.workdir))
        self.assertEqual(set(after.values()), {"up"}, after)
        for machine in machines:
            self.assertEqual(machine.transcript().count(WELCOME), 1)
            machine.close()
        totals = self.status()["totals"]
        self.assertEqual((totals["done"], totals["up"], totals["up_refused"]), (8, 8, 0))
        self.stop_and_check_nothing_is_left(signal.SIGTERM, "SIGTERM")
        ups = sorted(up_at.values())
        installed = sorted(found[runs.INSTALLED] for found in seen)
        lines = sorted(found["Korvanel is up"] for found in seen_up)
        print(f"\neight machines, power-on to up: min {ups[0]:.0f} s, median "
              f"{statistics.median(ups):.0f} s, max {ups[-1]:.0f} s; Software installed: "
              f"median {statistics.median(installed):.0f} s; installed system's line: median "
              f"{statistics.median(lines):.0f} s; page: {picture}", file=sys.stderr)

    def test_three_routers_of_an_inventory_each_its_own(self):
        """The sample lab's three routers (two of group office, one of edge
        with its own packages), on this test's addresses: each disk has its
        own hostname, addresses and secret and no other's; a machine the
        inventory does not name waits until armed; a second machine with an
        installed router's address gets nothing."""
        example = os.path.join(locations.SOURCE_DIR, "media", "lab-example")
        inventory = os.path.join(self.workdir, "inventory.toml")
        with open(os.path.join(example, "inventory.toml")) as text:
            lines = text.read()
        names = {"office-1": 1, "office-2": 2, "edge-1": 3}
        for name, index in names.items():
            lines = lines.replace(f'mac = "52:54:00:12:34:0{index}"',
                                  f'mac = "52:54:00:4c:00:{index:02x}"')
        # QEMU's machines have no label floppy: they report the default.
        lines = lines.replace('disk_label = "edge-1"', 'disk_label = "korvanel"')
        lines = lines.replace('templates = "templates"',
                              f'templates = "{os.path.join(example, "templates")}"')
        with open(inventory, "w") as text:
            text.write(lines)
        started = time.monotonic()
        folder = runs.build_media("net", "--inventory", inventory, "--secrets",
                                  os.path.join(example, "secrets.toml"),
                                  outdir=os.path.join(self.workdir, "net"))
        os.chmod(self.workdir, 0o755)  # dnsmasq serves the boot files as nobody
        self.serve(folder=folder)
        machines = [self.power_on(index) for index in names.values()]
        stranger, _ = self.power_on(9)
        watch([machine for machine, _ in machines], [runs.INSTALLED], runs.INSTALL_TIMEOUT)
        for machine, _ in machines:
            machine.wait_for_restart(timeout=runs.BOOT_TIMEOUT)
            machine.close()
        installed = time.monotonic() - started
        # Not named: it waits, held, until the operator lets it in.
        stranger.expect("Waiting for installation server...", timeout=runs.INSTALL_TIMEOUT)
        row = self.wait_for_phase("52:54:00:4c:00:09", "held")
        self.assertIn("not in the lab's inventory", row["reason"])
        for name, index in names.items():
            row = self.wait_for_phase(f"52:54:00:4c:00:{index:02x}", "done", timeout=60)
            self.assertEqual(row["name"], name)
            self.assertEqual(row["group"], "edge" if name == "edge-1" else "office")
        armed = subprocess.run([os.path.join(locations.SOURCE_DIR, "media", "serve-lab"),
                                "--arm", "52:54:00:4c:00:09", "--state-dir", self.state_dir,
                                folder], capture_output=True, text=True)
        self.assertEqual(armed.returncode, 0, armed.stderr)
        stranger.expect(runs.INSTALLED, timeout=runs.INSTALL_TIMEOUT)
        stranger.close()
        # Another machine with office-1's address, once office-1 is done: its
        # firmware is told to boot its own (blank) disk, and no installer
        # of it ever starts (the server's hold behind that: lab_net_test).
        clone = self.boot(None, network_boot=True, disks=[runs.scratch_disk(
            self, runs.SMALL_DISK_BYTES)], memory_mb=MEMORY_MB,
            nics=[self.network.add_machine()], macs=["52:54:00:4c:00:01"])
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline and clone.hold(1):
            pass
        self.assertNotIn(WELCOME, clone.transcript())
        clone.close()
        self.assertRegex(self.log("dnsmasq.log"), r"sent \S*/pxelinux\.cfg/01-52-54-00-4c-00-01 ")
        self.assertEqual(self.wait_for_phase("52:54:00:4c:00:01", "done")["installation"], 1)
        self.stop_and_check_nothing_is_left(signal.SIGTERM, "SIGTERM")
        log = self.log("netinstall-server.log")
        events = open(os.path.join(self.log_dir, "events.jsonl")).read()
        for name, index in names.items():
            disk = machines[index - 1][1]
            script = InstalledDisk(disk).file_system(1).read("/autorun.scr").decode()
            self.assertIn(f"hostname {name}\n", script)
            self.assertIn(f'"{name}@isp.example" * "{name}-secret"', script)
            for other in names:
                if other != name:
                    self.assertNotIn(f"{other}-secret", script)
                    self.assertNotIn(f"hostname {other}\n", script)
            self.assertNotIn(f"{name}-secret", log)
            self.assertNotIn(f"{name}-secret", events)
            edge = InstalledDisk(disk).file_system(1).status("/var/pdb/pppoe")
            self.assertEqual(edge is not None, name == "edge-1", name)
        machine = runs.boot(self, disks=[machines[2][1]])
        machine.expect("Korvanel is up on edge-1. Packages:", timeout=runs.BOOT_TIMEOUT)
        machine.close()
        print(f"\nthree routers of an inventory (and one held until armed): installed "
              f"{installed:.0f} s after the media build began", file=sys.stderr)

    def test_sixteen_machines_powered_on_together(self):
        self.serve()
        broadcasts = BroadcastCount(self.workdir)
        self.addCleanup(broadcasts.close)
        started = time.monotonic()
        machines = [self.power_on(index) for index in range(16)]
        seen = watch([machine for machine, _ in machines], [text for _, text in MILESTONES],
                     LAB_TIMEOUT, started)
        installed = [found[runs.INSTALLED] for found in seen]
        for machine, _ in machines:
            machine.wait_for_restart(timeout=runs.BOOT_TIMEOUT)
            machine.close()
        wall = time.monotonic() - started
        self.stop_and_check_nothing_is_left(signal.SIGTERM, "SIGTERM")
        print(f"\nsixteen machines: power-on to Software installed: min {min(installed):.0f} s, "
              f"median {statistics.median(installed):.0f} s, max {max(installed):.0f} s; "
              f"whole run {wall:.0f} s", file=sys.stderr)
        print(tftp_report(self.log("dnsmasq.log")), file=sys.stderr)
        for what, text in MILESTONES:
            at = sorted(found[text] for found in seen)
            print(f"  {what}: min {at[0]:.0f} s, median {statistics.median(at):.0f} s, "
                  f"max {at[-1]:.0f} s", file=sys.stderr)
        print(f"discovery and driver broadcasts per machine: {broadcasts.per_machine()}",
              file=sys.stderr)
        self.assertEqual(completed(self.log("netinstall-server.log")), 16,
                         self.log("netinstall-server.log"))
        self.assertEqual(len(set(re.findall(r"DHCPACK\(br0\) (\S+) (\S+)",
                                            self.log("dnsmasq.log")))), 16)
        for _, disk in machines:
            self.check_disk(disk)

    def test_proxy_dhcp_beside_another_dhcp_server(self):
        other = OtherDhcpServer(self.workdir)
        self.addCleanup(other.close)
        self.serve("--proxy-dhcp")
        self.assertIn("proxy DHCP on 10.44.0.0/24", self.network.lab_output())
        machine, disk = self.power_on(0)
        machine.expect(runs.INSTALLED, timeout=runs.INSTALL_TIMEOUT)
        machine.wait_for_restart(timeout=runs.BOOT_TIMEOUT)
        machine.close()
        self.stop_and_check_nothing_is_left(signal.SIGTERM, "SIGTERM")
        # The address came from the other server; ours only named the boot file.
        self.assertIn("52:54:00:4c:00:00", other.leases())
        self.assertNotIn("DHCPACK(br0)", self.log("dnsmasq.log"))
        self.assertIn("proxy", self.log("dnsmasq.log"))
        self.check_disk(disk)


def milestones_until(machine, milestones, until, timeout, started):
    """Lets one machine run until `until` (a regular expression) appears
    after its last match; returns [(what, seconds from `started`)] for the
    `milestones` ((what, regular expression), each looked for after the one
    before) seen on the way. Only for the record: the first milestone that
    never shows ends the list."""
    start = len(machine.transcript())
    seen = []
    deadline = time.monotonic() + timeout
    position = 0
    while True:
        running = machine.hold(0.05)
        text, now = machine.transcript()[start:], time.monotonic() - started
        while len(seen) < len(milestones):
            what, pattern = milestones[len(seen)]
            match = pattern.search(text, position)
            if match is None:
                break
            seen.append((what, now))
            position = match.end()
        if until.search(text) or not running or time.monotonic() > deadline:
            return seen


def watch(machines, texts, timeout, started=None):
    """Lets the machines run side by side, reading each one's console in
    turn, until every one has shown every text; returns, per machine,
    {text: seconds from `started` (a time.monotonic(), default now) until
    it first appeared}. A machine that ends first, or a run beyond
    `timeout`, fails."""
    started = time.monotonic() if started is None else started
    seen = [{} for _ in machines]
    while any(len(found) < len(texts) for found in seen):
        for machine, found in zip(machines, seen):
            if len(found) == len(texts):
                continue
            running = machine.hold(0.05)
            transcript, now = machine.transcript(), time.monotonic() - started
            for text in texts:
                if text not in found and text in transcript:
                    found[text] = now
            if len(found) < len(texts) and (not running or now > timeout):
                missing = [text for text in texts if text not in found]
                raise AssertionError(f"{machine.config.mac(0)} never showed {missing} "
                                     f"({now:.0f} s):\n{transcript[-3000:]}")
    return seen


def _log_events(dnsmasq_log):
    """(seconds, what) of dnsmasq's DHCP and TFTP lines, at its one-second
    resolution."""
    events = []
    for line in dnsmasq_log.splitlines():
        found = re.match(r"(\w+ +\d+ [\d:]+) dnsmasq-(dhcp|tftp)\[\d+\]: (.*)", line)
        if found:
            stamp = time.mktime(time.strptime(f"2000 {found.group(1)}", "%Y %b %d %H:%M:%S"))
            events.append((stamp, found.group(3)))
    return events


def tftp_report(dnsmasq_log):
    """What TFTP carried (dnsmasq's "sent" lines): files, bytes, machines,
    and when each file was sent after the first DHCP discovery."""
    events = _log_events(dnsmasq_log)
    sent = [(stamp, found.groups()) for stamp, text in events
            if (found := re.match(r"sent (\S+) to (\S+)", text))]
    if not sent:
        return "TFTP: nothing sent"
    total = sum(os.path.getsize(path) for _, (path, _) in sent if os.path.exists(path))
    start = next((stamp for stamp, text in events if "DHCPDISCOVER" in text), sent[0][0])
    machines = len({client for _, (_, client) in sent})
    lines = [f"TFTP: {len(sent)} files, {total / 1e6:.1f} MB to {machines} machines, "
             f"first to last {sent[-1][0] - sent[0][0]:.0f} s"]
    if machines == 1:
        acked = next((stamp for stamp, text in events if "DHCPACK" in text), None)
        if acked is not None:
            lines.append(f"  address (DHCPACK): {acked - start:.0f} s after the first discovery")
        lines += [f"  {os.path.basename(path)} sent: {stamp - start:.0f} s"
                  for stamp, (path, _) in sent]
    return "\n".join(lines)


class BroadcastCount:
    """The installers' broadcasts to the protocol's port (discoveries and
    driver requests; the server's replies go to one machine each), recorded
    on the bridge with tcpdump: more than one of each per machine means a
    machine waited a further discovery cycle."""

    def __init__(self, workdir):
        self._capture = os.path.join(workdir, "broadcasts.pcap")
        self._tcpdump = subprocess.Popen(
            ["tcpdump", "-i", BRIDGE, "-n", "-w", self._capture, "udp port 5000 and ether "
             "broadcast"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            preexec_fn=die_with_parent)
        time.sleep(1)  # it listens before the first machine starts

    def per_machine(self):
        self.close()
        read = subprocess.run(["tcpdump", "-r", self._capture, "-n", "-e"], capture_output=True,
                              text=True)
        senders = re.findall(r"^\S+ ([0-9a-f:]{17}) > ff:ff:ff:ff:ff:ff", read.stdout,
                             re.MULTILINE)
        return sorted(senders.count(mac) for mac in set(senders))

    def close(self):
        if self._tcpdump.poll() is None:
            self._tcpdump.terminate()
            self._tcpdump.wait(timeout=10)


class OtherDhcpServer:
    """A DHCP server that hands out addresses only (no boot file), in a
    network namespace of its own behind a veth port on the bridge: the
    segment's own DHCP server in the proxy run."""

    def __init__(self, workdir):
        self._lease_file = os.path.join(workdir, "other-dhcp.leases")
        self._holder = subprocess.Popen(["unshare", "--net", "sleep", "3600"],
                                        preexec_fn=die_with_parent)
        for _ in range(100):
            if os.readlink(f"/proc/{self._holder.pid}/ns/net") != os.readlink(
                    "/proc/self/ns/net"):
                break
            time.sleep(0.05)
        subprocess.run(["ip", "link", "add", "otherdhcp0", "type", "veth", "peer", "name",
                        "otherdhcp1"], check=True)
        subprocess.run(["ip", "link", "set", "otherdhcp1", "master", BRIDGE, "up"], check=True)
        subprocess.run(["ip", "link", "set", "otherdhcp0", "netns", str(self._holder.pid)],
                       check=True)
        inside = ["nsenter", "-t", str(self._holder.pid), "-n"]
        subprocess.run(inside + ["ip", "addr", "add", "10.44.0.2/24", "dev", "otherdhcp0"],
                       check=True)
        subprocess.run(inside + ["ip", "link", "set", "otherdhcp0", "up"], check=True)
        self._server = subprocess.Popen(
            inside + ["dnsmasq", "--keep-in-foreground", "--conf-file=/dev/null", "--pid-file=",
                      "--port=0", "--interface=otherdhcp0", "--bind-interfaces", "--no-ping",
                      f"--dhcp-range={OTHER_DHCP[0]},{OTHER_DHCP[1]},255.255.255.0,1h",
                      f"--dhcp-leasefile={self._lease_file}"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, preexec_fn=die_with_parent)

    def leases(self):
        try:
            with open(self._lease_file) as leases:
                return leases.read()
        except FileNotFoundError:
            return ""

    def close(self):
        for process in (self._server, self._holder):
            if process.poll() is None:
                process.terminate()
                process.wait(timeout=10)
        subprocess.run(["ip", "link", "del", "otherdhcp1"], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)


if __name__ == "__main__":
    unittest.main()
