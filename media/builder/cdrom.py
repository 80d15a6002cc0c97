"""The installation CD: an ISO 9660 image (Rock Ridge names) that isolinux
boots from its El Torito record into Debian's kernel with the installer as
init (/TYPE "cdrom"); the packages and "defpacks" lie at the top of the
disc, where the installer looks for them once it has mounted the CD."""

import os
import subprocess
import tempfile

from . import images
from .boot_config import syslinux_config
from .freshness import Product, builder_code, fingerprint
from .packages import build_packages, package_files
from .signing import RELEASE_LIST_NAME
from .sources import MediaError

ISO_NAME = "korvanel-cdrom.iso"
VOLUME_ID = "KORVANEL"


def medium_packages(sources, outdir, packages_dir, report, signing):
    """The packages a medium carries: DIR's (signed by whoever made them),
    or the sample packages made in OUTDIR/packages (signed with the key of
    `signing`, if any). Returns (package files, defpacks or None)."""
    if packages_dir is None:
        packages_dir = os.path.join(outdir, "packages")
        build_packages(sources, packages_dir, report, signing)
    if not os.path.isdir(packages_dir):
        raise MediaError(f"{packages_dir}: no such folder of packages")
    files = package_files(packages_dir)
    if not files:
        raise MediaError(f"{packages_dir} holds no package (*.bdl)")
    defaults = os.path.join(packages_dir, "defpacks")
    return files, (defaults if os.path.isfile(defaults) else None)


def release_beside(files):
    """The release list that came with the packages, if any."""
    return os.path.join(os.path.dirname(files[0]), RELEASE_LIST_NAME)


def installer_inputs(sources):
    """What every installer medium is made of, for fingerprints."""
    return [sources.program("installer"), sources.program("sfdisk"), sources.kernel_image(),
            sources.kernel_modules_dir(), sources.media_file("module-map.txt"),
            os.path.join(sources.cache_dir, "i386-debs"), *builder_code()]


def build_cdrom(sources, outdir, packages_dir, report, signing):
    os.makedirs(outdir, exist_ok=True)
    files, defaults = medium_packages(sources, outdir, packages_dir, report, signing)
    iso = os.path.join(outdir, ISO_NAME)
    product = Product(outdir, "cdrom", [iso])
    carried = files + ([defaults] if defaults else [])
    given = release_beside(files)
    print_of_inputs = fingerprint(carried + installer_inputs(sources) + signing.inputs()
                                  + [sources.syslinux_file("isolinux.bin")]
                                  + ([given] if os.path.isfile(given) else []),
                                  settings=signing.settings())
    if product.up_to_date(print_of_inputs):
        report.unchanged("cdrom", outdir, [iso])
        return iso
    product.invalidate()
    signing.check(sources.program("bdl"), files)
    with tempfile.TemporaryDirectory(prefix=".cdrom-", dir=outdir) as stage:
        os.makedirs(os.path.join(stage, "isolinux"))
        os.makedirs(os.path.join(stage, "boot"))
        with open(os.path.join(stage, "isolinux", "isolinux.cfg"), "w") as config:
            config.write(syslinux_config("/boot/vmlinuz", "/boot/initrd.gz"))
        # The list names what the CD carries; the boot medium the lowest
        # release it accepts.
        release_list = os.path.join(stage, RELEASE_LIST_NAME)
        number = signing.write_release(sources.program("bdl"), release_list, files,
                                       given=release_beside(files))
        image = images.installer_image(sources.program("installer"), "cdrom\n",
                                       signing.public_key_text(),
                                       signing.lowest_release_text(number))
        image.write(os.path.join(stage, "boot", "initrd.gz"), compress=True)
        # Large files go in by reference, not copied into the stage.
        grafts = [f"/isolinux/isolinux.bin={sources.syslinux_file('isolinux.bin')}",
                  f"/isolinux/ldlinux.c32={sources.syslinux_file('ldlinux.c32')}",
                  f"/boot/vmlinuz={sources.kernel_image()}"]
        grafts += [f"/{os.path.basename(path)}={path}" for path in carried]
        grafts.append(f"/={stage}")
        # -r: Rock Ridge names with root as owner and readable modes,
        # whoever builds; every date is SOURCE_DATE_EPOCH.
        epoch = os.environ["SOURCE_DATE_EPOCH"]
        run_xorriso(["-as", "mkisofs", "-quiet", "-r", "-V", VOLUME_ID,
                     "--set_all_file_dates", f"={epoch}",
                     "-b", "isolinux/isolinux.bin", "-c", "isolinux/boot.cat",
                     "-no-emul-boot", "-boot-load-size", "4", "-boot-info-table",
                     "-o", iso + ".partial", "-graft-points", *grafts], iso)
    product.record(print_of_inputs)
    report.made("cdrom", outdir, [iso])
    return iso


def run_xorriso(arguments, output):
    result = subprocess.run(["xorriso", *arguments], stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True)
    partial = output + ".partial"
    if result.returncode != 0:
        if os.path.exists(partial):
            os.unlink(partial)
        raise MediaError(f"xorriso could not make {output}:\n{result.stdout.strip()}")
    os.replace(partial, output)
