"""A package's tree as it is staged on this machine before `bdl` packs it:
files keep their modes; everything is owned by the user who builds (root
when the builder runs as root, as the project's builds do)."""

import os
import shutil
import stat


def copy_tree(source, destination):
    """The files, links and directories under `source` into `destination`."""
    shutil.copytree(source, destination, symlinks=True, dirs_exist_ok=True)


def copy_file(source, destination, mode=None):
    os.makedirs(os.path.dirname(destination), exist_ok=True)
    if os.path.lexists(destination):
        os.unlink(destination)
    shutil.copyfile(source, destination)
    os.chmod(destination, mode if mode is not None else stat.S_IMODE(os.stat(source).st_mode))


def symlink(target, destination):
    os.makedirs(os.path.dirname(destination), exist_ok=True)
    if os.path.lexists(destination):
        os.unlink(destination)
    os.symlink(target, destination)


def directory(path, mode=0o755):
    os.makedirs(path, exist_ok=True)
    os.chmod(path, mode)


def inside(root, guest_path):
    return os.path.join(root, guest_path.lstrip("/"))
