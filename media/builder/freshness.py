"""Skipping work that is already done.

A product (a package set, an ISO, a disk image) records a fingerprint of
everything it was made from in a stamp file beside it, written only after the
product is complete. A later run with the same fingerprint, whose outputs all
still exist, does nothing. Fingerprints are made from file sizes and
modification times, not contents, so checking costs one stat per input.
"""

import hashlib
import os
import sys

from .sources import SOURCE_DIR


def _walk(path):
    if os.path.isdir(path) and not os.path.islink(path):
        for root, dirs, files in os.walk(path):
            dirs.sort()
            for name in sorted(files):
                yield os.path.join(root, name)
    else:
        yield path


def builder_code():
    """Every Python file of this project that the builder has loaded: a
    change to the builder (or to what it borrows) is a change of input."""
    files = []
    for module in list(sys.modules.values()):
        path = getattr(module, "__file__", None)
        if path and os.path.abspath(path).startswith(SOURCE_DIR + os.sep):
            files.append(os.path.abspath(path))
    return sorted(files)


def fingerprint(inputs, settings=()):
    """A digest of the named files and directories (walked) and of the
    settings (texts). A missing input counts as a state of its own."""
    digest = hashlib.sha256()
    # Every time stamp written depends on it (reproducible.py).
    digest.update(f"epoch {os.environ.get('SOURCE_DATE_EPOCH')}\n".encode())
    for setting in settings:
        digest.update(f"setting {setting}\n".encode())
    for top in sorted(set(inputs)):
        for path in _walk(top):
            try:
                info = os.stat(path)
                digest.update(f"{path} {info.st_size} {info.st_mtime_ns}\n".encode())
            except FileNotFoundError:
                digest.update(f"{path} missing\n".encode())
    return digest.hexdigest()


class Product:
    """What one command makes in its output folder: `outputs` are paths, and
    the stamp is OUTDIR/.NAME.stamp."""

    def __init__(self, outdir, name, outputs):
        self.outdir = outdir
        self.outputs = list(outputs)
        self._stamp = os.path.join(outdir, f".{name}.stamp")

    def up_to_date(self, print_of_inputs):
        if not all(os.path.exists(path) for path in self.outputs):
            return False
        try:
            with open(self._stamp) as stamp:
                return stamp.read().strip() == print_of_inputs
        except OSError:
            return False

    def invalidate(self):
        try:
            os.unlink(self._stamp)
        except FileNotFoundError:
            pass

    def record(self, print_of_inputs):
        with open(self._stamp + ".new", "w") as stamp:
            stamp.write(print_of_inputs + "\n")
        os.replace(self._stamp + ".new", self._stamp)
