"""The boot medium's root file system as the installer expects to find it.

The initramfs kernel mounts no devtmpfs for us, so every device node the
installer opens must be in the archive: the consoles, the disks it probes and
their partitions, the CD drive and the floppy.
"""

import os

from . import locations
from .i386_programs import add_mke2fs
from .initramfs import Initramfs
from .media_modules import add_mapped_modules, add_partitioning_tool

# Character devices every run needs. /dev/tty0 is separate: its presence is
# how the installer tells a screen console from a serial one.
# path -> (major, minor, mode)
CHARACTER_NODES = {
    "/dev/console": (5, 1, 0o600),
    "/dev/tty": (5, 0, 0o666),
    "/dev/null": (1, 3, 0o666),
    "/dev/zero": (1, 5, 0o666),
    "/dev/random": (1, 8, 0o666),
    "/dev/urandom": (1, 9, 0o666),
    "/dev/tty9": (4, 9, 0o600),     # the log console for tool output
    "/dev/ttyS0": (4, 64, 0o600),   # the serial console
}
SCREEN_CONSOLE_NODE = ("/dev/tty0", 4, 0, 0o600)

PARTITIONS_PER_DISK = 8

# The installer names drives the classic way; today's kernel names them
# otherwise. Each classic name becomes a node of the device that plays its
# part on today's PC (QEMU's "pc" board, Debian's kernel):
#
#   name      major, minor   today's device  so that
#   hda, hdb  3, 0 / 3, 64   none (old IDE)  the CD flow's first two candidates
#                                            fail to mount, as without a CD
#   hdc       11, 0          sr0             the CD drive, secondary master, is
#                                            the CD flow's third candidate
#   hdd       11, 1          sr1             a second CD drive
#   sda..sdh  8, 16 * n      sda..sdh        disks (ata_piix, ahci, usb-storage)
#                                            carry the names the drive scan
#                                            reports, so the hard-disk flow finds
#                                            its source under the same name
#
# name -> (major, first minor, whether partition nodes follow the whole device)
CLASSIC_DRIVES = {
    "hda": (3, 0, True),
    "hdb": (3, 64, True),
    "hdc": (11, 0, False),
    "hdd": (11, 1, False),
    **{f"sd{letter}": (8, 16 * index, True) for index, letter in enumerate("abcdefgh")},
}


def _disk_nodes():
    """Block devices (path -> (major, minor)) of every drive the installer knows."""
    nodes = {}
    for name, (major, first_minor, partitioned) in CLASSIC_DRIVES.items():
        nodes[f"/dev/{name}"] = (major, first_minor)
        if partitioned:
            for number in range(1, PARTITIONS_PER_DISK + 1):
                nodes[f"/dev/{name}{number}"] = (major, first_minor + number)
    nodes["/dev/sr0"] = (11, 0)
    nodes["/dev/fd0"] = (2, 0)
    return nodes


DISK_NODES = _disk_nodes()


def add_base_layout(image, screen_console=True):
    """Mount points, /dev with every node the installer uses, and /tmp."""
    for directory in ("/dev", "/proc", "/sys", "/mnt", "/floppy", "/etc", "/lib", "/sbin", "/bin"):
        image.directory(directory)
    image.directory("/tmp", 0o1777)
    for path, (major, minor, mode) in CHARACTER_NODES.items():
        image.char_device(path, major, minor, mode)
    if screen_console:
        image.char_device(*SCREEN_CONSOLE_NODE)
    for path, (major, minor) in DISK_NODES.items():
        image.block_device(path, major, minor)


def installer_initramfs(installer, type_text=None, init_path="/init", screen_console=True):
    """An initramfs that starts `installer` (a static i386 binary) as init.

    `type_text` becomes the content of /TYPE verbatim (None: no /TYPE). With
    `screen_console` false there is no /dev/tty0, so the installer moves its
    dialogue to the serial line. A different `init_path` needs the kernel
    argument rdinit=PATH (Machine's `init` parameter does that).
    """
    image = Initramfs()
    add_base_layout(image, screen_console)
    image.copy(init_path, installer, 0o755)
    if type_text is not None:
        image.file("/TYPE", type_text)
    return image


def installation_initramfs(installer, type_text=None, **options):
    """installer_initramfs() with what a real installation runs besides the
    installer: the mapped kernel modules, /sbin/sfdisk and /sbin/mke2fs."""
    image = installer_initramfs(installer, type_text, **options)
    add_mapped_modules(image)
    add_partitioning_tool(image)
    add_mke2fs(image)
    return image


def add_kernel_modules(image, names):
    """Copies modules of the fetched kernel into the image, each to its own
    path below /lib/modules/RELEASE. `names` are module names ("ata_piix",
    "crc-t10dif"; "-" and "_" are the same, as for the kernel). Returns
    {name: path relative to /lib/modules/RELEASE}; KeyError names a module
    that the fetched kernel does not have."""
    source = locations.kernel_modules_dir()
    wanted = {name.replace("-", "_"): name for name in names}
    found = {}
    for root, _, files in os.walk(source):
        for file_name in files:
            key = file_name[:-len(".ko")].replace("-", "_") if file_name.endswith(".ko") else None
            if key in wanted:
                found[wanted[key]] = os.path.relpath(os.path.join(root, file_name), source)
    missing = [name for name in names if name not in found]
    if missing:
        raise KeyError(f"modules not in {source}: {', '.join(missing)}")
    release_dir = f"/lib/modules/{locations.kernel_release()}"
    for relative in found.values():
        image.copy(f"{release_dir}/{relative}", os.path.join(source, relative))
    return found
