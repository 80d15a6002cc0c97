"""What the installer shows, as the whole-machine tests expect it.

The module loader, drive detection and the three installation flows are still
stand-ins in this build; every line they print that a test relies on lives
here, so that when one of them arrives only this file changes.
"""

LOADING_DRIVERS = "Loading drivers"
PRESS_ENTER = "Press ENTER to reboot"
REBOOTING = "Rebooting..."
INTERNAL_ERROR = "FATAL ERROR: internal error"

# CD-ROM mode on a machine without a hard disk: the plain lines between
# "Loading drivers" and the prompt.
CDROM_WITHOUT_DISK = [
    "FATAL ERROR: kernel module loading is not part of this build",
    "FATAL ERROR: kernel module loading is not part of this build",
    "",
    "FATAL ERROR: hard-drive detection is not part of this build",
]

# A line that only the hard-disk-image mode prints before its prompt.
HARD_DISK_MODE_MARK = "FATAL ERROR: hard disk installation is not part of this build"

# The hard-disk-image mode's closing lines after one ENTER. Its stand-in never
# enters raw mode, so the terminal echoes the ENTER as an empty line of its
# own before the installer's empty line.
HARD_DISK_MODE_CLOSING = [PRESS_ENTER, "", "", REBOOTING]
