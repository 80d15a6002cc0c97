#!/usr/bin/python3
"""Copies what an installed build-media needs of the cache (Debian's i386
kernel, the modules media take, the i386 programs the sample system and the
media carry) into a folder: debian/rules puts it under /usr/lib/korvanel."""

import argparse
import os
import shutil
import sys

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(SOURCE_DIR, "media"))
sys.dont_write_bytecode = True

from builder import version  # noqa: E402
from builder.installed_inputs import cache_files  # noqa: E402
from builder.sources import MediaError, Sources  # noqa: E402


def main(argv):
    parser = argparse.ArgumentParser(
        prog="stage-boot-inputs.py",
        description="Copies the boot inputs an installed build-media uses from CACHE to DEST.")
    parser.add_argument("--version", action="version", version=f"stage-boot-inputs.py {version()}")
    parser.add_argument("cache", metavar="CACHE", help="the cache (make i386 kernel filled it)")
    parser.add_argument("destination", metavar="DEST", help="the cache folder to fill")
    arguments = parser.parse_args(argv)
    try:
        files = cache_files(Sources(os.path.join(SOURCE_DIR, "build", "i386"), arguments.cache))
    except (MediaError, OSError, ValueError) as error:
        print(f"stage-boot-inputs.py: {error}", file=sys.stderr)
        return 1
    for relative, source in files:
        target = os.path.join(arguments.destination, relative)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(source, target)
        mode = os.stat(source).st_mode
        os.chmod(target, 0o755 if mode & 0o111 else 0o644)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
