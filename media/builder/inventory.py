"""The lab's inventory (docs/lab-inventory.md): one TOML file the operator
edits, with defaults, groups that may inherit from one another, machines
and what happens to machines it does not name; beside it an optional
secrets file. This is the one reader of both: the net command renders from
what it returns, explain and check print it.

Every problem is gathered before anything is written, one line each,
naming the file and the entry ("lab.toml: [[machines]] r3: ...")."""

import os
import re
import tomllib

from .template_text import VARIABLE_NAME, TemplateError, variables_used

POLICIES = ("install", "hold", "refuse")
# Variables the machine's entry sets itself.
ENTRY_VARIABLES = ("name", "mac", "group")
_MACHINE_NAME = re.compile(r"[A-Za-z0-9][A-Za-z0-9._-]{0,62}\Z")
_MAC = re.compile(r"[0-9a-f]{2}([:-])[0-9a-f]{2}(\1[0-9a-f]{2}){4}\Z")
# The server keeps 31 characters of a file name (docs/network-installation.md).
_SCRIPT_NAME = re.compile(r"[A-Za-z0-9][A-Za-z0-9._+~-]{0,26}\.scr\Z")
_KEYS = {
    "top": {"templates", "defaults", "groups", "machines", "unknown"},
    "defaults": {"vars", "keep", "packages", "secret"},
    "group": {"inherits", "vars", "keep", "packages", "secret"},
    "machine": {"name", "mac", "disk_label", "group", "vars", "keep", "packages", "secret"},
    "unknown": {"policy", "group"},
}


class InventoryError(Exception):
    """The inventory's problems, one line each (`lines`)."""

    def __init__(self, lines):
        super().__init__("\n".join(lines))
        self.lines = lines


class Setting:
    """A final value and where it came from: (file, entry)."""

    def __init__(self, value, source, secret=False):
        self.value, self.source, self.secret = value, source, secret


class Resolved:
    """A machine's (or the unknown machines') final settings. `name`, `mac`
    are None for the unknown machines; `packages` is a sorted list of
    package file names, or None for every package."""

    def __init__(self, entry, name, mac, disk_label, group):
        self.entry, self.name, self.mac, self.disk_label, self.group = (
            entry, name, mac, disk_label, group)
        self.variables = {}
        self.keep = None
        self.packages = None
        self.packages_source = None

    def secret_names(self):
        return {name for name, setting in self.variables.items() if setting.secret}


class Inventory:
    def __init__(self, path, secrets_path=None):
        self.path = path
        self.secrets_path = secrets_path  # None: no secrets file
        self.templates = {}  # script name -> template text
        self.templates_dir = None
        self.templates_label = None  # the folder as the inventory names it
        self.machines = []   # Resolved, in the file's order
        self.policy = "hold"
        self.unknown = None  # Resolved for the group unknown machines get, or None


def canonical_mac(text):
    """`text` as the server root spells it ("52:54:00:ab:cd:01"), or None."""
    if not isinstance(text, str) or not _MAC.match(text.lower()):
        return None
    return text.lower().replace("-", ":")


def _value_text(value):
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, (int, str)):
        return str(value)
    return None


class _Reader:
    def __init__(self, path, secrets_path):
        self.path, self.secrets_path = path, secrets_path
        self.problems = []

    def problem(self, where, text, file=None):
        self.problems.append(f"{file or self.path}: {where}: {text}")

    def table(self, where, value, kind):
        if not isinstance(value, dict):
            self.problem(where, "must be a table")
            return {}
        for key in sorted(set(value) - _KEYS[kind]):
            self.problem(where, f"unknown key {key!r}")
        return value

    def level(self, where, table, file=None):
        """The variables, secret names, keep and packages one level sets."""
        variables = {}
        for name, value in (table.get("vars") or {}).items():
            text = _value_text(value)
            if not VARIABLE_NAME.match(name):
                self.problem(where, f"variable {name!r}: a name is letters, digits and _", file)
            elif name in ENTRY_VARIABLES:
                self.problem(where, f"variable {name!r} is the machine entry's own", file)
            elif text is None:
                self.problem(where, f"variable {name!r}: a string, number or boolean", file)
            else:
                variables[name] = text
        secret = table.get("secret", [])
        if not isinstance(secret, list) or not all(isinstance(s, str) for s in secret):
            self.problem(where, "secret must be a list of variable names", file)
            secret = []
        keep = table.get("keep")
        if keep is not None and not isinstance(keep, bool):
            self.problem(where, "keep must be true or false", file)
            keep = None
        packages = table.get("packages")
        if packages is not None and (not isinstance(packages, list) or
                                     not all(isinstance(p, str) and p.strip("-") for p in packages)):
            self.problem(where, "packages must be a list of package names", file)
            packages = None
        return {"vars": variables, "secret": set(secret), "keep": keep, "packages": packages,
                "where": where}


