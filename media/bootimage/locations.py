"""Where the harness finds its inputs, with the environment's say first.

KORVANEL_CACHE    the cache of fetched things (kernel/vmlinuz, kernel/release,
                  kernel/root/lib/modules/RELEASE); default build/cache
KORVANEL_I386_DIR the static i386 build (bin/installer); default build/i386
KORVANEL_HOST_DIR the native build (bin/bdl, bin/netinstall-server, bootcode.bin);
                  default build/host
KORVANEL_QEMU     the emulator; default qemu-system-i386 from PATH
"""

import os
import shutil

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


class MissingPrerequisite(RuntimeError):
    """Something the whole-machine tests need is not built or fetched yet."""


def version():
    """The project's version (the VERSION file), for the scripts' --version."""
    with open(os.path.join(SOURCE_DIR, "VERSION")) as text:
        return text.readline().strip()


def cache_dir():
    return os.environ.get("KORVANEL_CACHE") or os.path.join(SOURCE_DIR, "build", "cache")


def i386_dir():
    return os.environ.get("KORVANEL_I386_DIR") or os.path.join(SOURCE_DIR, "build", "i386")


def host_dir():
    return os.environ.get("KORVANEL_HOST_DIR") or os.path.join(SOURCE_DIR, "build", "host")


def _existing(path, remedy):
    if not os.path.isfile(path):
        raise MissingPrerequisite(f"{path} is missing ({remedy})")
    return path


def kernel_path():
    return _existing(os.path.join(cache_dir(), "kernel", "vmlinuz"),
                     "run scripts/fetch-kernel.sh or `make kernel`, and set KORVANEL_CACHE")


def kernel_release():
    path = _existing(os.path.join(cache_dir(), "kernel", "release"),
                     "run scripts/fetch-kernel.sh or `make kernel`, and set KORVANEL_CACHE")
    with open(path) as release:
        return release.read().strip()


def kernel_modules_dir():
    """The unpacked /lib/modules/RELEASE of the kernel that the machines boot."""
    return os.path.join(cache_dir(), "kernel", "root", "lib", "modules", kernel_release())


def installer_path():
    return _existing(os.path.join(i386_dir(), "bin", "installer"), "run `make i386`")


def package_tool():
    """The native bdl, which makes the test packages."""
    return _existing(os.path.join(host_dir(), "bin", "bdl"), "run `make host`")


def boot_code():
    """The installer's boot code as assembled by the native build."""
    return _existing(os.path.join(host_dir(), "bootcode.bin"), "run `make host`")


def qemu_binary():
    name = os.environ.get("KORVANEL_QEMU") or "qemu-system-i386"
    found = shutil.which(name)
    if found is None:
        raise MissingPrerequisite(f"{name} not found (install qemu-system-x86)")
    return found


def host_program(name):
    return _existing(os.path.join(host_dir(), "bin", name), "run `make host`")


def i386_program(name):
    return _existing(os.path.join(i386_dir(), "bin", name), "run `make i386`")
