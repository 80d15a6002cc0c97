"""Installation media the whole-machine tests make: packages packed by the
native bdl from trees with chosen modes and owners, an ISO 9660 CD (xorriso,
Rock Ridge) and a FAT file system on a whole disk (mkfs.vfat, mtools).

Making packages with owners other than root needs root, as `make check` has.
"""

import os
import shutil
import subprocess
import tempfile

from bootimage import locations


class Entry:
    """One member of a package: "file" (with `content`), "dir" or "link"
    (to `target`), with its mode and owner."""

    def __init__(self, path, kind="file", mode=0o644, uid=0, gid=0, content=b"", target=None):
        self.path, self.kind, self.mode = path, kind, mode
        self.uid, self.gid = uid, gid
        self.content = content if isinstance(content, bytes) else content.encode()
        self.target = target


class Package:
    def __init__(self, name, version, depends, entries, description=""):
        self.name, self.version, self.depends = name, version, list(depends)
        self.entries = list(entries)
        self.description = description or f"the {name} package"

    @property
    def file_name(self):
        return f"{self.name}.bdl"

    @property
    def full_name(self):
        return f"{self.name}-{self.version}"


# A small system: "web" needs "dhcp", which needs "system"; "extra" stands
# alone. Modes, owners, a private directory and a link, as real packages have.
SAMPLE_PACKAGES = [
    Package("system", "1.0", [], [
        Entry("etc", "dir", 0o755),
        Entry("etc/issue", content="Korvanel test system\n"),
        Entry("etc/shadow", mode=0o600, content="root:*:19000:0:99999:7:::\n"),
        Entry("sbin", "dir", 0o755),
        Entry("sbin/halt", mode=0o755, content=b"\x7fELF not really\n"),
    ]),
    Package("dhcp", "4.4", ["system"], [
        Entry("etc", "dir", 0o755),
        Entry("etc/dhcpd.conf", mode=0o640, gid=101, content="subnet 10.0.0.0/24\n"),
        Entry("usr", "dir", 0o755),
        Entry("usr/sbin", "dir", 0o755),
        Entry("usr/sbin/dhcpd", mode=0o4755, content=b"#!/bin/sh\nexit 0\n"),
    ]),
    Package("web", "2.1", ["dhcp"], [
        Entry("var", "dir", 0o755),
        Entry("var/www", "dir", 0o750, uid=33, gid=33),
        Entry("var/www/index.html", mode=0o644, uid=33, gid=33, content="<h1>router</h1>\n" * 300),
        Entry("var/www/home.html", "link", target="index.html"),
    ]),
    Package("extra", "0.1", [], [
        Entry("usr", "dir", 0o755),
        Entry("usr/share", "dir", 0o755),
        Entry("usr/share/extra", content="not chosen\n"),
    ]),
]

# The packages the menu is driven to (web, with what it needs), in the
# installer's order.
CHOSEN = ["system", "dhcp", "web"]


def _build_tree(package, top):
    # Modes and owners come last, the latest entries first, so that a private
    # directory is filled before it closes.
    for entry in package.entries:
        path = os.path.join(top, entry.path)
        if entry.kind == "dir":
            os.makedirs(path, exist_ok=True)
        elif entry.kind == "link":
            os.symlink(entry.target, path)
        else:
            with open(path, "wb") as out:
                out.write(entry.content)
    for entry in reversed(package.entries):
        path = os.path.join(top, entry.path)
        os.lchown(path, entry.uid, entry.gid)
        if entry.kind != "link":
            os.chmod(path, entry.mode)


def pack(package, directory):
    """Packs `package` into DIRECTORY/NAME.bdl with the native bdl."""
    with tempfile.TemporaryDirectory(prefix="korvanel-tree-") as top:
        _build_tree(package, top)
        command = [locations.package_tool(), "pack", "--name", package.name,
                   "--version", package.version, "--description", package.description]
        if package.depends:
            command += ["--depends", ",".join(package.depends)]
        subprocess.run(command + [top, os.path.join(directory, package.file_name)], check=True)


def write_packages(directory, packages=SAMPLE_PACKAGES, defaults=("system", "dhcp")):
    """Every package into `directory`, and "defpacks" naming `defaults`."""
    for package in packages:
        pack(package, directory)
    with open(os.path.join(directory, "defpacks"), "w") as defpacks:
        defpacks.write(" ".join(defaults) + "\n")


def make_iso(source, path):
    """An ISO 9660 image of the directory `source`, with Rock Ridge names."""
    subprocess.run(["xorriso", "-as", "mkisofs", "-quiet", "-r", "-V", "KORVANEL",
                    "-o", path, source], check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.PIPE)


def make_fat_disk(path, size, source):
    """A sparse disk image of `size` bytes whose whole device is one FAT file
    system holding the files of the directory `source`."""
    with open(path, "wb") as image:
        image.truncate(size)
    subprocess.run(["mkfs.vfat", "-n", "KORVANEL", path], check=True,
                   stdout=subprocess.DEVNULL)
    names = [os.path.join(source, name) for name in sorted(os.listdir(source))]
    subprocess.run(["mcopy", "-i", path] + names + ["::/"], check=True)


def scratch_directory(test_case, prefix="korvanel-media-"):
    """A temporary directory removed when `test_case` ends."""
    path = tempfile.mkdtemp(prefix=prefix)
    test_case.addCleanup(shutil.rmtree, path, True)
    return path


def tool_missing():
    """The name of a host tool these media need that is not installed, or None."""
    for tool in ("xorriso", "mkfs.vfat", "mcopy", "debugfs", "e2fsck", "sfdisk"):
        if shutil.which(tool) is None and not os.path.exists(f"/usr/sbin/{tool}") \
                and not os.path.exists(f"/sbin/{tool}"):
            return tool
    return None
