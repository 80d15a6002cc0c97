"""Network installations on whole machines against our server.

Each machine boots the network medium; its card sits on a tap device bridged
with netinstall-server inside a network namespace of the test's own
(install_network.py). The server hands out the disk drivers with the tools,
three packages that depend on each other, autorun.scr with mark 1 and a held
script with mark 0. After the restart the disk image is read back with
util-linux and e2fsprogs, without mounting anything.
"""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

import installer_texts as texts
import server_views
from bootimage import locations
from console_text import KERNEL_MESSAGE, installer_lines, plain_lines
from install_network import InstallNetwork
from machine_case import MachineTestCase
from bootimage.network_medium import network_initramfs, pack, write_driver_package

CYLINDER_SECTORS = 255 * 63
SECTOR = 512
INSTALL_TIMEOUT = 900  # software emulation on a shared machine: generous
AUTORUN = "# from the installation server\nhostname lab-router\n"
HELD_SCRIPT = "# HELD-SCRIPT-4f1c9e: for the installer's eyes only\n"
FSTAB = ("/dev/sda1  /     ext3 defaults 1 1\nnone /proc proc defaults 0 0\n"
         "none /dev/pts devpts gid=5,mode=620 0 0\n")
LILO_CONF = ("boot=/dev/sda1\nmap=/boot/map\ninstall=/boot/boot.b\nlba32\nimage=/boot/vmlinuz\n"
             "  label=System\n  root=/dev/sda1\n  read-only\n")
# Each needs the one before: the server sends them in that order.
PACKAGES = {
    "zbase": ({"etc/issue": ("Korvanel\n", 0o644), "usr/bin/hello": ("echo hi\n", 0o755)}, ()),
    "netutils": ({"etc/netutils.conf": ("if=eth0\n", 0o600)}, ("zbase",)),
    "admin": ({"srv/www/index.html": ("<h1>Korvanel</h1>\n" * 12000, 0o644)}, ("netutils",)),
}


def write_file(path, data, mode=0o644):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as out:
        out.write(data)
    os.chmod(path, mode)


def tree_files(root):
    """{relative path: (mode, contents)} of the files below `root`."""
    found = {}
    for directory, _, files in os.walk(root):
        for name in files:
            path = os.path.join(directory, name)
            with open(path, "rb") as data:
                found[os.path.relpath(path, root)] = (os.stat(path).st_mode & 0o7777, data.read())
    return found


def serve_tree(workdir):
    """The server's root, and {package: the tree it was packed from}."""
    root, trees = os.path.join(workdir, "served"), {}
    os.makedirs(os.path.join(root, "drivers"))
    os.makedirs(os.path.join(root, "packages"))
    for name, (files, depends) in PACKAGES.items():
        trees[name] = os.path.join(workdir, "packages", name)
        for path, (contents, mode) in files.items():
            write_file(os.path.join(trees[name], path), contents, mode)
        pack(trees[name], os.path.join(root, "packages", f"{name}.bdl"), name, depends=depends)
    write_file(os.path.join(root, "scripts", "autorun.scr"), AUTORUN)
    write_file(os.path.join(root, "held-scripts", "held.scr"), HELD_SCRIPT)
    write_driver_package(os.path.join(root, "drivers", f"{locations.kernel_release()}.bdl"),
                         workdir)
    return root, trees