def _merge(resolved, levels, path):
    """Applies `levels`, least specific first, to `resolved`."""
    secret = set().union(*(level["secret"] for level in levels))
    packages = None
    for level in levels:
        source = (level.get("file", path), level["where"])
        for name, value in level["vars"].items():
            resolved.variables[name] = Setting(value, source)
        if level["keep"] is not None:
            resolved.keep = Setting(level["keep"], source)
        if level["packages"] is not None:
            packages = set() if packages is None else packages
            for item in level["packages"]:
                file_name = item.lstrip("-").removesuffix(".bdl") + ".bdl"
                if item.startswith("-"):
                    packages.discard(file_name)
                else:
                    packages.add(file_name)
            resolved.packages_source = source
    for name in secret & set(resolved.variables):
        resolved.variables[name].secret = True
    resolved.packages = sorted(packages) if packages is not None else None


def _group_chains(reader, groups):
    """Each group's levels, its root ancestor first; None for a group in a
    circle or inheriting an unknown group."""
    chains = {}
    for name in groups:
        chain, at = [], name
        while at is not None:
            if at in chain:
                reader.problem(f"[groups.{name}]", "inheritance circle: "
                               + " -> ".join(chain[chain.index(at):] + [at]))
                chain = None
                break
            if at not in groups:
                reader.problem(f"[groups.{chain[-1]}]", f"inherits unknown group {at!r}")
                chain = None
                break
            chain.append(at)
            at = groups[at]["inherits"]
        chains[name] = None if chain is None else [groups[g]["level"] for g in reversed(chain)]
    return chains


def _read_toml(reader, path, what):
    try:
        with open(path, "rb") as text:
            return tomllib.load(text)
    except OSError as error:
        reader.problems.append(f"{path}: cannot read the {what}: {error.strerror}")
    except tomllib.TOMLDecodeError as error:
        reader.problems.append(f"{path}: not TOML: {error}")
    return None


def _load_templates(reader, inventory, top):
    if "templates" not in top:
        return
    if not isinstance(top["templates"], str):
        reader.problem("templates", "must be a folder's name")
        return
    folder = os.path.join(os.path.dirname(os.path.abspath(reader.path)), top["templates"])
    inventory.templates_dir = folder
    inventory.templates_label = top["templates"]
    try:
        names = sorted(n for n in os.listdir(folder) if n.endswith(".scr"))
    except OSError as error:
        reader.problem("templates", f"{folder}: {error.strerror}")
        return
    for name in names:
        if not _SCRIPT_NAME.match(name):
            reader.problem("templates", f"{name}: a script's name is at most 31 of A-Z a-z "
                                        "0-9 . _ + ~ -, a letter or digit first")
            continue
        with open(os.path.join(folder, name), encoding="utf-8") as text:
            inventory.templates[name] = text.read()
        try:
            variables_used(inventory.templates[name])
        except TemplateError as error:
            reader.problems.append(f"{os.path.join(folder, name)}: {error}")


def _check_templates(reader, inventory, resolved, who):
    for name, text in inventory.templates.items():
        try:
            missing = [v for v in variables_used(text) if v not in resolved.variables]
        except TemplateError:
            continue  # said once, for the template
        for variable in missing:
            reader.problem(resolved.entry, f"{inventory.templates_label}/{name} uses "
                                           f"{{{{{variable}}}}}, which {who} does not define")


