"""What a network installation needs, in two folders:

- OUTDIR/boot: Debian's kernel and the network medium's initramfs
  (netboot-init loads the network card's driver and becomes the installer,
  /TYPE "net"), with pxelinux, so that the folder also serves as the root of
  a TFTP server for machines that boot from the network (PXE);
- OUTDIR/server: the root for `netinstall-server --root`: the driver
  package drivers/<release>.bdl (the disk drivers at the installer's list
  entries, sfdisk and mke2fs), the sample packages in packages/ (made in
  OUTDIR/packages) and scripts/autorun.scr.

With --key every package served is signed and the server root carries the
signed release list of everything it serves (release.lst: the packages,
scripts/autorun.scr and the driver package), which the server sends first;
with --pubkey the network medium carries the key and the lowest release it
accepts.

With --inventory the operator's templates take the place of the sample
autorun.scr: every machine's own files are rendered into OUTDIR/server
(lab_render.py) and listed as that machine's in the release list.
"""

import os
import shutil
import tempfile

from . import images, lab_render, packing
from .boot_config import syslinux_config
from .cdrom import installer_inputs
from .freshness import Product, fingerprint
from .packages import build_packages, package_names
from .signing import RELEASE_LIST_NAME
from .sources import MediaError


def _replace(path, write):
    """Writes `path` through write(partial path), then renames it into place."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    partial = path + ".partial"
    write(partial)
    os.replace(partial, path)


def _link_or_copy(source, destination):
    def write(partial):
        if os.path.lexists(partial):
            os.unlink(partial)
        try:
            os.link(source, partial)
        except OSError:
            shutil.copyfile(source, partial)
    _replace(destination, write)


def check_lab(inventory, signing):
    """Refuses an inventory the served packages or the list cannot carry,
    before anything is written (InventoryError)."""
    if inventory is None:
        return
    if signing.pubkey is not None and signing.key is None:
        raise MediaError("an inventory's scripts are listed in a release list signed here: "
                         "give --key with --pubkey")
    lab_render.check_packages(inventory, [f"{name}.bdl" for name in package_names()],
                              signed=signing.key is not None)


def build_net(sources, outdir, report, signing, inventory=None, inventory_inputs=()):
    """`inventory` (inventory.load) renders every machine's own files;
    `inventory_inputs` are the files and folders it was read from.
    REQUIRES: check_lab(inventory, signing) passed."""
    os.makedirs(outdir, exist_ok=True)
    packages = build_packages(sources, os.path.join(outdir, "packages"), report, signing)
    boot = os.path.join(outdir, "boot")
    server = os.path.join(outdir, "server")
    release = sources.kernel_release()
    boot_files = [os.path.join(boot, name) for name in
                  ("vmlinuz", "initrd.gz", "pxelinux.0", "ldlinux.c32", "pxelinux.cfg/default")]
    driver_package = os.path.join(server, "drivers", f"{release}.bdl")
    served = [os.path.join(server, "packages", os.path.basename(path)) for path in packages]
    script = os.path.join(server, "scripts", "autorun.scr")
    release_list = os.path.join(server, RELEASE_LIST_NAME)
    lab = [os.path.join(server, "unknown", "machine.conf"),
           os.path.join(server, lab_render.RECORD_NAME)] if inventory else []
    product = Product(outdir, "net", boot_files + [driver_package] + served + lab
                      + ([] if inventory else [script])
                      + ([release_list] if signing.key or signing.pubkey else []))
    print_of_inputs = fingerprint(
        packages + installer_inputs(sources) + signing.inputs() + list(inventory_inputs)
        + [sources.program("netboot-init"), sources.program("bdl"),
           sources.media_file("autorun.scr"), sources.syslinux_file("pxelinux.0")],
        settings=signing.settings() + [f"inventory={list(inventory_inputs)}"])
    if product.up_to_date(print_of_inputs):
        report.unchanged("net", outdir, [boot, server])
        return outdir
    product.invalidate()

    _link_or_copy(sources.kernel_image(), boot_files[0])
    _link_or_copy(sources.syslinux_file("pxelinux.0"), boot_files[2])
    _link_or_copy(sources.syslinux_file("ldlinux.c32"), boot_files[3])

    def write_config(partial):
        with open(partial, "w") as config:
            config.write(syslinux_config("vmlinuz", "initrd.gz"))
    _replace(boot_files[4], write_config)

    with tempfile.TemporaryDirectory(prefix=".drivers-", dir=outdir) as tree:
        images.driver_tree(tree)
        os.makedirs(os.path.dirname(driver_package), exist_ok=True)
        packing.pack(sources.program("bdl"), images.DRIVER_PACKAGE, {"version": release},
                     tree, driver_package, signing)
    packages_dir = os.path.join(server, "packages")
    os.makedirs(packages_dir, exist_ok=True)
    for name in os.listdir(packages_dir):
        # The server installs every package it finds: none may stay behind.
        if os.path.join(packages_dir, name) not in served:
            path = os.path.join(packages_dir, name)
            if os.path.isdir(path):
                raise MediaError(f"{path}: a folder where only packages belong")
            os.unlink(path)
    for source, destination in zip(packages, served):
        _link_or_copy(source, destination)
    common, own = served, []
    if inventory is None:
        lab_render.remove_lab(server)
        _link_or_copy(sources.media_file("autorun.scr"), script)
        common = served + [script]
    else:
        if os.path.lexists(script):
            os.unlink(script)  # the templates say what every machine runs
        os.makedirs(os.path.dirname(script), exist_ok=True)
        rendered, shared = lab_render.render_lab(
            inventory, server, [os.path.basename(path) for path in served], signing)
        common = [os.path.join(server, "packages", name) for name in shared] + rendered.common
        own = rendered.own
    signing.check(sources.program("bdl"), [driver_package] + served)
    # The list names everything served; the boot files, the lowest release
    # the installer accepts.
    number = signing.write_release(sources.program("bdl"), release_list, common,
                                   drivers=[driver_package], own=own)
    _replace(boot_files[1], lambda partial: images.network_image(
        signing.public_key_text(), signing.lowest_release_text(number)).write(
            partial, compress=True))
    product.record(print_of_inputs)
    report.made("net", outdir, [boot, server])
    return outdir
