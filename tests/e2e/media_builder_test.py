"""media/build-media: its command line, and what goes where on each medium
(read back with bdl, xorriso and mtools, without booting anything; the
whole-machine runs in media_test.py prove that the media work)."""

import os
import shutil
import subprocess
import tempfile
import unittest

from bootimage import locations
import media_runs as runs


def run(*arguments):
    environment = dict(os.environ, KORVANEL_CACHE=locations.cache_dir(),
                       KORVANEL_I386_DIR=locations.i386_dir(), MTOOLS_SKIP_CHECK="1")
    return subprocess.run(arguments, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                          env=environment)


class CommandLine(unittest.TestCase):
    def test_help_usage_errors_and_version(self):
        shown = run(runs.BUILD_MEDIA, "--help")
        self.assertEqual((shown.returncode, shown.stderr), (0, ""))
        self.assertIn("cdrom OUTDIR [--packages DIR]", shown.stdout)
        for wrong in ([], ["floppy", "out"], ["cdrom"], ["hdd", "out", "--bogus"]):
            refused = run(runs.BUILD_MEDIA, *wrong)
            self.assertEqual((refused.returncode, refused.stdout), (2, ""), wrong)
            self.assertIn("usage: build-media", refused.stderr)
        self.assertRegex(run(runs.BUILD_MEDIA, "--version").stdout, r"^build-media \d")


