"""One time for every time stamp the builder writes, as the
reproducible-builds project asks: SOURCE_DATE_EPOCH when the caller sets
it, else the time of the source tree's last commit, else the VERSION
file's modification time. Two runs on the same inputs, on any day, by root
or by a user, make the same bytes."""

import os
import subprocess

from .sources import SOURCE_DIR, MediaError


def source_date_epoch():
    text = os.environ.get("SOURCE_DATE_EPOCH")
    if text is not None:
        if not text.isdigit():
            raise MediaError(f"SOURCE_DATE_EPOCH must be seconds since 1970, not {text!r}")
        return int(text)
    try:
        # safe.directory: a user building from a tree that root checked out
        # must get the same time as root.
        result = subprocess.run(["git", "-c", "safe.directory=*", "-C", SOURCE_DIR, "log", "-1",
                                 "--format=%ct"],
                                capture_output=True, text=True)
        if result.returncode == 0 and result.stdout.strip().isdigit():
            return int(result.stdout.strip())
    except OSError:
        pass  # no git: a source tarball
    return int(os.stat(os.path.join(SOURCE_DIR, "VERSION")).st_mtime)


_given = None


def caller_set_epoch():
    """Whether the caller gave SOURCE_DATE_EPOCH (before settle() set it)."""
    return _given if _given is not None else "SOURCE_DATE_EPOCH" in os.environ


def settle():
    """Fixes the time for this run and hands it to the tools that honour
    SOURCE_DATE_EPOCH themselves (xorriso, mtools, and syslinux through
    mtools). Returns it."""
    global _given
    _given = caller_set_epoch()
    epoch = source_date_epoch()
    os.environ["SOURCE_DATE_EPOCH"] = str(epoch)
    return epoch
