#!/usr/bin/python3
"""Sizes of what media/build-media makes: the sample packages, the CD, the
self-installing disk and the network boot files and server root.

  media_sizes.py [--outdir DIR]     (default: build/bench-media)

Makes each medium (nothing when up to date) and prints, per file, its size
and, for sparse disk images, how much of it is in use. Ratios: each medium
against the sample packages it carries.
"""

import argparse
import os
import subprocess
import sys

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD_MEDIA = os.path.join(SOURCE_DIR, "media", "build-media")
sys.path.insert(0, os.path.join(SOURCE_DIR, "media"))

from builder import version  # noqa: E402


def sizes(path):
    """(bytes, bytes in use) of a file or of everything below a folder."""
    if os.path.isfile(path):
        info = os.stat(path)
        return info.st_size, info.st_blocks * 512
    total = used = 0
    for root, _, files in os.walk(path):
        for name in files:
            if not name.startswith("."):
                info = os.stat(os.path.join(root, name))
                total += info.st_size
                used += info.st_blocks * 512
    return total, used


def mb(size):
    if size < 1000:
        return f"{size:8d}  B"
    if size < 100_000:
        return f"{size / 1e3:8.1f} kB"
    return f"{size / 1e6:8.1f} MB"


def iso_member_size(iso, path):
    """The size of one file on an ISO image, read with xorriso."""
    listing = subprocess.run(["xorriso", "-indev", iso, "-lsdl", path], stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL, text=True).stdout.split()
    return int(listing[4]) if len(listing) > 4 else 0


def build(command, outdir, *options):
    result = subprocess.run([BUILD_MEDIA, command, outdir, *options], stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True)
    if result.returncode != 0:
        sys.exit(f"build-media {command} failed:\n{result.stdout}")


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version", version="%(prog)s " + version())
    parser.add_argument("--outdir", default=os.path.join(SOURCE_DIR, "build", "bench-media"))
    arguments = parser.parse_args(argv)
    outdir = arguments.outdir
    packages = os.path.join(outdir, "packages")
    build("packages", packages)
    media = [("packages", packages)]
    for command, product in (("cdrom", "korvanel-cdrom.iso"), ("hdd", "korvanel-hdd.img")):
        build(command, os.path.join(outdir, command), "--packages", packages)
        media.append((command, os.path.join(outdir, command, product)))
    if os.path.exists(os.path.join(SOURCE_DIR, "media", "builder", "net.py")):
        build("net", os.path.join(outdir, "net"))
        media += [("net boot files", os.path.join(outdir, "net", "boot")),
                  ("net server root", os.path.join(outdir, "net", "server"))]

    print(f"{'':34}{'size':>11}{'in use':>11}")
    for name in sorted(os.listdir(packages)):
        if not name.startswith("."):
            size, used = sizes(os.path.join(packages, name))
            print(f"  packages/{name:24}{mb(size)}{mb(used)}")
    package_bytes = sizes(packages)[0]
    for name, path in media:
        size, used = sizes(path)
        print(f"{name:34}{mb(size)}{mb(used)}   {used / package_bytes:5.2f} x the packages")
        if name == "cdrom":
            for member in ("/boot/vmlinuz", "/boot/initrd.gz"):
                print(f"  {name}:{member:27}{mb(iso_member_size(path, member))}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
