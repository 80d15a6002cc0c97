"""The folder `build-media net` made, as the lab's host serves it: boot/ is
the TFTP root, server/ the root of netinstall-server."""

import os
import zlib

from builder.report import megabytes

# What the firmware's network boot fetches, in the order it does.
BOOT_FILES = ("pxelinux.0", "ldlinux.c32", "pxelinux.cfg/default", "vmlinuz", "initrd.gz")


class FolderError(Exception):
    pass


def is_signed(path):
    """Whether the package at `path` begins with a signature: its first gzip
    member holds the tar member ".bdlsig"."""
    with open(path, "rb") as package:
        head = package.read(4096)
    try:
        text = zlib.decompressobj(16 + zlib.MAX_WBITS).decompress(head, 512)
    except zlib.error:
        return False
    return text[:8] == b".bdlsig\0"


class ServedFolder:
    def __init__(self, path):
        self.path = os.path.abspath(path)
        self.boot = os.path.join(self.path, "boot")
        self.server_root = os.path.join(self.path, "server")
        missing = [name for name in BOOT_FILES
                   if not os.path.isfile(os.path.join(self.boot, name))]
        packages_dir = os.path.join(self.server_root, "packages")
        if missing or not os.path.isdir(packages_dir):
            what = f"boot/{missing[0]}" if missing else "server/packages/"
            raise FolderError(f"{self.path} is not a folder made by `build-media net` "
                              f"(it has no {what})")
        self.packages = sorted(name for name in os.listdir(packages_dir) if name.endswith(".bdl"))
        if not self.packages:
            raise FolderError(f"{packages_dir} holds no package")
        drivers_dir = os.path.join(self.server_root, "drivers")
        self.drivers = sorted(os.listdir(drivers_dir)) if os.path.isdir(drivers_dir) else []

    def boot_size(self):
        return sum(os.path.getsize(os.path.join(self.boot, name)) for name in BOOT_FILES)

    def unsigned(self):
        """The served packages (drivers included) that carry no signature."""
        paths = ([os.path.join("packages", name) for name in self.packages]
                 + [os.path.join("drivers", name) for name in self.drivers])
        return [path for path in paths if not is_signed(os.path.join(self.server_root, path))]

    def describe(self):
        """Lines for the operator: what the machines get."""
        lines = [f"boot files (TFTP from {self.boot}, {megabytes(self.boot_size())}):"]
        for name in BOOT_FILES:
            size = os.path.getsize(os.path.join(self.boot, name))
            lines.append(f"  {name}  {megabytes(size)}")
        unsigned = self.unsigned()
        total = len(self.packages) + len(self.drivers)
        signed = ("all signed" if not unsigned else
                  "none signed" if len(unsigned) == total else
                  f"{len(unsigned)} of {total} unsigned: {', '.join(unsigned)}")
        lines.append(f"installation (netinstall-server from {self.server_root}, {signed}):")
        lines.append(f"  drivers: {', '.join(self.drivers) or 'none'}")
        lines.append(f"  packages: {', '.join(self.packages)}")
        return lines
