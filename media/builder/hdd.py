"""The self-installing disk image: one FAT file system on the whole device
(no partition table), made bootable with syslinux, which starts Debian's
kernel with the installer as init and the switch "-hdd-install". Beside the
kernel and the installer's initramfs it carries what the installer reads
before it rewrites the very disk: "mbr" (the first sector the installed disk
gets: our boot code), "autorun.scr" (the new system's configuration script),
the packages and "defpacks", and with --choose the marker "CHOOSE" (the
installer then shows the package menu instead of installing every package).
"""

import os
import subprocess
import tempfile

from . import images
from .boot_config import syslinux_config
from .cdrom import installer_inputs, medium_packages, release_beside
from .signing import RELEASE_LIST_NAME
from .freshness import Product, fingerprint
from .sources import MediaError

IMAGE_NAME = "korvanel-hdd.img"
# The medium is also the disk the system is installed on.
IMAGE_BYTES = 256 << 20
SECTOR_BYTES = 512
VOLUME_LABEL = "KORVANEL"


def first_sector(boot_code_path):
    """The "mbr" file: our boot code, then zeros, then the signature; the
    installer keeps bytes 0-445 when it writes the partition table."""
    with open(boot_code_path, "rb") as boot_code:
        code = boot_code.read()
    if len(code) > 446:
        raise MediaError(f"{boot_code_path}: {len(code)} bytes do not fit before the table")
    return code + bytes(SECTOR_BYTES - 2 - len(code)) + b"\x55\xaa"


def build_hdd(sources, outdir, packages_dir, choose, report, signing):
    os.makedirs(outdir, exist_ok=True)
    files, defaults = medium_packages(sources, outdir, packages_dir, report, signing)
    image = os.path.join(outdir, IMAGE_NAME)
    product = Product(outdir, "hdd", [image])
    carried = files + ([defaults] if defaults else [])
    given = release_beside(files)
    print_of_inputs = fingerprint(
        carried + installer_inputs(sources) + signing.inputs()
        + [sources.boot_code(), sources.media_file("autorun.scr")]
        + ([given] if os.path.isfile(given) else []),
        settings=[f"choose={choose}", f"bytes={IMAGE_BYTES}", *signing.settings()])
    if product.up_to_date(print_of_inputs):
        report.unchanged("hdd", outdir, [image])
        return image
    product.invalidate()
    signing.check(sources.program("bdl"), files)
    with tempfile.TemporaryDirectory(prefix=".hdd-", dir=outdir) as stage:
        def staged(name, data):
            path = os.path.join(stage, name)
            with open(path, "wb") as out:
                out.write(data.encode() if isinstance(data, str) else data)
            return path

        generated = [
            staged("syslinux.cfg", syslinux_config("/vmlinuz", "/initrd.gz",
                                                   ["-hdd-install"])),
            staged("mbr", first_sector(sources.boot_code())),
        ]
        # The list names the packages and what the installer reads beside
        # them: the script and the first sector.
        release_list = os.path.join(stage, RELEASE_LIST_NAME)
        number = signing.write_release(sources.program("bdl"), release_list,
                                       files + [sources.media_file("autorun.scr"), generated[1]],
                                       given=given)
        if number is not None:
            generated.append(release_list)
        initrd = os.path.join(stage, "initrd.gz")
        images.installer_image(sources.program("installer"), None, signing.public_key_text(),
                               signing.lowest_release_text(number)).write(initrd, compress=True)
        generated.append(initrd)
        if choose:
            generated.append(staged("CHOOSE", ""))
        partial = image + ".partial"
        try:
            with open(partial, "wb") as disk:
                disk.truncate(IMAGE_BYTES)
            # --invariant: no random volume serial, no time of today; mtools
            # (and syslinux through it) dates its files SOURCE_DATE_EPOCH.
            run(["mkfs.vfat", "--invariant", "-n", VOLUME_LABEL, partial])
            run(["syslinux", "--install", partial])
            run(["mcopy", "-i", partial, "-o", *generated, sources.kernel_image(),
                 sources.media_file("autorun.scr"), *carried, "::/"])
        except MediaError:
            if os.path.exists(partial):
                os.unlink(partial)
            raise
        os.replace(partial, image)
    product.record(print_of_inputs)
    report.made("hdd", outdir, [image])
    return image


def run(command):
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            text=True, env={**os.environ, "MTOOLS_SKIP_CHECK": "1"})
    if result.returncode != 0:
        raise MediaError(f"{command[0]} failed:\n{result.stdout.strip()}")
