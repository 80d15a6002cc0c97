"""The sample packages: one folder per package under media/packages (its
metadata in `package`, its files under `root/`), the system package with
what it takes from Debian (system.py), and the "defpacks" file."""

import os
import shutil
import tempfile

from . import packing, staging, system
from .freshness import Product, builder_code, fingerprint
from .sources import MEDIA_DIR

PACKAGES_DIR = os.path.join(MEDIA_DIR, "packages")
DEFAULTS = "defpacks"


def package_names():
    return sorted(name for name in os.listdir(PACKAGES_DIR)
                  if os.path.isfile(os.path.join(PACKAGES_DIR, name, "package")))


def package_files(directory):
    """The package files (*.bdl) in a folder, by name."""
    return sorted(os.path.join(directory, name) for name in os.listdir(directory)
                  if name.endswith(".bdl") and os.path.isfile(os.path.join(directory, name)))


def build_packages(sources, outdir, report, signing=None):
    """Makes OUTDIR/NAME.bdl for every sample package and OUTDIR/defpacks,
    signed when `signing` has a key; returns the package paths."""
    os.makedirs(outdir, exist_ok=True)
    names = package_names()
    outputs = [os.path.join(outdir, f"{name}.bdl") for name in names]
    product = Product(outdir, "packages", outputs + [os.path.join(outdir, DEFAULTS)])
    i386_root = sources.i386_root()
    bdl = sources.program("bdl")
    inputs = [PACKAGES_DIR, bdl, sources.program("report-up"), sources.kernel_image(), sources.kernel_modules_dir(),
              os.path.join(i386_root, "..", "i386-debs"), *builder_code()]
    key = signing.key if signing is not None else None
    print_of_inputs = fingerprint(inputs + ([key] if key else []), settings=[f"key={key}"])
    if product.up_to_date(print_of_inputs):
        report.unchanged("packages", outdir, outputs)
        return outputs
    product.invalidate()
    for name, output in zip(names, outputs):
        with tempfile.TemporaryDirectory(prefix=f".{name}-", dir=outdir) as stage:
            staging.directory(stage)
            staging.copy_tree(os.path.join(PACKAGES_DIR, name, "root"), stage)
            if name == "system":
                system.add_generated_parts(stage, sources, i386_root)
            metadata = packing.read_metadata(os.path.join(PACKAGES_DIR, name, "package"))
            packing.pack(bdl, name, metadata, stage, output, signing,
                         system.DIRECTORIES if name == "system" else None)
    shutil.copyfile(os.path.join(PACKAGES_DIR, DEFAULTS), os.path.join(outdir, DEFAULTS))
    product.record(print_of_inputs)
    report.made("packages", outdir, outputs + [os.path.join(outdir, DEFAULTS)])
    return outputs
