"""The boot-image helpers (media/bootimage) that the whole-machine tests use
too, pointed at the builder's build and cache: a medium made here carries
exactly what the tests' media carry."""

import os

from bootimage import i386_programs, installer_initramfs, media_modules, network_medium
from bootimage.initramfs import Initramfs  # noqa: F401

from .signing import LOWEST_RELEASE_PATH, PACKAGE_KEY_PATH


def use(sources):
    """Points the helpers at the builder's build and cache."""
    os.environ["KORVANEL_CACHE"] = sources.cache_dir
    os.environ["KORVANEL_I386_DIR"] = sources.i386_dir


def read_module_map():
    return media_modules.read_module_map()


def program_closure(path, root):
    return i386_programs.program_closure(path, root)


def installer_image(installer, type_text, package_key=None, lowest_release=None):
    """The installer's medium root: /init, /TYPE, the device nodes with the
    classic drive names, the mapped modules, sfdisk and mke2fs, and the
    public key text `package_key` as /package-key.pub and the lowest release
    text as /package-key.release when given."""
    image = installer_initramfs.installation_initramfs(installer, type_text)
    if package_key is not None:
        image.file(PACKAGE_KEY_PATH, package_key)
    if lowest_release is not None:
        image.file(LOWEST_RELEASE_PATH, lowest_release)
    return image


def network_image(package_key=None, lowest_release=None):
    """The network medium: netboot-init, the network card's driver, the
    installer, and the package key and lowest release when given;
    everything else comes from the server."""
    return network_medium.network_initramfs(package_key=package_key,
                                            lowest_release=lowest_release)


DRIVER_PACKAGE = network_medium.DRIVER_PACKAGE
# The cards the installed system reports its first start on.
NETWORK_CARD_MODULES = network_medium.NETWORK_CARD_MODULES


def driver_tree(root):
    return network_medium.driver_tree(root)
