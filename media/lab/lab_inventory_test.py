"""serve-lab --check and --explain on a folder rendered from the sample lab
(media/lab-example) by the builder's own renderer: the inventory found by
the root's record or given, an ambiguous one refused with one line naming
its file and entry (also before serving, with nothing started), secrets
never shown. The folder has the shape of `build-media net` output; its
boot files and packages are stand-ins, which is enough, as nothing
boots."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

from builder import inventory, lab_render
from builder.signing import Signing
from lab import cli
from lab.served_folder import ServedFolder

MEDIA = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
EXAMPLE = os.path.join(MEDIA, "lab-example")
SERVE_LAB = os.path.join(MEDIA, "serve-lab")
PACKAGES = ["dhcp.bdl", "firewall.bdl", "ppp.bdl", "pppoe.bdl", "system.bdl"]
SECRETS = ("office-1-secret", "office-2-secret", "edge-1-secret")


class RenderedLab(unittest.TestCase):
    def setUp(self):
        self.workdir = tempfile.mkdtemp(prefix="korvanel-lab-inventory-")
        self.addCleanup(shutil.rmtree, self.workdir, True)
        # The inventory beside its templates, as an operator keeps it.
        self.lab = os.path.join(self.workdir, "lab")
        shutil.copytree(EXAMPLE, self.lab)
        self.inventory = os.path.join(self.lab, "inventory.toml")
        self.secrets = os.path.join(self.lab, "secrets.toml")
        self.folder = os.path.join(self.workdir, "net")
        for name in ("boot/pxelinux.0", "boot/ldlinux.c32", "boot/pxelinux.cfg/default",
                     "boot/vmlinuz", "boot/initrd.gz") + tuple(
                         f"server/packages/{name}" for name in PACKAGES):
            path = os.path.join(self.folder, name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "w") as out:
                out.write("stand-in\n")
        self.server = os.path.join(self.folder, "server")
        lab = inventory.load(self.inventory, self.secrets)
        lab_render.check_packages(lab, PACKAGES, signed=False)
        lab_render.render_lab(lab, self.server, PACKAGES, Signing())

    def serve_lab(self, *arguments):
        return subprocess.run([sys.executable, SERVE_LAB, *arguments], capture_output=True,
                              text=True, timeout=60, cwd=self.workdir)

    def make_ambiguous(self):
        """A second machine with edge-1's hardware address."""
        with open(self.inventory, "a") as text:
            text.write('\n[[machines]]\nname = "edge-2"\nmac = "52-54-00-12-34-03"\n'
                       'group = "edge"\n'
                       'vars = { lan_host = 2, pppoe_user = "e2", pppoe_password = "p" }\n')

    def assert_no_secret(self, result):
        for secret in SECRETS:
            self.assertNotIn(secret, result.stdout + result.stderr)


