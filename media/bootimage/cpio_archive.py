"""Writer for the cpio "newc" format that the kernel unpacks as an initramfs.

The archive is written byte by byte here, so device nodes, owners and modes
need no privileges and no mknod on the machine that builds it.

Format of one member: a 110-byte ASCII header ("070701" and thirteen 8-digit
hex fields), the NUL-terminated name padded to a multiple of 4 bytes (counted
from the start of the header), then the data padded to a multiple of 4. The
archive ends with a member named "TRAILER!!!".
"""

import stat

MAGIC = b"070701"
TRAILER = "TRAILER!!!"
_ALIGNMENT = 4
_FIELD_MAX = 0xFFFFFFFF


def _padding(length):
    return b"\0" * (-length % _ALIGNMENT)


class CpioError(ValueError):
    """A member that the format cannot hold (name, size or number too big)."""


class CpioWriter:
    """Collects members in order; `data()` returns the finished archive.

    Members are written in the order they are added: a directory must come
    before what it holds (the kernel creates nothing implicitly). Every member
    gets its own inode number and a link count of 1 (2 for directories), so
    the kernel never treats two members as hard links of each other.
    """

    def __init__(self, mtime=0):
        self._chunks = []
        self._next_inode = 1
        self._mtime = mtime

    def _member(self, name, mode, data=b"", rdev=(0, 0), uid=0, gid=0):
        encoded = name.encode()
        if not encoded or b"\0" in encoded:
            raise CpioError(f"bad member name {name!r}")
        if len(data) > _FIELD_MAX:
            raise CpioError(f"{name}: too big for the format")
        inode = 0 if name == TRAILER else self._next_inode
        self._next_inode += name != TRAILER
        nlink = 2 if stat.S_ISDIR(mode) else 1
        fields = (inode, mode, uid, gid, nlink, self._mtime, len(data),
                  0, 0, rdev[0], rdev[1], len(encoded) + 1, 0)
        for value in fields:
            if not 0 <= value <= _FIELD_MAX:
                raise CpioError(f"{name}: header field {value} out of range")
        header = MAGIC + b"".join(b"%08X" % value for value in fields)
        head = header + encoded + b"\0"
        self._chunks += [head, _padding(len(head)), data, _padding(len(data))]

    def directory(self, name, mode=0o755, uid=0, gid=0):
        self._member(name, stat.S_IFDIR | mode, uid=uid, gid=gid)

    def file(self, name, data, mode=0o644, uid=0, gid=0):
        self._member(name, stat.S_IFREG | mode, bytes(data), uid=uid, gid=gid)

    def symlink(self, name, target):
        # The link's target is its data, without a terminating NUL.
        self._member(name, stat.S_IFLNK | 0o777, target.encode())

    def char_device(self, name, major, minor, mode=0o600, uid=0, gid=0):
        self._member(name, stat.S_IFCHR | mode, rdev=(major, minor), uid=uid, gid=gid)

    def block_device(self, name, major, minor, mode=0o660, uid=0, gid=0):
        self._member(name, stat.S_IFBLK | mode, rdev=(major, minor), uid=uid, gid=gid)

    def data(self):
        """The archive with its trailer; the writer stays usable."""
        trailer = CpioWriter()
        trailer._member(TRAILER, 0)
        return b"".join(self._chunks + trailer._chunks)
