"""Package files made with the project's own `bdl` tool from a staged tree
and a metadata file in the .bdlinfo form (`version:`, `description:`,
`depends:` lines; the name is the package's folder)."""

import os
import subprocess

from . import staging
from .sources import MediaError

# Packages install system files: root owns every member, whoever builds.
OWNER = "0:0"


def read_metadata(path):
    """{"version": text, "description": text, "depends": [names]}."""
    metadata = {"version": "", "description": "", "depends": []}
    with open(path) as lines:
        for number, line in enumerate(lines, 1):
            line = line.rstrip("\n")
            if not line.strip() or line.startswith("#"):
                continue
            key, separator, value = line.partition(": ")
            if not separator or key not in metadata:
                raise MediaError(f"{path}:{number}: expected version:, description: or "
                                 f"depends:, found {line!r}")
            if key == "depends":
                metadata["depends"].append(value)
            else:
                metadata[key] = value
    return metadata


def pack(bdl, name, metadata, tree, output, signing=None, modes=None):
    """Packs `tree` as package `name` into `output` (written under a
    temporary name first, so a failed run leaves no half package), signed
    when `signing` has a key. Owners, times and modes are the builder's,
    not the build host's: root, SOURCE_DATE_EPOCH, and staging.settle_modes
    with `modes` ({guest path: mode} for what the usual rule does not fit)."""
    staging.settle_modes(tree, modes or {})
    command = [bdl, "pack", "--name", name, "--owner", OWNER,
               "--mtime", os.environ["SOURCE_DATE_EPOCH"]]
    if metadata.get("version"):
        command += ["--version", metadata["version"]]
    if metadata.get("description"):
        command += ["--description", metadata["description"]]
    if metadata.get("depends"):
        command += ["--depends", ",".join(metadata["depends"])]
    partial = output + ".partial"
    result = subprocess.run(command + [tree, partial], stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True)
    if result.returncode != 0:
        if os.path.exists(partial):
            os.unlink(partial)
        raise MediaError(f"bdl could not pack {name}: {result.stdout.strip()}")
    if signing is not None:
        try:
            signing.sign(bdl, partial)
        except MediaError:
            os.unlink(partial)
            raise
    os.replace(partial, output)
    return output