class CheckAndExplain(RenderedLab):
    def test_the_recorded_inventory_is_checked_and_explained_secrets_masked(self):
        checked = self.serve_lab("--check", self.folder)
        self.assertEqual((checked.returncode, checked.stderr), (0, ""))
        self.assertEqual(checked.stdout, f"{self.inventory}: 3 machines, unknown machines: hold\n")

        explained = self.serve_lab("--explain", "edge-1", self.folder)
        self.assertEqual(explained.returncode, 0, explained.stderr)
        lines = explained.stdout.splitlines()
        self.assertEqual(lines[0], "machine edge-1 (52:54:00:12:34:03), group edge, "
                                   "disk label edge-1")
        password = [line for line in lines if line.split()[0] == "pppoe_password"]
        self.assertEqual(len(password), 1, lines)
        self.assertIn("********", password[0])
        self.assertIn("[machines.edge-1] (secret)", password[0])
        self.assertIn("  autorun.scr: secret script, 0600", lines)
        self.assert_no_secret(explained)
        # By its address, either spelling, as build-media takes it.
        self.assertEqual(self.serve_lab("--explain", "52-54-00-12-34-03", self.folder).stdout,
                         explained.stdout)
        self.assertTrue(self.serve_lab("--explain", "unknown", self.folder).stdout.startswith(
            "unknown machines: policy hold, no group"))

        nobody = self.serve_lab("--explain", "edge-9", self.folder)
        self.assertEqual((nobody.returncode, nobody.stdout), (1, ""))
        self.assertEqual(nobody.stderr, f"serve-lab: {self.inventory}: no machine edge-9\n")

    def test_an_ambiguous_inventory_is_refused_with_one_line(self):
        self.make_ambiguous()
        for arguments in (["--check", self.folder], ["--explain", "edge-1", self.folder],
                          ["--check", "--inventory", self.inventory, "--secrets", self.secrets]):
            with self.subTest(arguments[0]):
                refused = self.serve_lab(*arguments)
                self.assertEqual((refused.returncode, refused.stdout), (1, ""))
                self.assertEqual(refused.stderr,
                                 f"serve-lab: {self.inventory}: [[machines]] edge-2: mac "
                                 "52:54:00:12:34:03 is [[machines]] edge-1's too\n")

    def test_the_served_packages_and_where_the_inventory_is(self):
        # A package the inventory names that the folder does not serve.
        os.unlink(os.path.join(self.server, "packages", "pppoe.bdl"))
        refused = self.serve_lab("--check", self.folder)
        self.assertEqual(refused.returncode, 1)
        self.assertRegex(refused.stderr, r"^serve-lab: \S+inventory.toml: \[\[machines\]\] edge-1: "
                                         r"package pppoe is not served \(packages/ holds ")
        # Given on the command line, without a folder: the inventory alone.
        alone = self.serve_lab("--check", "--inventory", self.inventory, "--secrets", self.secrets,
                               "no-such-folder")
        self.assertEqual(alone.returncode, 0, alone.stderr)
        # The recorded inventory moved away: named, with the record.
        os.rename(self.lab, self.lab + ".moved")
        moved = self.serve_lab("--check", self.folder)
        self.assertEqual(moved.returncode, 1)
        self.assertEqual(moved.stderr, f"serve-lab: {self.inventory}: no such file (named by "
                                       f"{self.server}/{lab_render.RECORD_NAME})\n")
        # A root that records none.
        os.unlink(os.path.join(self.server, lab_render.RECORD_NAME))
        unrecorded = self.serve_lab("--check", self.folder)
        self.assertEqual(unrecorded.returncode, 1)
        self.assertIn("records no inventory", unrecorded.stderr)
        self.assertEqual(self.serve_lab("--secrets", self.secrets, "--check",
                                        self.folder).returncode, 2)


class BeforeServing(RenderedLab):
    def test_an_ambiguous_inventory_is_refused_before_anything_starts(self):
        self.make_ambiguous()
        logs = os.path.join(self.workdir, "logs")
        # Nothing is run: the check comes before the interface is looked at.
        refused = self.serve_lab("--interface", "korvanel-none0", "--dnsmasq", "/bin/true",
                                 "--server", "/bin/true", "--log-dir", logs, self.folder)
        self.assertEqual(refused.returncode, 1)
        self.assertEqual(refused.stderr.splitlines(),
                         [f"serve-lab: {self.inventory}: [[machines]] edge-2: mac "
                          "52:54:00:12:34:03 is [[machines]] edge-1's too"])
        self.assertFalse(os.path.exists(logs))

    def test_the_line_the_operator_is_shown(self):
        arguments = cli._parser().parse_args([self.folder])
        folder = ServedFolder(self.folder)
        self.assertEqual(cli._check_served_inventory(arguments, folder),
                         f"inventory: {self.inventory}: 3 machines, unknown machines: hold "
                         "(checked)")
        os.rename(self.secrets, self.secrets + ".elsewhere")
        self.assertEqual(cli._check_served_inventory(arguments, folder),
                         f"inventory: {self.secrets} is not on this host: not checked")
        os.unlink(os.path.join(self.server, lab_render.RECORD_NAME))
        self.assertIn("not recorded", cli._check_served_inventory(arguments, folder))
        lab_render.remove_lab(self.server)
        self.assertIsNone(cli._check_served_inventory(arguments, folder))


if __name__ == "__main__":
    unittest.main()
