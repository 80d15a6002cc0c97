"""What the sample system package takes from Debian, added to its static
files (media/packages/system/root):

- Debian's 686 kernel as /boot/vmlinuz, and /boot/initrd.img, the installed
  system's early start: the kernel has no disk or file-system drivers of its
  own, so the initrd loads them (the same modules, in the same order, as the
  installer's media map) and hands over to the root's /sbin/init;
- static busybox as the system's tools (/bin/busybox and its applet links);
- /sbin/report-up (the project's own), which reports the first start to the
  installation server, and the network card's driver in the initrd for it;
- /bin/bash and /sbin/fsck (with e2fsck), which the installer's post-install
  step runs inside the new system, and extlinux, which the post-install
  script installs; each with its program interpreter and libraries.
"""

import os
import subprocess

from . import images, staging
from .sources import MediaError

BUSYBOX = "/bin/busybox"
PROGRAMS = ("/bin/bash", "/sbin/fsck", "/sbin/e2fsck", "/usr/bin/extlinux")
# Applets that would stand in the way of the system's own files.
SKIPPED_APPLETS = ("linuxrc", "sbin/init")
INITRD_APPLETS = ("sh", "mount", "umount", "insmod", "cat", "sleep", "switch_root")
# path -> mode: the mount points and the rest of a root's skeleton.
DIRECTORIES = {"/dev": 0o755, "/proc": 0o555, "/sys": 0o555, "/tmp": 0o1777,
               "/root": 0o700, "/mnt": 0o755, "/var": 0o755}


def busybox_applets(i386_root):
    """Guest paths of busybox's applets, as the binary itself lists them."""
    result = subprocess.run([os.path.join(i386_root, BUSYBOX.lstrip("/")), "--list-full"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if result.returncode != 0:
        raise MediaError(f"cannot list busybox's applets: {result.stderr.strip()}")
    return ["/" + line for line in result.stdout.split() if line not in SKIPPED_APPLETS]


def installed_modules():
    """The kernel modules the installed system loads, in loading order: the
    media map's modules, each once, and the network card's."""
    modules = []
    for _, module in images.read_module_map():
        if module not in modules:
            modules.append(module)
    return modules + [module for module in images.NETWORK_CARD_MODULES if module not in modules]


def initrd_image(sources, i386_root):
    image = images.Initramfs()
    for path in ("/bin", "/dev", "/proc", "/sys", "/newroot", "/lib/modules"):
        image.directory(path)
    image.char_device("/dev/console", 5, 1, 0o600)
    image.copy("/init", sources.media_file("packages", "system", "initrd-init"), 0o755)
    image.copy(BUSYBOX, os.path.join(i386_root, BUSYBOX.lstrip("/")), 0o755)
    for applet in INITRD_APPLETS:
        image.symlink(f"/bin/{applet}", "busybox")
    names = []
    for module in installed_modules():
        name = os.path.basename(module)
        image.copy(f"/lib/modules/{name}", os.path.join(sources.kernel_modules_dir(), module),
                   0o644)
        names.append(name)
    image.file("/lib/modules/load-order", "".join(f"{name}\n" for name in names))
    return image


def add_generated_parts(stage, sources, i386_root):
    for path, mode in DIRECTORIES.items():
        staging.directory(staging.inside(stage, path), mode)
    staging.copy_file(sources.kernel_image(), staging.inside(stage, "/boot/vmlinuz"), 0o644)
    initrd_image(sources, i386_root).write(staging.inside(stage, "/boot/initrd.img"),
                                           compress=True)
    staging.copy_file(os.path.join(i386_root, BUSYBOX.lstrip("/")),
                      staging.inside(stage, BUSYBOX), 0o755)
    staging.copy_file(sources.program("report-up"), staging.inside(stage, "/sbin/report-up"), 0o755)
    for program in PROGRAMS:
        for path in images.program_closure(program, i386_root):
            source = os.path.realpath(os.path.join(i386_root, path.lstrip("/")))
            staging.copy_file(source, staging.inside(stage, path), 0o755)
    for applet in busybox_applets(i386_root):
        destination = staging.inside(stage, applet)
        if not os.path.lexists(destination):
            staging.symlink(BUSYBOX, destination)
