"""An initramfs described in Python: files, directories, links, device nodes.

Paths are absolute paths inside the guest. Parent directories are created on
demand (mode 0755), so `file("/lib/modules/x/a.ko", ...)` is enough. Adding a
path again replaces the earlier member. Everything is owned by root.

Files from the machine are read when the archive is written, so a builder can
name a large tree cheaply and drop parts of it again before writing.
"""

import gzip
import os
import posixpath
import stat

from .cpio_archive import CpioWriter


def _normalized(path):
    if not path.startswith("/"):
        raise ValueError(f"guest path must be absolute: {path!r}")
    clean = posixpath.normpath(path)
    if clean.startswith("//"):
        clean = clean[1:]
    return clean


class Initramfs:
    def __init__(self):
        # guest path -> (kind, arguments); insertion order is archive order,
        # and parents are always inserted before their children.
        self._members = {}

    # -- members -----------------------------------------------------------

    def directory(self, path, mode=0o755):
        path = _normalized(path)
        if path == "/":
            return
        if self._members.get(path, (None,))[0] == "dir":
            self._members[path] = ("dir", mode)
            return
        self._add(path, ("dir", mode))

    def file(self, path, data, mode=0o644):
        if isinstance(data, str):
            data = data.encode()
        self._add(_normalized(path), ("bytes", bytes(data), mode))

    def copy(self, path, source, mode=None):
        """The machine's file `source` as `path`; its mode unless `mode` is given."""
        info = os.stat(source)
        if not stat.S_ISREG(info.st_mode):
            raise ValueError(f"{source}: not a regular file")
        if mode is None:
            mode = stat.S_IMODE(info.st_mode)
        self._add(_normalized(path), ("copy", source, mode))

    def symlink(self, path, target):
        self._add(_normalized(path), ("link", target))

    def char_device(self, path, major, minor, mode=0o600):
        self._add(_normalized(path), ("chr", major, minor, mode))

    def block_device(self, path, major, minor, mode=0o660):
        self._add(_normalized(path), ("blk", major, minor, mode))

    def tree(self, path, source, include=None):
        """Directories, regular files and symbolic links below `source`.

        `include(relative_path)` may leave entries out: a directory left out
        is not descended into. Other kinds of entries are skipped.
        """
        self.directory(path)
        for root, dirs, files in os.walk(source):
            relative_root = os.path.relpath(root, source)

            def entries(names):
                # (place in the archive, place on the machine) of the names
                # the filter keeps.
                for name in sorted(names):
                    relative = os.path.normpath(os.path.join(relative_root, name))
                    if include is None or include(relative):
                        yield posixpath.join(path, relative), os.path.join(root, name), name

            kept = []
            for inside, full, name in entries(dirs):
                if os.path.islink(full):
                    self.symlink(inside, os.readlink(full))
                    continue
                self.directory(inside, stat.S_IMODE(os.stat(full).st_mode))
                kept.append(name)
            dirs[:] = kept
            for inside, full, _ in entries(files):
                if os.path.islink(full):
                    self.symlink(inside, os.readlink(full))
                elif os.path.isfile(full):
                    self.copy(inside, full)

    def remove(self, path):
        """Removes `path` and everything below it; a missing path is fine."""
        path = _normalized(path)
        prefix = path.rstrip("/") + "/"
        for member in [m for m in self._members if m == path or m.startswith(prefix)]:
            del self._members[member]

    def __contains__(self, path):
        return _normalized(path) in self._members

    def paths(self):
        return list(self._members)

    # -- output ------------------------------------------------------------

    def data(self):
        writer = CpioWriter()
        for path, member in self._members.items():
            name = path.lstrip("/")
            kind = member[0]
            if kind == "dir":
                writer.directory(name, member[1])
            elif kind == "bytes":
                writer.file(name, member[1], member[2])
            elif kind == "copy":
                with open(member[1], "rb") as source:
                    writer.file(name, source.read(), member[2])
            elif kind == "link":
                writer.symlink(name, member[1])
            elif kind == "chr":
                writer.char_device(name, member[1], member[2], member[3])
            elif kind == "blk":
                writer.block_device(name, member[1], member[2], member[3])
        return writer.data()

    def write(self, out_path, compress=False):
        """Writes the archive (gzip-compressed if asked) and returns `out_path`."""
        data = self.data()
        if compress:
            data = gzip.compress(data, compresslevel=1, mtime=0)
        with open(out_path, "wb") as out:
            out.write(data)
        return out_path

    # -- internals ---------------------------------------------------------

    def _add(self, path, member):
        if path == "/":
            raise ValueError("the root cannot be replaced")
        parent = posixpath.dirname(path)
        if parent != "/" and parent not in self._members:
            self.directory(parent)
        elif parent != "/" and self._members[parent][0] != "dir":
            raise ValueError(f"{parent} is not a directory")
        if path in self._members and self._members[path][0] == "dir" and member[0] != "dir":
            self.remove(path)
        self._members[path] = member
