"""build-media explain and check: an inventory's final settings of one
machine with where each came from, and the inventory's problems. Both
read the inventory through inventory.py alone and write nothing."""

import os

from .inventory import canonical_mac
from .template_text import variables_used

MASK = "********"


def _source(source):
    """(file, entry) as the operator finds it."""
    if source is None:
        return "(nothing sets it)"
    path, entry = source
    return f"{os.path.relpath(path)} {entry}"


def _row(name, value, source):
    return f"  {name:<18} {value:<28} {source}"


def check_summary(inventory):
    """The line `check` prints for an inventory without problems."""
    return (f"{inventory.path}: {len(inventory.machines)} machines, unknown machines: "
            f"{inventory.policy}")


def explain(inventory, which):
    """The lines `build-media explain` prints for the machine named `which`
    (or of that hardware address, or "unknown"), or None when there is
    none. Secret values never appear."""
    if which == "unknown":
        resolved = inventory.unknown
        head = f"unknown machines: policy {inventory.policy}" + (
            f", group {resolved.group}" if resolved else ", no group")
        if resolved is None:
            return [head]
    else:
        mac = canonical_mac(which)
        found = [m for m in inventory.machines if m.name == which or (mac and m.mac == mac)]
        if not found:
            return None
        resolved = found[0]
        head = f"machine {resolved.name} ({resolved.mac}), group {resolved.group}" + (
            f", disk label {resolved.disk_label}" if resolved.disk_label else "")
    keep = resolved.keep
    lines = [head, _row("keep", ("yes" if keep.value else "no") if keep else "(server's --keep)",
                        _source(keep.source if keep else None))]
    packages = " ".join(resolved.packages) if resolved.packages is not None else "all"
    lines.append(_row("packages", packages, _source(resolved.packages_source)))
    for name in sorted(resolved.variables):
        setting = resolved.variables[name]
        lines.append(_row(name, MASK if setting.secret else setting.value.replace("\n", "\\n"),
                          _source(setting.source) + (" (secret)" if setting.secret else "")))
    secrets = resolved.secret_names()
    for name, template in sorted(inventory.templates.items()):
        kind = "secret script, 0600" if set(variables_used(template)) & secrets else "script"
        lines.append(f"  {name}: {kind}")
    return lines
