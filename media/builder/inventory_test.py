"""The inventory: how settings merge and where each came from, every refusal
(one table), and the rendered server root: which machine gets which file,
with which mode, and the nonce of secret scripts."""

import os
import shutil
import stat
import tempfile
import textwrap
import unittest

from builder import inventory as inv
from builder import lab_commands, lab_render
from builder.signing import Signing

TEMPLATE = "host {{host}} {{ lan }} {{{{literal\npass {{password}}\n"
GOOD = """
templates = "templates"
[defaults]
packages = ["system", "dhcp"]
vars = { lan = "10.0.0.1", password = "default", host = "router" }
[groups.base]
keep = true
secret = ["password"]
vars = { lan = "10.0.1.1" }
[groups.edge]
inherits = "base"
packages = ["pppoe", "-dhcp"]
[[machines]]
name = "r1"
mac = "52:54:00:AB:CD:01"
group = "base"
vars = { host = "r1" }
[[machines]]
name = "r2"
mac = "52-54-00-ab-cd-02"
group = "edge"
keep = false
vars = { lan = "10.0.2.1" }
[unknown]
policy = "install"
group = "open"
[groups.open]
vars = { lan = "10.9.9.9", password = "" }
secret = []
"""


class Lab(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="korvanel-inventory-")
        self.addCleanup(shutil.rmtree, self.folder, True)
        os.makedirs(os.path.join(self.folder, "templates"))
        self.write("templates/autorun.scr", TEMPLATE)
        self.write("templates/plain.scr", "echo {{group}}\n")

    def write(self, name, text):
        with open(os.path.join(self.folder, name), "w") as out:
            out.write(textwrap.dedent(text))
        return os.path.join(self.folder, name)

    def load(self, text, secrets=None):
        return inv.load(self.write("lab.toml", text),
                        self.write("secrets.toml", secrets) if secrets else None)


class Merging(Lab):
    def test_the_more_specific_wins_and_explain_names_each_source(self):
        lab = self.load(GOOD,
                        secrets='[machines.r1]\npassword = "hunter2"\n')
        r1, r2 = lab.machines
        self.assertEqual((r1.mac, r2.mac), ("52:54:00:ab:cd:01", "52:54:00:ab:cd:02"))
        self.assertEqual(r1.variables["lan"].value, "10.0.1.1")
        self.assertEqual(r2.variables["lan"].source[1], "[[machines]] r2")
        self.assertEqual((r1.keep.value, r2.keep.value), (True, False))
        self.assertEqual(r1.packages, ["dhcp.bdl", "system.bdl"])
        self.assertEqual(r2.packages, ["pppoe.bdl", "system.bdl"])
        self.assertEqual(r1.secret_names(), {"password"})
        lines = lab_commands.explain(lab, "52:54:00:ab:cd:01")
        self.assertEqual(lines[0], "machine r1 (52:54:00:ab:cd:01), group base")
        self.assertTrue(any("password" in line and "********" in line and
                            "secrets.toml [machines.r1] (secret)" in line for line in lines), lines)
        self.assertFalse(any("hunter2" in line for line in lines))
        self.assertIn("  autorun.scr: secret script, 0600", lines)
        self.assertIn("  plain.scr: script", lines)
        self.assertIsNone(lab_commands.explain(lab, "r9"))


