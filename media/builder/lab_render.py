"""Renders an inventory (inventory.py) into a server root, so that the server
serves files as they are and templates nothing:

  machines/<aa-bb-cc-dd-ee-ff>/machine.conf        name, group, keep, disk-label, packages
  machines/<aa-bb-cc-dd-ee-ff>/scripts/*.scr       its scripts without secrets (0644)
  machines/<aa-bb-cc-dd-ee-ff>/secret-scripts/*.scr  its scripts that use a secret (0600)
  unknown/machine.conf                             policy, and the group's settings
  unknown/scripts/*.scr                            the unknown machines' scripts
  inventory.json                                   where the inventory was read from

Both folders are made whole beside the old ones and then put in their
place: a machine taken out of the inventory is served nothing of its own
any more. The record holds paths only, never what the files say: serve-lab
reads the inventory itself to check and explain the root it serves."""

import json
import os
import shutil

from .inventory import InventoryError
from .template_text import render, variables_used

SECRET_MODE = 0o600
SCRIPT_MODE = 0o644
RECORD_NAME = "inventory.json"


def _write(path, text, mode):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    descriptor = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, mode)
    with os.fdopen(descriptor, "w", encoding="utf-8") as out:
        out.write(text)
    os.chmod(path, mode)  # whatever the umask took away


def _conf_lines(resolved, policy=None):
    lines = [f"policy: {policy}"] if policy else []
    if resolved is not None:
        if resolved.name is not None:
            lines.append(f"name: {resolved.name}")
        lines.append(f"group: {resolved.group}")
        if resolved.keep is not None:
            lines.append(f"keep: {'yes' if resolved.keep.value else 'no'}")
        if resolved.disk_label is not None:
            lines.append(f"disk-label: {resolved.disk_label}")
        if resolved.packages is not None:
            lines.append("packages: " + " ".join(resolved.packages))
    return "".join(line + "\n" for line in lines)


def mac_folder(mac):
    return mac.replace(":", "-")


class RenderedLab:
    """What was rendered, for the release list: `common` paths (for every
    machine) and `own` (mac, path) pairs."""

    def __init__(self):
        self.common = []
        self.own = []


def check_packages(inventory, served_names, signed):
    """Every package an inventory names is served; with a signed list, the
    machines it does not name take only packages every machine takes (a
    list cannot give them fewer). InventoryError otherwise."""
    problems = []
    for resolved in inventory.machines + ([inventory.unknown] if inventory.unknown else []):
        for name in sorted(set(resolved.packages or ()) - set(served_names)):
            problems.append(f"{resolved.packages_source[0]}: {resolved.entry}: package "
                            f"{name.removesuffix('.bdl')} is not served (packages/ holds "
                            + " ".join(sorted(served_names)) + ")")
    # Unknown machines without a group are served the lab-wide folders,
    # whose choice is the server's.
    if signed and inventory.unknown is not None:
        unknown = set(inventory.unknown.packages if inventory.unknown.packages is not None
                      else served_names)
        for machine in inventory.machines:
            fewer = unknown - set(machine.packages if machine.packages is not None
                                  else served_names)
            if fewer:
                problems.append(f"{inventory.path}: [unknown]: unknown machines get "
                                + " ".join(sorted(fewer)) + f", which {machine.name} does not: "
                                "a signed list gives them only what every machine gets")
    if problems:
        raise InventoryError(problems)


def common_packages(inventory, served_names):
    """The packages every machine served takes: listed for every machine."""
    sets = [set(m.packages) for m in inventory.machines if m.packages is not None]
    if inventory.policy != "refuse" and inventory.unknown is not None and \
            inventory.unknown.packages is not None:
        sets.append(set(inventory.unknown.packages))
    return sorted(set(served_names).intersection(*sets))


