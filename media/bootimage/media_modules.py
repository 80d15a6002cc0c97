"""Kernel modules and the partitioning tool as a boot medium carries them.

media/module-map.txt says which module of the fetched kernel goes at which
entry of the installer's fixed module lists; `add_mapped_modules` places them
so, under /lib/modules/RELEASE, and `add_partitioning_tool` adds the i386
sfdisk as /sbin/sfdisk.
"""

import os

from . import locations

MODULE_MAP = os.path.join(locations.SOURCE_DIR, "media", "module-map.txt")


def read_module_map(path=MODULE_MAP):
    """[(list entry, module file)] in list order."""
    placements = []
    with open(path) as lines:
        for number, line in enumerate(lines, 1):
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            fields = line.split()
            if len(fields) != 2:
                raise ValueError(f"{path}:{number}: expected an entry and a module: {line!r}")
            placements.append((fields[0], fields[1]))
    return placements


def add_mapped_modules(image):
    """Every mapped module of the fetched kernel at its list entry."""
    source = locations.kernel_modules_dir()
    release_dir = f"/lib/modules/{locations.kernel_release()}"
    for entry, module in read_module_map():
        image.copy(f"{release_dir}/{entry}", os.path.join(source, module), 0o644)


def partitioning_tool_path():
    path = os.path.join(locations.i386_dir(), "bin", "sfdisk")
    if not os.path.isfile(path):
        raise locations.MissingPrerequisite(f"{path} is missing (run `make i386`)")
    return path


def add_partitioning_tool(image):
    image.copy("/sbin/sfdisk", partitioning_tool_path(), 0o755)
