"""A network installation medium, and the driver package its server hands out.

The medium carries only what starts the installer: netboot-init as /init
(media/netboot-init), which loads the modules named in /etc/netboot-modules
(the network card's driver and floppy.ko) and then becomes the installer,
/bin/installer, started as init; and /TYPE saying "net".

Everything else comes from the server. Its drivers/RELEASE.bdl holds the
disk drivers at the installer's list entries (media/module-map.txt), the
partitioning tool /sbin/sfdisk and Debian's /sbin/mke2fs with its libraries
and /etc/mke2fs.conf; the installer installs it into its own running
system before it loads its module lists. The tools travel with the drivers
rather than on the medium because the medium must stay small enough to
start from anything (a floppy, a network boot), because only a machine that
reached a server needs them, and because an operator then updates them on
the server with the drivers they belong to, without new boot media.
"""

import os
import shutil
import subprocess

from . import locations
from .i386_programs import add_mke2fs
from .initramfs import Initramfs
from .installer_initramfs import add_base_layout
from .media_modules import add_mapped_modules, add_partitioning_tool

# What netboot-init loads: the driver of QEMU's default network card, and
# the floppy driver for the disk-label floppy ("/dev/fd0"). Both need no
# other module.
NETWORK_CARD_MODULES = ["kernel/drivers/net/ethernet/intel/e1000/e1000.ko"]
NETBOOT_MODULES = NETWORK_CARD_MODULES + ["kernel/drivers/block/floppy.ko"]


def network_initramfs(netboot_modules=NETBOOT_MODULES, package_key=None, lowest_release=None):
    """The medium: netboot-init as /init, the installer as /bin/installer,
    and the text of the operator's public key as /package-key.pub when
    `package_key` is given (the installer then takes only packages signed
    with it and follows the server's release list), with the text of the
    lowest release it accepts as /package-key.release."""
    image = Initramfs()
    add_base_layout(image)
    image.copy("/init", locations.i386_program("netboot-init"), 0o755)
    image.copy("/bin/installer", locations.installer_path(), 0o755)
    image.file("/TYPE", "net\n")
    if package_key is not None:
        image.file("/package-key.pub", package_key)
    if lowest_release is not None:
        image.file("/package-key.release", lowest_release)
    image.file("/etc/netboot-modules", "".join(entry + "\n" for entry in netboot_modules))
    release_dir = f"/lib/modules/{locations.kernel_release()}"
    for entry in netboot_modules:
        image.copy(f"{release_dir}/{entry}",
                   os.path.join(locations.kernel_modules_dir(), entry), 0o644)
    return image


class DirectoryTree:
    """A directory filled like an Initramfs: `copy(path, source, mode)`
    puts the machine's file `source` at `path` below the directory."""

    def __init__(self, root):
        self.root = root

    def copy(self, path, source, mode=None):
        target = os.path.join(self.root, path.lstrip("/"))
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(source, target)
        os.chmod(target, mode if mode is not None else os.stat(source).st_mode & 0o7777)


def pack(tree, out, name, version="1.0", depends=(), bdl=None):
    """Packs the directory `tree` into the package file `out` with the bdl
    tool (default: the native build's)."""
    command = [bdl or locations.host_program("bdl"), "pack", "--name", name,
               "--version", version]
    if depends:
        command += ["--depends", ",".join(depends)]
    subprocess.run(command + [tree, out], check=True, stdout=subprocess.DEVNULL)
    return out


DRIVER_PACKAGE = "disk-drivers"


def driver_tree(root):
    """Fills the folder `root` with what the driver package installs: the
    mapped disk drivers, the partitioning tool and mke2fs."""
    tree = DirectoryTree(root)
    add_mapped_modules(tree)
    add_partitioning_tool(tree)
    add_mke2fs(tree)
    return root


def write_driver_package(out, workdir, bdl=None):
    """drivers/RELEASE.bdl for the fetched kernel. Its tree is built in
    `workdir`."""
    tree = driver_tree(os.path.join(workdir, "driver-tree"))
    return pack(tree, out, DRIVER_PACKAGE, locations.kernel_release(), bdl=bdl)