def load(path, secrets_path=None):
    """The inventory at `path` resolved; InventoryError with every problem."""
    reader = _Reader(path, secrets_path)
    inventory = Inventory(path, secrets_path)
    top = _read_toml(reader, path, "inventory")
    secrets = _read_toml(reader, secrets_path, "secrets file") if secrets_path else {}
    if top is None or secrets is None:
        raise InventoryError(reader.problems)
    reader.table("the file", top, "top")
    _load_templates(reader, inventory, top)
    defaults = reader.level("[defaults]", reader.table("[defaults]", top.get("defaults", {}),
                                                       "defaults"))
    groups = {}
    for name, table in (top.get("groups") or {}).items():
        where = f"[groups.{name}]"
        table = reader.table(where, table, "group")
        inherits = table.get("inherits")
        if inherits is not None and not isinstance(inherits, str):
            reader.problem(where, "inherits must name a group")
            inherits = None
        groups[name] = {"inherits": inherits, "level": reader.level(where, table)}
    chains = _group_chains(reader, groups)

    machines = top.get("machines", [])
    if not isinstance(machines, list):
        reader.problem("machines", "must be [[machines]] entries")
        machines = []
    names, macs = {}, {}
    for number, table in enumerate(machines, 1):
        where = f"[[machines]] #{number}"
        name = table.get("name") if isinstance(table, dict) else None
        if isinstance(name, str) and _MACHINE_NAME.match(name):
            where = f"[[machines]] {name}"
        table = reader.table(where, table, "machine")
        if isinstance(name, str) and _MACHINE_NAME.match(name):
            if name.lower() in names:
                reader.problem(where, f"the name of {names[name.lower()]} too")
            names.setdefault(name.lower(), where)
        else:
            reader.problem(where, "name: 1 to 63 of A-Z a-z 0-9 . _ -, a letter or digit first")
            name = None
        mac = canonical_mac(table.get("mac"))
        if mac is None:
            reader.problem(where, f"mac {table.get('mac')!r} is no hardware address "
                                  "(aa:bb:cc:dd:ee:ff)")
        elif int(mac[:2], 16) & 1 or mac == "00:00:00:00:00:00":
            reader.problem(where, f"mac {mac} is no card's (a group or zero address)")
        elif mac in macs:
            reader.problem(where, f"mac {mac} is {macs[mac]}'s too")
        else:
            macs[mac] = where
        label = table.get("disk_label")
        if label is not None and not (isinstance(label, str) and 0 < len(label) < 64 and
                                      all(0x21 <= ord(c) < 0x7F for c in label)):
            reader.problem(where, "disk_label: 1 to 63 printable characters, no spaces")
        group = table.get("group")
        if group not in groups:
            reader.problem(where, f"unknown group {group!r}" if group else "names no group")
            continue
        resolved = Resolved(where, name, mac, label, group)
        level = reader.level(where, table)
        if chains[group] is not None:
            _merge(resolved, [defaults] + chains[group] + [level], path)
        source = (path, where)
        for variable, value in (("name", name), ("mac", mac), ("group", group)):
            resolved.variables[variable] = Setting(value, source)
        inventory.machines.append(resolved)

    _load_secrets(reader, inventory, secrets)
    _load_unknown(reader, inventory, top, defaults, groups, chains)
    for machine in inventory.machines:
        _check_templates(reader, inventory, machine, f"machine {machine.name}")
    if inventory.unknown is not None:
        _check_templates(reader, inventory, inventory.unknown, "the unknown machines' group")
    if reader.problems:
        raise InventoryError(reader.problems)
    return inventory


def _load_secrets(reader, inventory, secrets):
    by_name = {m.name: m for m in inventory.machines}
    for key in sorted(set(secrets) - {"machines"}):
        reader.problem(key, "a secrets file holds [machines.NAME] tables only", reader.secrets_path)
    for name, table in (secrets.get("machines") or {}).items():
        where = f"[machines.{name}]"
        if name not in by_name:
            reader.problem(where, "no machine of that name in the inventory", reader.secrets_path)
            continue
        level = reader.level(where, {"vars": table if isinstance(table, dict) else {}},
                             reader.secrets_path)
        for variable, value in level["vars"].items():
            by_name[name].variables[variable] = Setting(value, (reader.secrets_path, where),
                                                        secret=True)


def _load_unknown(reader, inventory, top, defaults, groups, chains):
    table = reader.table("[unknown]", top.get("unknown", {}), "unknown")
    inventory.policy = table.get("policy", "hold")
    if inventory.policy not in POLICIES:
        reader.problem("[unknown]", f"policy {inventory.policy!r}: install, hold or refuse")
        return
    group = table.get("group")
    if group is None:
        if inventory.policy == "install":
            reader.problem("[unknown]", "policy install names the group they get (group = ...)")
        return
    if group not in groups:
        reader.problem("[unknown]", f"unknown group {group!r}")
        return
    if inventory.policy == "refuse":
        reader.problem("[unknown]", "policy refuse gives no group")
        return
    resolved = Resolved("[unknown]", None, None, None, group)
    if chains[group] is not None:
        _merge(resolved, [defaults] + chains[group], reader.path)
    resolved.variables["group"] = Setting(group, (reader.path, "[unknown]"))
    if resolved.secret_names():
        reader.problem("[unknown]", f"group {group} has secrets ("
                       + ", ".join(sorted(resolved.secret_names()))
                       + "): any machine could claim them")
    inventory.unknown = resolved
