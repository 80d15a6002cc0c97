"""The boot loader's configuration on installation media (isolinux on the
CD, syslinux on the disk image, pxelinux for a network boot): the same two
entries everywhere, one with the console on the first serial line (the
default) and one on the PC screen and keyboard."""

PROMPT_SECONDS = 5


def syslinux_config(kernel, initrd, init_arguments=()):
    """The configuration text; `kernel` and `initrd` as the loader finds
    them, `init_arguments` passed on to the installer."""
    tail = " -- " + " ".join(init_arguments) if init_arguments else ""
    lines = [
        "SERIAL 0 115200",
        "PROMPT 1",
        f"TIMEOUT {PROMPT_SECONDS * 10}",
        "DEFAULT serial",
        "SAY Korvanel installer: Enter (or waiting) starts it on the serial line,",
        "SAY \"screen\" on the PC screen and keyboard.",
    ]
    for label, console in (("serial", "console=ttyS0,115200"), ("screen", "console=tty0")):
        lines += [f"LABEL {label}", f"  KERNEL {kernel}", f"  INITRD {initrd}",
                  f"  APPEND {console} quiet{tail}"]
    return "\n".join(lines) + "\n"