def disk_image(path, cylinders, old_root=None):
    """A blank sparse disk, or one an earlier installation left: one
    partition one track in, ext3 holding `old_root`."""
    with open(path, "wb") as image:
        image.truncate(cylinders * CYLINDER_SECTORS * SECTOR)
    if old_root:
        sectors = cylinders * CYLINDER_SECTORS - 63
        subprocess.run(["sfdisk", "--no-reread", "--no-tell-kernel", "-q", path], check=True,
                       input=f"start=63, size={sectors}, type=83, bootable\n", text=True)
        subprocess.run(["mke2fs", "-q", "-F", "-t", "ext3", "-d", old_root, "-E",
                        f"offset={63 * SECTOR}", path, str(sectors * SECTOR // 1024)], check=True)
    return path


def label_floppy(path, text):
    subprocess.run(["mkfs.vfat", "-C", path, "1440"], check=True, stdout=subprocess.DEVNULL)
    write_file(path + ".txt", text)
    subprocess.run(["mcopy", "-i", path, path + ".txt", "::label.txt"], check=True)
    return path


class NetworkInstallation(MachineTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        try:
            for program in ("netinstall-server", "bdl"):
                locations.host_program(program)
            network_initramfs()
            with open(os.path.join(locations.i386_dir(), "bootcode.bin"), "rb") as code:
                cls.boot_code = code.read()
        except (locations.MissingPrerequisite, OSError) as missing:
            raise unittest.SkipTest(str(missing))

    def setUp(self):
        self.workdir = tempfile.mkdtemp(prefix="korvanel-netinstall-")
        self.addCleanup(shutil.rmtree, self.workdir, True)
        self.network = InstallNetwork(self.workdir)
        self.addCleanup(self.network.close)
        self.started = time.monotonic()

    def boot_installer(self, disk, mac, floppy=None, package_key=None):
        return self.boot(network_initramfs(package_key=package_key), disks=[disk],
                         floppy=floppy, macs=[mac], nics=[self.network.add_machine()],
                         memory_mb=128)

    def finish(self, machine, expected_lines):
        """Waits for the restart; every line the installer showed."""
        machine.expect(texts.PRESS_ENTER, timeout=INSTALL_TIMEOUT)
        machine.wait_for_restart(timeout=120)
        shown = texts.fold_progress(texts.fold_dots(installer_lines(machine.transcript())))
        self.assertEqual(shown, expected_lines, "\n".join(shown))
        # While the installer runs, kernel messages stay off its console but
        # for emergencies (the watchdog's soft-lockup report is one: an
        # emulated machine on a busy host sees its clock jump).
        lines = plain_lines(machine.transcript())
        running = lines[lines.index(expected_lines[0]):lines.index(texts.REBOOTING)]
        self.assertEqual([line for line in running if KERNEL_MESSAGE.match(line)
                          and "soft lockup" not in line], [])

    def report_time(self, what):
        print(f"\n{what}: {time.monotonic() - self.started:.0f} s", file=sys.stderr)

    def check_installed(self, image, trees, cylinders):
        """The table, the boot code and the new system's files; returns
        where the root's files were copied to."""
        dump = subprocess.run(["sfdisk", "--json", image], capture_output=True, check=True)
        partitions = json.loads(dump.stdout)["partitiontable"]["partitions"]
        self.assertEqual(len(partitions), 2 if cylinders > 1023 else 1, partitions)
        self.assertEqual((partitions[0]["start"], partitions[0].get("bootable")), (63, True))
        for partition in partitions:
            self.assertEqual(partition["type"], "83")
            self.assertEqual((partition["start"] + partition["size"]) % CYLINDER_SECTORS, 0)
        self.assertEqual(partitions[-1]["start"] + partitions[-1]["size"],
                         cylinders * CYLINDER_SECTORS)
        with open(image, "rb") as disk:
            sector = disk.read(SECTOR)
        code = len(self.boot_code)
        self.assertEqual(sector[:446], self.boot_code + bytes(446 - code))
        self.assertEqual(sector[510:], b"\x55\xaa")

        root = os.path.join(self.workdir, "read-back-" + os.path.basename(image))
        os.makedirs(root)
        subprocess.run(["debugfs", "-R", f"rdump / {root}",
                        f"{image}?offset={partitions[-1]['start'] * SECTOR}"],
                       check=True, capture_output=True)
        installed = tree_files(root)
        if cylinders > 1023:
            self.assertIn(b"/dev/sda2  /     ext3", installed["etc/fstab"][1])
            self.assertIn(b"/dev/sda1  /boot ext2", installed["etc/fstab"][1])
            self.assertIn(b"  root=/dev/sda2\n", installed["etc/lilo.conf"][1])
        else:
            self.assertEqual(installed["etc/fstab"], (0o644, FSTAB.encode()))
            self.assertEqual(installed["etc/lilo.conf"], (0o644, LILO_CONF.encode()))
        self.assertEqual(installed["CDINSTALL"], (0o600, b""))
        for name, tree in trees.items():
            for path, entry in tree_files(tree).items():
                self.assertEqual(installed.get(path), entry, f"{path} of {name}")
            self.assertIn(f"var/pdb/{name}", installed)
        self.assertEqual(installed["autorun.scr"][1], AUTORUN.encode())
        self.assertEqual([path for path, (_, data) in installed.items() if b"HELD-SCRIPT" in data],
                         [], "the mark-0 script went to /empty, not to the disk")
        return root

    def test_one_machine_with_a_label_floppy(self):
        root, trees = serve_tree(self.workdir)
        events = os.path.join(self.workdir, "events.jsonl")
        server = self.network.start_server(root, extra=["--events", events]).upper()
        disk = disk_image(os.path.join(self.workdir, "disk.img"), 16)
        # Blanks go, punctuation stays; only the first line counts.
        floppy = label_floppy(os.path.join(self.workdir, "floppy.img"),
                              "Lab 7: rack #3!\r\nsecond line\n")
        self.started = time.monotonic()
        machine = self.boot_installer(disk, "52:54:00:12:34:56", floppy)
        self.finish(machine, texts.network_installation("52:54:00:12:34:56", "Lab7:rack#3!",
                                                        server, scripts=2))
        self.report_time("one network installation, boot to restart")
        self.check_installed(disk, trees, 16)
        for event in ('found, disk label "Lab7:rack#3!"', "started: 3 packages, 2 scripts", "done"):
            self.assertIn(f"52:54:00:12:34:56 {event}\n", self.network.log())
        # The events file tells what the log tells, line for line, and more.
        self.network.stop_server()
        recorded = server_views.file_events(events)
        self.assertEqual([(event["machine"] or "", event["text"]) for event in recorded],
                         server_views.log_events(self.network.log()))
        mine = [event for event in recorded if event["machine"] == "52:54:00:12:34:56"]
        self.assertEqual([event["event"] for event in mine[:5]],
                         ["drivers", "sending", "sent", "found", "offered"])
        self.assertEqual(mine[3]["label"], "Lab7:rack#3!")
        started = next(event for event in mine if event["event"] == "started")
        self.assertEqual((started["packages"], started["scripts"], started["files"]), (3, 2, 5))
        self.assertEqual(started["bytes"], sum(
            os.path.getsize(os.path.join(directory, name))
            for directory in (os.path.join(root, "packages"), os.path.join(root, "scripts"),
                              os.path.join(root, "held-scripts"))
            for name in os.listdir(directory)))
        sent = [event for event in mine if event["event"] == "sent"]
        self.assertEqual(sum(event["bytes"] for event in sent[1:]), started["bytes"])
        self.assertEqual(mine[-1]["event"], "done")
        self.assertIn("summary: machines 1  installing 0  done 1  failed 0", self.network.log())

    def test_server_with_keep_brings_the_old_configuration_back(self):
        old = os.path.join(self.workdir, "old-system")
        write_file(os.path.join(old, "tarn/store/etc/hostname"), "branch-office\n")
        write_file(os.path.join(old, "tarn/store/net/secrets"), "psk=0123456789\n", 0o600)
        write_file(os.path.join(old, "old-system-only"), "gone after the installation\n")
        root, trees = serve_tree(self.workdir)
        server = self.network.start_server(root, keep=True).upper()
        disk = disk_image(os.path.join(self.workdir, "disk.img"), 16, old_root=old)
        self.started = time.monotonic()
        machine = self.boot_installer(disk, "52:54:00:12:34:57")
        self.finish(machine, texts.network_installation("52:54:00:12:34:57", "korvanel", server,
                                                        keep=True, scripts=2))
        self.report_time("network installation keeping the configuration")
        installed = self.check_installed(disk, trees, 16)
        self.assertEqual(tree_files(os.path.join(installed, "tarn/store")),
                         tree_files(os.path.join(old, "tarn/store")))
        self.assertFalse(os.path.exists(os.path.join(installed, "old-system-only")))

    def test_four_machines_at_once(self):
        root, trees = serve_tree(self.workdir)
        page = "http://127.0.0.1:8080/"
        server = self.network.start_server(root, extra=["--status", "127.0.0.1:8080"]).upper()
        cylinders = [16, 16, 24, 1100]  # the last: a boot partition and a root
        self.started = time.monotonic()
        machines = []
        for index, size in enumerate(cylinders):
            disk = disk_image(os.path.join(self.workdir, f"disk{index}.img"), size)
            mac = f"52:54:00:12:35:{index:02X}"
            machines.append((self.boot_installer(disk, mac), disk, mac, size))
        # The page while the drivers travel (the largest files here): a row
        # per machine. The picture goes where KORVANEL_SCREENSHOT says
        # (docs/status-page.png).
        deadline = time.monotonic() + INSTALL_TIMEOUT
        while self.network.log().count(" asks for the drivers of kernel") < 4:
            self.assertLess(time.monotonic(), deadline, self.network.log())
            machines[0][0].hold(0.2)
        picture = os.environ.get("KORVANEL_SCREENSHOT",
                                 os.path.join(self.workdir, "status-page.png"))
        server_views.browser(page, self.workdir, screenshot=picture, size="1200,330")
        print(f"\nstatus page during the run: {picture}", file=sys.stderr)
        during = server_views.rows(server_views.browser(page, self.workdir))
        self.assertEqual(sorted(during), sorted(mac for _, _, mac, _ in machines), during)
        self.assertLessEqual(set(during.values()), {"drivers", "offered", "installing", "done"},
                             during)
        for machine, _, mac, size in machines:
            self.finish(machine, texts.network_installation(mac, "korvanel", server, scripts=2,
                                                            checked=size <= 1023))
        self.report_time("four network installations at once, first boot to last restart")
        for _, disk, _, size in machines:
            self.check_installed(disk, trees, size)
        self.assertEqual(self.network.log().count(" done\n"), 4, self.network.log())
        after = server_views.rows(server_views.browser(page, self.workdir))
        self.assertEqual(after, {mac: "done" for _, _, mac, _ in machines})

    def test_a_rogue_server_answering_first_installs_nothing(self):
        """The medium carries the operator's key, and everything the
        operator serves is signed with it and listed in the operator's
        release list. A rogue server answers first: it replays the
        operator's list, drivers and packages (anyone can copy them), but
        hands out a package of its own, signed with its own key, in place of
        one of them."""
        bdl = locations.host_program("bdl")
        keys = {who: os.path.join(self.workdir, who) for who in ("operator", "rogue")}
        for key in keys.values():
            subprocess.run([bdl, "keygen", key], check=True, stdout=subprocess.DEVNULL)
        root, _ = serve_tree(self.workdir)
        drivers = os.path.join(root, "drivers", f"{locations.kernel_release()}.bdl")
        packages = [os.path.join(root, "packages", f"{name}.bdl") for name in PACKAGES]
        for package in [drivers] + packages:
            subprocess.run([bdl, "sign", "--key", keys["operator"], package], check=True)
        scripts = [os.path.join(root, "scripts", "autorun.scr"),
                   os.path.join(root, "held-scripts", "held.scr")]
        subprocess.run([bdl, "release", "--key", keys["operator"], "--number", "1",
                        os.path.join(root, "release.lst"), *packages, *scripts,
                        "--driver", drivers], check=True, stdout=subprocess.DEVNULL)
        rogue = os.path.join(self.workdir, "rogue-served")
        shutil.copytree(root, rogue)
        payload = "ROGUE-PAYLOAD-5e2b\n"
        rogue_tree = os.path.join(self.workdir, "rogue-tree")
        write_file(os.path.join(rogue_tree, "etc/rc.d/rc.rogue"), payload, 0o755)
        write_file(os.path.join(rogue_tree, "srv/filler"), payload * 200000)  # several chunks
        package = pack(rogue_tree, os.path.join(self.workdir, "zbase.bdl"), "zbase", "9.9")
        subprocess.run([bdl, "sign", "--key", keys["rogue"], package], check=True)
        with open(keys["operator"] + ".pub") as public:
            operator_key = public.read()

        rogue_mac = self.network.start_server(rogue).upper()
        # Swapped in once the rogue's own server has checked its copy.
        shutil.copy(package, os.path.join(rogue, "packages", "zbase.bdl"))
        disk = disk_image(os.path.join(self.workdir, "disk.img"), 16)
        self.started = time.monotonic()
        machine = self.boot_installer(disk, "52:54:00:12:34:58", package_key=operator_key)
        machine.expect(f"Found server at {rogue_mac}", timeout=INSTALL_TIMEOUT)
        # The operator's server joins the segment: too late for this machine.
        self.network.start_server(root, name="operator")
        machine.expect(texts.PRESS_ENTER, timeout=INSTALL_TIMEOUT)
        machine.send("\r")
        machine.wait_for_restart(timeout=120)
        self.report_time("rogue server answering first, boot to restart")
        shown = texts.fold_progress(texts.fold_dots(installer_lines(machine.transcript())))
        print("\n".join(["console:"] + shown[shown.index("Retrieving drivers..."):]),
              file=sys.stderr)

        def key_id(path):
            with open(path) as public:
                return public.read().split("key: ")[1][:16]
        # The first block of the rogue package is already past the size of the
        # listed one: it is refused before the package child sees it.
        refusal = (f"FATAL ERROR: zbase.bdl does not match release 1: longer than the "
                   f"{os.path.getsize(packages[0])} bytes listed")
        expected = texts.network_installation("52:54:00:12:34:58", "korvanel", rogue_mac)
        expected.remove(texts.UNVERIFIED)
        expected.insert(expected.index("Retrieving drivers..."),
                        f"Release 1 of Korvanel, signed with key {key_id(keys['operator'] + '.pub')}")
        expected = expected[:expected.index("Writing configuration...") - 1] + [
            "", "", refusal, texts.PRESS_ENTER, "", texts.REBOOTING]
        self.assertEqual(shown, expected, "\n".join(shown))
        self.assertNotIn(texts.INSTALLED, shown)
        self.assertIn("sending zbase.bdl", self.network.log())
        self.assertNotIn("took the offer", self.network.log("operator"))

        # The disk was prepared; nothing of the rogue package is on it.
        dump = subprocess.run(["sfdisk", "--json", disk], capture_output=True, check=True)
        start = json.loads(dump.stdout)["partitiontable"]["partitions"][0]["start"]
        installed = os.path.join(self.workdir, "read-back")
        os.makedirs(installed)
        subprocess.run(["debugfs", "-R", f"rdump / {installed}", f"{disk}?offset={start * SECTOR}"],
                       check=True, capture_output=True)
        files = tree_files(installed)
        self.assertIn("etc/fstab", files)
        self.assertEqual([path for path, (_, data) in files.items() if b"ROGUE-PAYLOAD" in data], [])
        self.assertEqual([path for path in files if path.startswith(("srv/", "var/pdb/"))
                          or path in ("etc/rc.d/rc.rogue", "CDINSTALL")], [])

    def test_server_killed_mid_file_and_restarted(self):
        """The server dies while a package is on its way: the installer says
        so in one line and restarts after ENTER; the server is started again,
        and an installation onto the same disk succeeds."""
        root, trees = serve_tree(self.workdir)
        # Several MiB that do not compress: still travelling when the server dies.
        trees["bulk"] = os.path.join(self.workdir, "packages", "bulk")
        os.makedirs(os.path.join(trees["bulk"], "var"))
        with open(os.path.join(trees["bulk"], "var", "bulk"), "wb") as bulk:
            bulk.write(os.urandom(8 << 20))
        pack(trees["bulk"], os.path.join(root, "packages", "bulk.bdl"), "bulk", depends=("admin",))
        server = self.network.start_server(root).upper()
        disk = disk_image(os.path.join(self.workdir, "disk.img"), 16)
        mac = "52:54:00:12:34:58"
        machine = self.boot_installer(disk, mac)
        deadline = time.monotonic() + INSTALL_TIMEOUT
        while f"{mac} sending bulk.bdl" not in self.network.log():
            self.assertLess(time.monotonic(), deadline, self.network.log())
            machine.hold(0.2)
        machine.hold(1)  # some blocks of it have arrived
        self.network.kill_server()
        machine.expect(texts.PRESS_ENTER, timeout=INSTALL_TIMEOUT)
        shown = installer_lines(machine.transcript())
        after = shown[shown.index(f"Found server at {server}"):]
        self.assertEqual([line for line in after if line.startswith(("FATAL", "ERROR"))],
                         ["FATAL ERROR: bad network connection"], "\n".join(after))
        self.assertNotIn(texts.INSTALLED, after)
        self.assertEqual(after[-1], texts.PRESS_ENTER)
        print(f"\nfault: server killed mid-file: {after[-3:]}", file=sys.stderr)

        # The bridge may have taken another address meanwhile: the new
        # server's own word counts.
        server = self.network.start_server(root).upper()
        machine.send("\r")
        machine.wait_for_restart(timeout=120)
        machine = self.boot_installer(disk, mac)
        self.finish(machine, texts.network_installation(mac, "korvanel", server, scripts=2))
        self.check_installed(disk, trees, 16)
        self.report_time("server killed mid-file, then an installation from the restarted server")


if __name__ == "__main__":
    unittest.main()
