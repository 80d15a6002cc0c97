"""What the installer shows, as the whole-machine tests expect it.

Every line the installer prints that a test relies on lives here, so that
when a flow changes only this file does.
"""

import re

LOADING_DRIVERS = "Loading drivers"
PRESS_ENTER = "Press ENTER to reboot"
REBOOTING = "Rebooting..."
INTERNAL_ERROR = "FATAL ERROR: internal error"


# The installer's module lists, in loading order.
STORAGE_MODULES = [
    "kernel/fs/ext2/ext2.ko", "kernel/fs/ext3/ext3.ko", "kernel/drivers/ide/ide-core.ko",
    "kernel/drivers/ide/ide-generic.ko", "kernel/drivers/ide/ide-disk.ko",
    "kernel/drivers/ide/pci/cmd64x.ko", "kernel/drivers/ide/pci/rz1000.ko",
    "kernel/drivers/ide/pci/via82cxxx.ko", "kernel/drivers/ide/pci/cs5530.ko",
    "kernel/drivers/ide/pci/piix.ko", "kernel/drivers/ide/pci/sc1200.ko",
    "kernel/drivers/ide/pci/ide-pci-generic.ko", "kernel/drivers/cdrom/cdrom.ko",
    "kernel/drivers/ide/ide-cd_mod.ko", "kernel/drivers/scsi/scsi_mod.ko",
    "kernel/drivers/scsi/scsi_wait_scan.ko", "kernel/drivers/scsi/sd_mod.ko",
    "kernel/drivers/ata/libata.ko", "kernel/drivers/ata/ahci.ko", "kernel/drivers/ata/ata_piix.ko",
    "kernel/drivers/ata/pata_mpiix.ko", "kernel/drivers/ata/pata_sis.ko",
    "kernel/drivers/ata/pdc_adma.ko", "kernel/drivers/ata/sata_mv.ko",
    "kernel/drivers/ata/sata_nv.ko", "kernel/drivers/ata/sata_promise.ko",
    "kernel/drivers/ata/sata_qstor.ko", "kernel/drivers/ata/sata_sil24.ko",
    "kernel/drivers/ata/sata_sil.ko", "kernel/drivers/ata/sata_sis.ko",
    "kernel/drivers/ata/sata_svw.ko", "kernel/drivers/ata/sata_sx4.ko",
    "kernel/drivers/ata/sata_uli.ko", "kernel/drivers/ata/sata_via.ko",
    "kernel/drivers/ata/sata_vsc.ko", "kernel/drivers/ata/pata_marvell.ko",
    "kernel/drivers/ata/pata_jmicron.ko", "kernel/drivers/ata/pata_it821x.ko",
    "kernel/drivers/ata/pata_it8213.ko",
]
USB_MODULES = [
    "kernel/drivers/usb/core/usbcore.ko", "kernel/drivers/usb/host/uhci-hcd.ko",
    "kernel/drivers/usb/host/ohci-hcd.ko", "kernel/drivers/usb/host/ehci-hcd.ko",
    "kernel/drivers/hid/usbhid/usbhid.ko", "kernel/drivers/usb/storage/usb-storage.ko",
]


def module_not_found(entry):
    return f"ERROR: could not load module {entry}: file not found"


# The drive search line ends in one dot per second of searching; tests compare
# lines after folding that run of dots (fold_dots).
SEARCHING = "Looking for harddrives...<dots>"
_SEARCH_LINE = re.compile(r"^Looking for harddrives\.\.\.\.*$")
_PROGRESS_LINE = re.compile(r"^(.*?\.\.\.)\.*$")


def fold_dots(lines):
    return [SEARCHING if _SEARCH_LINE.match(line) else line for line in lines]


def fold_progress(lines):
    """Every progress line ("Formatting disk...." and the like) with its run
    of dots cut to the three of its message."""
    return [_PROGRESS_LINE.sub(r"\1", line) for line in lines]


def found_drive(description):
    return f"Found harddrive as {description}"


NO_DRIVE = "FATAL ERROR: no harddrives found"
NO_CDROM = "FATAL ERROR: no CD-ROM found"

# CD-ROM mode on a machine without a hard disk and without modules on the
# medium: the plain lines (dots folded) between "Loading drivers" and the
# prompt. The search takes twenty seconds.
CDROM_WITHOUT_DISK = [module_not_found(entry) for entry in STORAGE_MODULES + USB_MODULES] + [
    "",
    SEARCHING,
    "",
    NO_DRIVE,
]

# CD-ROM mode once the disk is found, on a machine without a CD: the lines
# after the announcement.
CDROM_AFTER_DRIVE = ["", NO_CDROM]

# The hard-disk-image mode's welcome, its first line.
HARD_DISK_WELCOME = "Welcome to Korvanel Router Software hard disk installation"
NO_SOURCE_DISK = "FATAL ERROR: No hard disk found"

# The hard-disk-image mode's closing lines after one ENTER: its console is
# raw, so the installer's own empty line follows the prompt.
HARD_DISK_MODE_CLOSING = [PRESS_ENTER, "", REBOOTING]

# The questions after the package menu, and the end of an installation.
KEEP_QUESTION = "Do you want to keep old configuration?  [y/n]:"
ERASE_QUESTION = "Continue? [y/n]:"
INSTALLED = "Software installed."
# Said once, when the first package goes in, by an installer whose boot
# medium carries no package key.
UNVERIFIED = "Packages are not verified: the boot medium carries no package key."


def menu_details(name, needs="nothing"):
    """The line the package menu shows for its current item."""
    return f"{name} (depends on {needs}):"


def reading(full_name):
    return f"Reading: {full_name}..."


def network_installation(mac, label, server, keep=False, scripts=1, checked=True):
    """The network mode's lines from the welcome to the restart, progress
    folded: the card's and the server's addresses, the disk label, whether
    the old configuration is kept, how many scripts arrive, and whether the
    root is checked (the one-partition layout)."""
    return (["Welcome to Korvanel Router Software remote installation",
             "Press Ctrl-Alt-Delete to abort", "", f"mac-address: {mac}", "",
             "Waiting for drivers...", "Retrieving drivers...", UNVERIFIED, LOADING_DRIVERS, "", SEARCHING, "",
             found_drive("SATA 1"), f"disk label: {label}", "", "",
             "Waiting for installation server...", f"Found server at {server}", ""]
            + ["Reading old configuration..."] * keep
            + ["Creating partition...", "Formatting disk..."]
            + ["Writing back old configuration..."] * keep
            + [""] + ["Writing configuration..."] * scripts
            + ["Checking disk integrity..."] * checked
            + ["", "Software installed.", PRESS_ENTER, "", REBOOTING])
