"""The lab's inventory as serve-lab finds it: given on its command line, or
where the served root's record says `build-media net` read it. Read and
explained by the builder's own code (builder/inventory.py,
lab_commands.py), so that the lab host and the build agree on every word."""

import os

from builder import lab_commands, lab_render
from builder.inventory import InventoryError, load


class Located:
    """Where the inventory is: `inventory`, `secrets` (or None), and
    `record`, the root's record that named them (None: given)."""

    def __init__(self, inventory, secrets, record=None):
        self.inventory, self.secrets, self.record = inventory, secrets, record

    def missing(self):
        """The first of its files that is not there, or None."""
        for path in (self.inventory, self.secrets):
            if path is not None and not os.path.exists(path):
                return path
        return None


def locate(server_root, inventory=None, secrets=None):
    """The inventory given (`inventory`, `secrets`), else the one the root
    records, else None. InventoryError for a record that is not one."""
    if inventory is not None:
        return Located(inventory, secrets)
    recorded = lab_render.read_record(server_root) if server_root else None
    if recorded is None:
        return None
    return Located(recorded[0], recorded[1], os.path.join(server_root, lab_render.RECORD_NAME))


def check(located, folder=None):
    """The inventory read and checked, as `build-media net` checks it: with
    the served `folder` (ServedFolder), also against the packages it serves
    and whether it carries a signed list. Returns the summary line;
    InventoryError with every problem."""
    inventory = load(located.inventory, located.secrets)
    if folder is not None:
        signed = os.path.isfile(os.path.join(folder.server_root, "release.lst"))
        lab_render.check_packages(inventory, folder.packages, signed)
    return lab_commands.check_summary(inventory)


def explain(located, machine):
    """`build-media explain`'s lines for `machine`, or None when the
    inventory names no such machine; InventoryError when it cannot be
    read."""
    return lab_commands.explain(load(located.inventory, located.secrets), machine)


def is_inventory_root(server_root):
    """Whether the root was rendered from an inventory (as the server tells)."""
    return any(os.path.isdir(os.path.join(server_root, part)) for part in ("machines", "unknown"))


__all__ = ["InventoryError", "Located", "check", "explain", "is_inventory_root", "locate"]
