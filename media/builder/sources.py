"""Where the media builder finds what it puts on media, and how it reports
what is missing.

- the project's static i386 build (installer, sfdisk, bdl, the boot code);
- the cache (Debian's i386 kernel and the Debian i386 packages unpacked
  under i386-root, both fetched there once by scripts/);
- this machine's syslinux family (isolinux, syslinux, pxelinux), installed
  by scripts/install-deps.sh.
"""

import os
import subprocess

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
MEDIA_DIR = os.path.join(SOURCE_DIR, "media")
# A source tree has its CMakeLists.txt and uses its own builds; the copy that
# Debian's korvanel-tools installs (under /usr/share/korvanel) has none and
# uses what the packages installed: the static i386 build and the boot
# inputs under INSTALLED_DIR, the release build of the server.
INSTALLED = not os.path.isfile(os.path.join(SOURCE_DIR, "CMakeLists.txt"))
INSTALLED_DIR = "/usr/lib/korvanel"
INSTALLED_SERVER = "/usr/sbin/netinstall-server"


def default_i386_dir():
    if INSTALLED:
        return os.path.join(INSTALLED_DIR, "i386")
    return os.path.join(SOURCE_DIR, "build", "i386")


def default_cache_dir():
    if INSTALLED:
        return os.path.join(INSTALLED_DIR, "cache")
    return os.path.join(SOURCE_DIR, "build", "cache")


def default_server():
    """netinstall-server: the source tree's own build (the tests'), or the
    installed release build."""
    if INSTALLED:
        return INSTALLED_SERVER
    return os.path.join(SOURCE_DIR, "build", "host", "bin", "netinstall-server")

# Debian i386 packages whose programs go on media and into the sample system,
# with the libraries they link against.
DEBIAN_PACKAGES = (
    "libc6", "e2fsprogs", "libext2fs2", "libcom-err2", "libblkid1", "libuuid1",
    "busybox-static", "bash", "libtinfo6", "extlinux",
    "util-linux", "libmount1", "libselinux1", "libpcre2-8-0",
)

_SYSLINUX_FILES = {
    "isolinux.bin": "/usr/lib/ISOLINUX/isolinux.bin",
    "pxelinux.0": "/usr/lib/PXELINUX/pxelinux.0",
    "ldlinux.c32": "/usr/lib/syslinux/modules/bios/ldlinux.c32",
}


class MediaError(Exception):
    """Something the builder needs is missing or a tool failed; the message
    says what and, where there is one, the remedy."""


def _existing(path, remedy):
    if not os.path.exists(path):
        raise MediaError(f"{path} is missing ({remedy})")
    return path


class Sources:
    def __init__(self, i386_dir, cache_dir):
        self.i386_dir = os.path.abspath(i386_dir)
        self.cache_dir = os.path.abspath(cache_dir)

    # -- the project's i386 build --------------------------------------------

    def program(self, name):
        return _existing(os.path.join(self.i386_dir, "bin", name), "run `make i386`")

    def boot_code(self):
        return _existing(os.path.join(self.i386_dir, "bootcode.bin"), "run `make i386`")

    # -- the cache -------------------------------------------------------------

    def kernel_image(self):
        return _existing(os.path.join(self.cache_dir, "kernel", "vmlinuz"), "run `make kernel`")

    def kernel_release(self):
        path = _existing(os.path.join(self.cache_dir, "kernel", "release"), "run `make kernel`")
        with open(path) as release:
            return release.read().strip()

    def kernel_modules_dir(self):
        return _existing(os.path.join(self.cache_dir, "kernel", "root", "lib", "modules",
                                      self.kernel_release()), "run `make kernel`")

    def i386_root(self):
        """The unpacked Debian i386 packages; fetches those still missing
        (a no-op once they are there). An installed copy has them from its
        package and fetches nothing."""
        if INSTALLED:
            return _existing(os.path.join(self.cache_dir, "i386-root"),
                             "reinstall korvanel-tools, or name a cache with --cache")
        script = os.path.join(SOURCE_DIR, "scripts", "fetch-i386-packages.sh")
        result = subprocess.run([script, self.cache_dir, *DEBIAN_PACKAGES],
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        if result.returncode != 0:
            raise MediaError(f"cannot fetch Debian's i386 packages:\n{result.stdout.strip()}")
        return os.path.join(self.cache_dir, "i386-root")

    # -- this machine ---------------------------------------------------------

    @staticmethod
    def syslinux_file(name):
        return _existing(_SYSLINUX_FILES[name], "run scripts/install-deps.sh")

    @staticmethod
    def media_file(*parts):
        return os.path.join(MEDIA_DIR, *parts)
