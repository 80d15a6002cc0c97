"""The initramfs writer and the boot-medium helpers that the whole-machine
test harness (tests/e2e) already has: the builder uses the same ones, so
that a medium it makes carries exactly what the tests' media carry."""

import os
import sys

from .sources import SOURCE_DIR

sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "e2e"))

import i386_programs  # noqa: E402
import installer_initramfs  # noqa: E402
import media_modules  # noqa: E402
from initramfs import Initramfs  # noqa: E402,F401


def use(sources):
    """Points the helpers at the builder's build and cache."""
    os.environ["KORVANEL_CACHE"] = sources.cache_dir
    os.environ["KORVANEL_I386_DIR"] = sources.i386_dir


def read_module_map():
    return media_modules.read_module_map()


def add_program(image, path, root):
    i386_programs.add_program(image, path, root)


def program_closure(path, root):
    return i386_programs.program_closure(path, root)


def installer_image(installer, type_text):
    """The installer's medium root: /init, /TYPE, the device nodes, the
    mapped modules, sfdisk and mke2fs."""
    image = installer_initramfs.installer_initramfs(installer, type_text)
    media_modules.add_mapped_modules(image)
    media_modules.add_partitioning_tool(image)
    i386_programs.add_mke2fs(image)
    return image