class Refusals(Lab):
    def test_every_refusal_names_the_file_and_the_entry(self):
        machine = '[[machines]]\nname = "{}"\nmac = "{}"\ngroup = "{}"\n'
        base = '[groups.g]\n[groups.h]\ninherits = "g"\n[unknown]\npolicy = "refuse"\n'
        cases = [
            ("undefined variable", 'templates = "templates"\n' + base
             + machine.format("a", "02:00:00:00:00:01", "g"),
             "lab.toml: [[machines]] a: templates/autorun.scr uses {{lan}}, which machine a "
             "does not define"),
            ("same hardware address", base + machine.format("a", "02:00:00:00:00:01", "g")
             + machine.format("b", "02:00:00:00:00:01", "g"),
             "lab.toml: [[machines]] b: mac 02:00:00:00:00:01 is [[machines]] a's too"),
            ("same name in another case", base + machine.format("a", "02:00:00:00:00:01", "g")
             + machine.format("A", "02:00:00:00:00:02", "g"),
             "lab.toml: [[machines]] A: the name of [[machines]] a too"),
            ("unknown group", base + machine.format("a", "02:00:00:00:00:01", "x"),
             "lab.toml: [[machines]] a: unknown group 'x'"),
            ("inheritance circle", '[groups.g]\ninherits = "h"\n[groups.h]\ninherits = "g"\n',
             "lab.toml: [groups.g]: inheritance circle: g -> h -> g"),
            ("inherits nothing known", '[groups.g]\ninherits = "z"\n',
             "lab.toml: [groups.g]: inherits unknown group 'z'"),
            ("malformed mac", base + machine.format("a", "02:00:00:00:00", "g"),
             "lab.toml: [[machines]] a: mac '02:00:00:00:00' is no hardware address"),
            ("group address", base + machine.format("a", "01:00:5e:00:00:01", "g"),
             "lab.toml: [[machines]] a: mac 01:00:5e:00:00:01 is no card's"),
            ("bad name", base + machine.format("a b", "02:00:00:00:00:01", "g"),
             "lab.toml: [[machines]] #1: name: 1 to 63"),
            ("a typo in a key", base + machine.format("a", "02:00:00:00:00:01", "g")
             + 'dsk_label = "x"\n', "lab.toml: [[machines]] a: unknown key 'dsk_label'"),
            ("install without a group", '[unknown]\npolicy = "install"\n',
             "lab.toml: [unknown]: policy install names the group"),
            ("unknown policy", '[unknown]\npolicy = "maybe"\n', "lab.toml: [unknown]: policy"),
            ("unknown machines with secrets", '[groups.g]\nsecret = ["p"]\nvars = { p = "x" }\n'
             '[unknown]\npolicy = "install"\ngroup = "g"\n',
             "lab.toml: [unknown]: group g has secrets (p)"),
            ("a variable the entry sets", '[defaults]\nvars = { name = "x" }\n',
             "lab.toml: [defaults]: variable 'name' is the machine entry's own"),
            ("not TOML", "[groups\n", "lab.toml: not TOML"),
        ]
        for what, text, expected in cases:
            with self.subTest(what):
                with self.assertRaises(inv.InventoryError) as refused:
                    self.load(text)
                self.assertTrue(any(line.endswith(expected) or expected in line
                                    for line in refused.exception.lines),
                                refused.exception.lines)
                self.assertTrue(all(line.startswith(os.path.join(self.folder, "lab.toml"))
                                    for line in refused.exception.lines))
        # The secrets file's own problems name it.
        with self.assertRaises(inv.InventoryError) as refused:
            self.load(base, secrets='[machines.ghost]\np = "x"\n')
        self.assertEqual(refused.exception.lines, [
            os.path.join(self.folder, "secrets.toml")
            + ": [machines.ghost]: no machine of that name in the inventory"])
        # A "{{" that begins nothing is refused, not passed on.
        self.write("templates/broken.scr", "a {{ b c }}\n")
        with self.assertRaises(inv.InventoryError) as refused:
            self.load(GOOD)
        self.assertIn("broken.scr: line 1:", refused.exception.lines[0])


