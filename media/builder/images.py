"""The boot-image helpers (media/bootimage) that the whole-machine tests use
too, pointed at the builder's build and cache: a medium made here carries
exactly what the tests' media carry."""

import os

from bootimage import i386_programs, installer_initramfs, media_modules, network_medium
from bootimage.initramfs import Initramfs  # noqa: F401


def use(sources):
    """Points the helpers at the builder's build and cache."""
    os.environ["KORVANEL_CACHE"] = sources.cache_dir
    os.environ["KORVANEL_I386_DIR"] = sources.i386_dir


def read_module_map():
    return media_modules.read_module_map()


def program_closure(path, root):
    return i386_programs.program_closure(path, root)


def installer_image(installer, type_text):
    """The installer's medium root: /init, /TYPE, the device nodes with the
    classic drive names, the mapped modules, sfdisk and mke2fs."""
    return installer_initramfs.installation_initramfs(installer, type_text)


def network_image():
    """The network medium: netboot-init, the network card's driver, the
    installer; everything else comes from the server."""
    return network_medium.network_initramfs()


DRIVER_PACKAGE = network_medium.DRIVER_PACKAGE


def driver_tree(root):
    return network_medium.driver_tree(root)