def _render_scripts(inventory, resolved, folder, signing, rendered):
    secrets = resolved.secret_names()
    values = {name: setting.value for name, setting in resolved.variables.items()}
    for name, template in sorted(inventory.templates.items()):
        text = render(template, values)
        secret = bool(set(variables_used(template)) & secrets)
        if secret and resolved.mac is not None:
            nonce = signing.nonce(resolved.mac, name)
            if nonce is not None:
                # The list every installer reads carries this file's digest:
                # without the nonce a short password could be guessed from it.
                text = f"# nonce {nonce}\n" + text
            path = os.path.join(folder, "secret-scripts", name)
            _write(path, text, SECRET_MODE)
        else:
            path = os.path.join(folder, "scripts", name)
            _write(path, text, SCRIPT_MODE)
        if resolved.mac is None:
            rendered.common.append(path)
        else:
            rendered.own.append((resolved.mac, path))


def render_lab(inventory, server, served_names, signing):
    """Writes machines/ and unknown/ under `server` and returns what it
    rendered (RenderedLab); the packages each machine takes beyond the
    common ones are among its own. REQUIRES: check_packages passed."""
    rendered = RenderedLab()
    common = set(common_packages(inventory, served_names))
    staging = os.path.join(server, ".lab-partial")
    shutil.rmtree(staging, ignore_errors=True)
    for machine in inventory.machines:
        folder = os.path.join(staging, "machines", mac_folder(machine.mac))
        _write(os.path.join(folder, "machine.conf"), _conf_lines(machine), SCRIPT_MODE)
        _render_scripts(inventory, machine, folder, signing, rendered)
        taken = machine.packages if machine.packages is not None else served_names
        for name in sorted(set(taken) - common):
            rendered.own.append((machine.mac, os.path.join(server, "packages", name)))
    os.makedirs(os.path.join(staging, "machines"), exist_ok=True)
    unknown = os.path.join(staging, "unknown")
    conf = _conf_lines(inventory.unknown, inventory.policy)
    if signing.key is not None and inventory.unknown is None and inventory.policy != "refuse":
        # Without a group they would be served every package, and a signed
        # list gives them only the common ones: their installers would
        # refuse the rest.
        conf += "packages: " + " ".join(sorted(common)) + "\n"
    _write(os.path.join(unknown, "machine.conf"), conf, SCRIPT_MODE)
    if inventory.unknown is not None:
        _render_scripts(inventory, inventory.unknown, unknown, signing, rendered)
    _write(os.path.join(staging, RECORD_NAME), _record_text(inventory), SCRIPT_MODE)
    remove_lab(server)
    for part in ("machines", "unknown", RECORD_NAME):
        os.rename(os.path.join(staging, part), os.path.join(server, part))
    os.rmdir(staging)
    # Paths as they are now, in their place.
    rendered.common = [p.replace(staging, server, 1) for p in rendered.common]
    rendered.own = [(mac, p.replace(staging, server, 1)) for mac, p in rendered.own]
    return rendered, sorted(common)


def remove_lab(server):
    """Takes an earlier render's per-machine folders and record out of
    `server`."""
    for part in ("machines", "unknown"):
        shutil.rmtree(os.path.join(server, part), ignore_errors=True)
    if os.path.lexists(os.path.join(server, RECORD_NAME)):
        os.unlink(os.path.join(server, RECORD_NAME))


def _record_text(inventory):
    record = {"inventory": os.path.abspath(inventory.path),
              "secrets": os.path.abspath(inventory.secrets_path) if inventory.secrets_path
              else None}
    return json.dumps(record, indent=2) + "\n"


def read_record(server):
    """(inventory path, secrets path or None) that the root `server` was
    rendered from, or None for a root without a record (no inventory, or
    rendered before roots had one). InventoryError for a record that is
    not one."""
    path = os.path.join(server, RECORD_NAME)
    try:
        with open(path, encoding="utf-8") as text:
            record = json.load(text)
    except FileNotFoundError:
        return None
    except (OSError, ValueError) as error:
        raise InventoryError([f"{path}: not a record of an inventory ({error})"])
    inventory, secrets = (record.get("inventory"), record.get("secrets")) \
        if isinstance(record, dict) else (None, None)
    if not isinstance(inventory, str) or not (secrets is None or isinstance(secrets, str)):
        raise InventoryError([f"{path}: not a record of an inventory"])
    return inventory, secrets