class WhatGoesWhere(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        try:
            locations.kernel_path()
            locations.installer_path()
        except locations.MissingPrerequisite as missing:
            raise unittest.SkipTest(str(missing))
        cls.scratch = tempfile.mkdtemp(prefix="korvanel-media-builder-")
        cls.packages = os.path.join(cls.scratch, "packages")
        made = run(runs.BUILD_MEDIA, "packages", cls.packages)
        if made.returncode != 0:
            raise AssertionError(made.stdout + made.stderr)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.scratch, ignore_errors=True)

    def bdl(self, command, package):
        bdl = os.path.join(locations.i386_dir(), "bin", "bdl")
        return run(bdl, command, os.path.join(self.packages, package)).stdout

    def test_sample_packages(self):
        self.assertEqual(sorted(os.listdir(self.packages)),
                         [".build-media.lock", ".packages.stamp", "defpacks", "dhcp.bdl",
                          "firewall.bdl", "ppp.bdl", "pppoe.bdl", "system.bdl"])
        self.assertIn("depends: ppp", self.bdl("info", "pppoe.bdl"))
        system = [line.split()[-1] for line in self.bdl("list", "system.bdl").splitlines()]
        for path in ("boot/vmlinuz", "boot/initrd.img", "sbin/init", "etc/rc.d/rc.postinstall",
                     "bin/bash", "sbin/fsck", "sbin/e2fsck", "usr/bin/extlinux", "bin/busybox"):
            self.assertIn(path, system)

    def test_cdrom_carries_the_packages_at_its_top_and_a_second_run_does_nothing(self):
        outdir = os.path.join(self.scratch, "cdrom")
        self.assertEqual(run(runs.BUILD_MEDIA, "cdrom", outdir, "--packages",
                             self.packages).returncode, 0)
        iso = os.path.join(outdir, "korvanel-cdrom.iso")
        listing = run("xorriso", "-indev", iso, "-find", "/", "-type", "f").stdout.split()
        self.assertEqual(sorted(name.strip("'") for name in listing), [
            "/boot/initrd.gz", "/boot/vmlinuz", "/defpacks", "/dhcp.bdl", "/firewall.bdl",
            "/isolinux/isolinux.bin", "/isolinux/isolinux.cfg",
            "/isolinux/ldlinux.c32", "/ppp.bdl", "/pppoe.bdl", "/system.bdl"])
        made_at = os.stat(iso).st_mtime_ns
        again = run(runs.BUILD_MEDIA, "cdrom", outdir, "--packages", self.packages)
        self.assertIn("up to date", again.stdout)
        self.assertEqual(os.stat(iso).st_mtime_ns, made_at)

    def test_hdd_with_choose(self):
        outdir = os.path.join(self.scratch, "hdd")
        self.assertEqual(run(runs.BUILD_MEDIA, "hdd", outdir, "--packages", self.packages,
                             "--choose").returncode, 0)
        image = os.path.join(outdir, "korvanel-hdd.img")
        names = run("mdir", "-b", "-i", image, "::/").stdout.split()
        for name in ("::/CHOOSE", "::/mbr", "::/autorun.scr", "::/syslinux.cfg",
                     "::/system.bdl", "::/defpacks"):
            self.assertIn(name, names)
        mbr = subprocess.run(["mtype", "-i", image, "::/mbr"], stdout=subprocess.PIPE,
                             env=dict(os.environ, MTOOLS_SKIP_CHECK="1")).stdout
        with open(os.path.join(locations.i386_dir(), "bootcode.bin"), "rb") as code:
            boot_code = code.read()
        self.assertEqual(mbr, boot_code + bytes(510 - len(boot_code)) + b"\x55\xaa")

    def test_net_boot_files_and_server_root(self):
        outdir = os.path.join(self.scratch, "net")
        self.assertEqual(run(runs.BUILD_MEDIA, "net", outdir).returncode, 0)
        found = sorted(os.path.relpath(os.path.join(root, name), outdir)
                       for root, _, files in os.walk(outdir) for name in files
                       if not name.startswith(".") and not root.endswith("packages"))
        release = locations.kernel_release()
        self.assertEqual(found, [
            "boot/initrd.gz", "boot/ldlinux.c32", "boot/pxelinux.0", "boot/pxelinux.cfg/default",
            "boot/vmlinuz", f"server/drivers/{release}.bdl", "server/scripts/autorun.scr"])
        self.assertEqual(sorted(os.listdir(os.path.join(outdir, "server", "packages"))),
                         ["dhcp.bdl", "firewall.bdl", "ppp.bdl", "pppoe.bdl", "system.bdl"])

    def test_signed_packages_and_a_medium_that_checks_them(self):
        key = os.path.join(self.scratch, "operator")
        run(locations.host_program("bdl"), "keygen", key)
        signed = os.path.join(self.scratch, "signed")
        self.assertEqual(run(runs.BUILD_MEDIA, "packages", signed, "--key", key).returncode, 0)
        with open(key + ".pub") as public:
            key_text = public.read()
        key_id = key_text.split("key: ")[1][:16]
        self.assertIn(f"signed-by: key {key_id}\n",
                      run(locations.host_program("bdl"), "info", signed + "/system.bdl").stdout)
        outdir = os.path.join(self.scratch, "hdd-signed")
        # Without --key there is nothing to sign the medium's release list.
        unlisted = run(runs.BUILD_MEDIA, "hdd", outdir, "--packages", signed,
                       "--pubkey", key + ".pub")
        self.assertEqual(unlisted.returncode, 1)
        self.assertIn("carries a release list", unlisted.stderr)
        made = run(runs.BUILD_MEDIA, "hdd", outdir, "--packages", signed, "--pubkey", key + ".pub",
                   "--key", key, "--release", "5", "--lowest-release", "3")
        self.assertEqual(made.returncode, 0, made.stderr)

        def medium_file(name):
            return subprocess.run(
                f"mtype -i {outdir}/korvanel-hdd.img ::/initrd.gz | gunzip | cpio -i --to-stdout "
                f"{name}", shell=True, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                env=dict(os.environ, MTOOLS_SKIP_CHECK="1"), text=True).stdout
        self.assertEqual(medium_file("package-key.pub"), key_text)
        self.assertEqual(medium_file("package-key.release"), "lowest-release: 3\n")
        # The list names every file the installer reads from the disk.
        listed = os.path.join(self.scratch, "hdd-release.lst")
        subprocess.run(["mcopy", "-i", f"{outdir}/korvanel-hdd.img", "::/release.lst", listed],
                       check=True, env=dict(os.environ, MTOOLS_SKIP_CHECK="1"))
        with open(listed) as text:
            names = [line.split()[-1] for line in text if line.startswith("file: ")]
        self.assertEqual(sorted(names), sorted([n for n in os.listdir(signed) if n.endswith(".bdl")] + ["autorun.scr", "mbr"]))
        # Unsigned packages on a medium whose installer would refuse them.
        refused = run(runs.BUILD_MEDIA, "cdrom", os.path.join(self.scratch, "refused"),
                      "--packages", self.packages, "--pubkey", key + ".pub")
        self.assertEqual(refused.returncode, 1)
        self.assertIn("the installer of this medium would refuse", refused.stderr)
        self.assertIn(": package not signed", refused.stderr)

    def test_a_folder_without_packages_is_refused(self):
        refused = run(runs.BUILD_MEDIA, "cdrom", os.path.join(self.scratch, "x"),
                      "--packages", self.scratch)
        self.assertEqual(refused.returncode, 1)
        self.assertIn("holds no package (*.bdl)", refused.stderr)


