"""Reading an installed disk image back on the host without mounting it:
util-linux's sfdisk for the partition table, e2fsprogs (debugfs, dumpe2fs,
e2fsck, which take "IMAGE?offset=BYTES" as device) for the file systems.
"""

import json
import re
import subprocess

SECTOR = 512
PARTITION_TABLE_OFFSET = 446
CYLINDER_SECTORS = 255 * 63  # the geometry the kernel reports for QEMU's disks
CYLINDER_BYTES = CYLINDER_SECTORS * SECTOR


def _run(command):
    return subprocess.run(command, check=False, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE)


class FileStatus:
    def __init__(self, kind, mode, uid, gid, size, link_target):
        self.kind, self.mode, self.uid, self.gid = kind, mode, uid, gid
        self.size, self.link_target = size, link_target

    def __repr__(self):
        return (f"FileStatus({self.kind}, {self.mode:o}, {self.uid}:{self.gid}, "
                f"{self.size}, {self.link_target!r})")


class FileSystem:
    """The ext2/ext3 file system of one partition of a disk image."""

    def __init__(self, image, start_sector):
        self.device = f"{image}?offset={start_sector * SECTOR}"

    def _debugfs(self, request):
        return _run(["debugfs", "-R", request, self.device]).stdout

    def read(self, path):
        """The content of a regular file, or None when there is none."""
        if self.status(path) is None:
            return None
        return self._debugfs(f"cat {path}")

    def status(self, path):
        """Type ("regular", "directory", "symlink"), mode, owner, size and link
        target of `path` (symbolic links not followed), or None."""
        text = self._debugfs(f"stat {path}").decode(errors="replace")
        kind = re.search(r"Type: (\w+)\s+Mode:\s+(\d+)", text)
        if kind is None:
            return None
        owner = re.search(r"User:\s+(\d+)\s+Group:\s+(\d+)", text)
        size = re.search(r"Size: (\d+)", text)
        target = re.search(r'Fast link dest: "(.*)"', text)
        return FileStatus(kind.group(1), int(kind.group(2), 8), int(owner.group(1)),
                          int(owner.group(2)), int(size.group(1)),
                          target.group(1) if target else None)

    def journalled(self):
        header = _run(["dumpe2fs", "-h", self.device]).stdout.decode(errors="replace")
        return "has_journal" in header

    def check(self):
        """e2fsck -n -f: (exit status, what it said)."""
        result = _run(["e2fsck", "-n", "-f", self.device])
        return result.returncode, (result.stdout + result.stderr).decode(errors="replace")


class InstalledDisk:
    def __init__(self, image):
        self.image = image

    def head(self, size=SECTOR):
        with open(self.image, "rb") as disk:
            return disk.read(size)

    def partitions(self):
        """[(start sector, sectors, type, bootable)] as util-linux reads them."""
        result = _run(["sfdisk", "--json", self.image])
        if result.returncode != 0:
            return []
        table = json.loads(result.stdout)["partitiontable"]
        return [(p["start"], p["size"], p["type"], bool(p.get("bootable")))
                for p in table.get("partitions", [])]

    def file_system(self, number):
        return FileSystem(self.image, self.partitions()[number - 1][0])


# What the installer writes for a disk it knows as `device`.
def fstab_text(device, two_partitions, root_type):
    if two_partitions:
        lines = f"{device}2  /     {root_type} defaults 1 1\n{device}1  /boot ext2 defaults 1 2\n"
    else:
        lines = f"{device}1  /     {root_type} defaults 1 1\n"
    return lines + "none /proc proc defaults 0 0\nnone /dev/pts devpts gid=5,mode=620 0 0\n"


def lilo_conf_text(device, two_partitions):
    root = f"{device}2" if two_partitions else f"{device}1"
    return (f"boot={device}1\nmap=/boot/map\ninstall=/boot/boot.b\nlba32\nimage=/boot/vmlinuz\n"
            f"  label=System\n  root={root}\n  read-only\n")
