"""A package's tree as it is staged on this machine before `bdl` packs it.
What the package records of its owners, times and modes is the builder's
own description, not what this machine's files happen to say (the umask,
the user who checked the sources out or builds): see settle_modes and
packing.pack."""

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


def settle_modes(root, described):
    """Gives every directory and file below `root` its mode from the
    builder's description: `described` ({guest path: mode}) where it names
    one, else 0755 for directories and for files that anybody may execute
    (as the sources mark programs), 0644 for other files. Links keep theirs."""
    for directory, subdirectories, files in os.walk(root):
        for name in subdirectories + files:
            path = os.path.join(directory, name)
            if os.path.islink(path):
                continue
            guest = "/" + os.path.relpath(path, root)
            mode = described.get(guest)
            if mode is None:
                executable = os.path.isdir(path) or os.stat(path).st_mode & 0o111
                mode = 0o755 if executable else 0o644
            os.chmod(path, mode)