class LabInventory(unittest.TestCase):
    """The sample lab of media/lab-example rendered twice, signed, into two
    folders: the same bytes (the list and the nonces included), each
    machine's secret in its own secret script alone, and the signed list
    naming each machine's files for it."""

    def test_two_signed_renders_are_the_same_bytes_and_keep_secrets_apart(self):
        try:
            locations.kernel_path()
            locations.installer_path()
        except locations.MissingPrerequisite as missing:
            raise unittest.SkipTest(str(missing))
        scratch = tempfile.mkdtemp(prefix="korvanel-lab-render-")
        self.addCleanup(shutil.rmtree, scratch, True)
        key = os.path.join(scratch, "operator")
        run(locations.host_program("bdl"), "keygen", key)
        example = os.path.join(os.path.dirname(runs.BUILD_MEDIA), "lab-example")
        roots = []
        for name in ("first", "second"):
            made = subprocess.run(
                [runs.BUILD_MEDIA, "net", os.path.join(scratch, name), "--key", key,
                 "--pubkey", key + ".pub", "--inventory", os.path.join(example, "inventory.toml"),
                 "--secrets", os.path.join(example, "secrets.toml")],
                capture_output=True, text=True,
                env=dict(os.environ, KORVANEL_CACHE=locations.cache_dir(),
                         KORVANEL_I386_DIR=locations.i386_dir(), SOURCE_DATE_EPOCH="1750000000"))
            self.assertEqual(made.returncode, 0, made.stderr)
            roots.append(os.path.join(scratch, name, "server"))
        files = sorted(os.path.relpath(os.path.join(folder, name), roots[0])
                       for folder, _, names in os.walk(roots[0]) for name in names)
        for path in files:
            with open(os.path.join(roots[0], path), "rb") as a, \
                    open(os.path.join(roots[1], path), "rb") as b:
                self.assertTrue(a.read() == b.read(), f"{path} differs")
        secrets = {"52-54-00-12-34-01": "office-1-secret", "52-54-00-12-34-02": "office-2-secret",
                   "52-54-00-12-34-03": "edge-1-secret"}
        for folder, secret in secrets.items():
            script = f"machines/{folder}/secret-scripts/autorun.scr"
            self.assertIn(script, files)
            with open(os.path.join(roots[0], script)) as text:
                rendered = text.read()
            self.assertRegex(rendered, r"^# nonce [0-9a-f]{64}\n")
            self.assertEqual([s for s in secrets.values() if s in rendered], [secret])
        with open(os.path.join(roots[0], "release.lst")) as text:
            listed = text.read()
        self.assertIn("created: 1750000000\n", listed)
        self.assertRegex(listed, r"\nfile: script \d+ [0-9a-f]{64} autorun.scr 52:54:00:12:34:03\n")
        self.assertRegex(listed, r"\nfile: package \d+ [0-9a-f]{64} pppoe.bdl 52:54:00:12:34:03\n")
        self.assertNotIn("secret", listed)
        self.assertNotIn("scripts/autorun.scr", files, "the templates replace the sample script")


class Reproducible(unittest.TestCase):
    """Root and an ordinary user (nobody), one after the other: the same
    bytes in every product, root as every member's owner, and every time
    stamp SOURCE_DATE_EPOCH, whatever the build host's files say."""

    EPOCH = "1700000000"

    def test_root_and_a_user_make_the_same_bytes(self):
        try:
            locations.kernel_path()
            locations.installer_path()
        except locations.MissingPrerequisite as missing:
            raise unittest.SkipTest(str(missing))
        scratch = tempfile.mkdtemp(prefix="korvanel-reproducible-")
        self.addCleanup(shutil.rmtree, scratch, True)
        os.chmod(scratch, 0o755)
        made = {}
        for who, prefix in (("root", []), ("user", ["setpriv", "--reuid=65534", "--regid=65534",
                                                    "--clear-groups"])):
            outdir = os.path.join(scratch, who)
            os.makedirs(outdir)
            if prefix:
                os.chown(outdir, 65534, 65534)
            for command in ("net", "cdrom", "hdd"):
                result = subprocess.run(
                    prefix + [runs.BUILD_MEDIA, command, outdir], capture_output=True, text=True,
                    env=dict(os.environ, KORVANEL_CACHE=locations.cache_dir(), HOME=scratch,
                             KORVANEL_I386_DIR=locations.i386_dir(), SOURCE_DATE_EPOCH=self.EPOCH,
                             PATH=os.environ.get("PATH", "") + ":/usr/sbin:/sbin"))
                self.assertEqual(result.returncode, 0, f"{who} {command}: {result.stderr}")
            made[who] = {os.path.relpath(os.path.join(folder, name), outdir)
                         for folder, _, names in os.walk(outdir) for name in names
                         if not name.startswith(".")}
        self.assertEqual(made["root"], made["user"])
        self.assertTrue({"korvanel-cdrom.iso", "korvanel-hdd.img", "boot/initrd.gz",
                         "boot/pxelinux.cfg/default", "packages/system.bdl",
                         "server/packages/system.bdl"} <= made["root"], made["root"])
        for path in sorted(made["root"]):
            with open(os.path.join(scratch, "root", path), "rb") as first, \
                    open(os.path.join(scratch, "user", path), "rb") as second:
                self.assertTrue(first.read() == second.read(), f"{path} differs")
        listing = run(os.path.join(locations.i386_dir(), "bin", "bdl"), "list",
                      os.path.join(scratch, "user", "packages", "system.bdl")).stdout
        self.assertIn("drwxrwxrwt 0/0 0 2023-11-14 22:13:20 tmp/\n", listing)
        self.assertEqual([line for line in listing.splitlines()
                          if " 0/0 " not in line or "2023-11-14 22:13:20" not in line], [])


if __name__ == "__main__":
    unittest.main()