class Rendering(Lab):
    def test_each_machine_gets_its_own_files_secrets_apart_and_nonces_fixed(self):
        lab = self.load(GOOD, secrets='[machines.r1]\npassword = "hunter2"\n')
        key = self.write("key", "format: bdl-secret-key 1\nkey: " + "0" * 64 + "\nseed: "
                         + "1" * 64 + "\n")
        server = os.path.join(self.folder, "server")
        served = ["dhcp.bdl", "firewall.bdl", "pppoe.bdl", "system.bdl"]
        lab_render.check_packages(lab, served, signed=False)
        rendered, common = lab_render.render_lab(lab, server, served, Signing(key=key))
        r1 = os.path.join(server, "machines", "52-54-00-ab-cd-01")

        def read(path):
            with open(os.path.join(server, path)) as text:
                return text.read()
        self.assertEqual(read(f"{r1}/machine.conf"),
                         "name: r1\ngroup: base\nkeep: yes\npackages: dhcp.bdl system.bdl\n")
        secret = read(f"{r1}/secret-scripts/autorun.scr")
        nonce = Signing(key=key).nonce("52:54:00:ab:cd:01", "autorun.scr")
        self.assertRegex(nonce, "^[0-9a-f]{64}$")
        self.assertEqual(secret, f"# nonce {nonce}\nhost r1 10.0.1.1 {{{{literal\npass hunter2\n")
        self.assertNotEqual(nonce, Signing(key=key).nonce("52:54:00:ab:cd:02", "autorun.scr"))
        self.assertEqual(stat.S_IMODE(os.stat(f"{r1}/secret-scripts/autorun.scr").st_mode), 0o600)
        self.assertEqual(stat.S_IMODE(os.stat(f"{r1}/scripts/plain.scr").st_mode), 0o644)
        self.assertEqual(read("unknown/machine.conf"), "policy: install\ngroup: open\n"
                         "packages: dhcp.bdl system.bdl\n")
        self.assertEqual(read("unknown/scripts/autorun.scr"),
                         "host router 10.9.9.9 {{literal\npass \n")
        self.assertEqual(read(f"{r1}/scripts/plain.scr"), "echo base\n")
        # Common to all: what every machine takes; the rest is each one's own.
        self.assertEqual(common, ["system.bdl"])
        own = sorted((mac, os.path.relpath(path, server)) for mac, path in rendered.own)
        self.assertIn(("52:54:00:ab:cd:01", "packages/dhcp.bdl"), own)
        self.assertIn(("52:54:00:ab:cd:02", "packages/pppoe.bdl"), own)
        self.assertNotIn(("52:54:00:ab:cd:02", "packages/dhcp.bdl"), own)
        # A machine taken out of the inventory keeps nothing served.
        lab.machines.pop()
        lab_render.render_lab(lab, server, served, Signing(key=key))
        self.assertEqual(os.listdir(os.path.join(server, "machines")), ["52-54-00-ab-cd-01"])

    def test_unknown_machines_of_a_signed_lab_take_only_what_every_machine_takes(self):
        lab = self.load(GOOD.replace('[groups.open]', '[groups.open]\npackages = ["firewall"]'))
        with self.assertRaises(inv.InventoryError) as refused:
            lab_render.check_packages(lab, ["dhcp.bdl", "firewall.bdl", "pppoe.bdl", "system.bdl"],
                                      signed=True)
        self.assertEqual([line.split(": ", 2)[2] for line in refused.exception.lines], [
            "unknown machines get firewall.bdl, which r1 does not: a signed list gives them "
            "only what every machine gets",
            "unknown machines get dhcp.bdl firewall.bdl, which r2 does not: a signed list gives "
            "them only what every machine gets"])
        lab_render.check_packages(lab, ["dhcp.bdl", "firewall.bdl", "pppoe.bdl", "system.bdl"],
                                  signed=False)

    def test_unknown_machines_without_a_group_and_the_record_of_the_inventory(self):
        held = GOOD.split("[unknown]")[0] + '[unknown]\npolicy = "hold"\n'
        lab = self.load(held, secrets='[machines.r1]\npassword = "hunter2"\n')
        key = self.write("key", "format: bdl-secret-key 1\nkey: " + "0" * 64 + "\nseed: "
                         + "1" * 64 + "\n")
        server = os.path.join(self.folder, "server")
        served = ["dhcp.bdl", "firewall.bdl", "pppoe.bdl", "system.bdl"]

        def conf():
            with open(os.path.join(server, "unknown", "machine.conf")) as text:
                return text.read()
        # Unsigned, they are served every package; a signed list gives them
        # only the common ones, so they are served no more than that.
        lab_render.render_lab(lab, server, served, Signing())
        self.assertEqual(conf(), "policy: hold\n")
        lab_render.render_lab(lab, server, served, Signing(key=key))
        self.assertEqual(conf(), "policy: hold\npackages: system.bdl\n")
        # Where the inventory was read, never what it says.
        self.assertEqual(lab_render.read_record(server),
                         (os.path.join(self.folder, "lab.toml"),
                          os.path.join(self.folder, "secrets.toml")))
        with open(os.path.join(server, lab_render.RECORD_NAME)) as text:
            self.assertNotIn("hunter2", text.read())
        lab_render.remove_lab(server)
        self.assertIsNone(lab_render.read_record(server))
        os.makedirs(server, exist_ok=True)
        with open(os.path.join(server, lab_render.RECORD_NAME), "w") as text:
            text.write('["lab.toml"]\n')
        with self.assertRaises(inv.InventoryError):
            lab_render.read_record(server)


if __name__ == "__main__":
    unittest.main()
