"""Debian's i386 programs on a boot medium, with the libraries they need.

scripts/fetch-i386-packages.sh unpacks Debian i386 packages into
CACHE/i386-root; `add_program` copies one program from there into an
initramfs (or any image with the same `copy` method) together with its
program interpreter and every shared library it needs, found by reading the
ELF files themselves, so that nothing here depends on this machine's own
libraries or on a 32-bit loader being installed.
"""

import os
import struct

from . import locations

_LIBRARY_DIRS = ("/lib/i386-linux-gnu", "/usr/lib/i386-linux-gnu", "/lib", "/usr/lib")
_PT_INTERP = 3
_PT_DYNAMIC = 2
_DT_NEEDED = 1
_DT_STRTAB = 5


def i386_root():
    root = os.path.join(locations.cache_dir(), "i386-root")
    if not os.path.isdir(root):
        raise locations.MissingPrerequisite(
            f"{root} is missing (run `make kernel`, which fetches Debian's i386 tools)")
    return root


def elf_dependencies(path):
    """(interpreter or None, [needed library names]) of a 32-bit ELF file."""
    with open(path, "rb") as elf:
        data = elf.read()
    if data[:4] != b"\x7fELF" or data[4] != 1 or data[5] != 1:
        raise ValueError(f"{path}: not a 32-bit little-endian ELF file")
    phoff, = struct.unpack_from("<I", data, 28)
    phentsize, phnum = struct.unpack_from("<HH", data, 42)
    segments = [struct.unpack_from("<IIIIIIII", data, phoff + i * phentsize) for i in range(phnum)]

    def file_offset(address):
        for kind, offset, vaddr, _, filesz, _, _, _ in segments:
            if kind == 1 and vaddr <= address < vaddr + filesz:
                return offset + address - vaddr
        raise ValueError(f"{path}: address {address:#x} is in no loaded segment")

    interpreter = None
    needed_offsets, strtab = [], None
    for kind, offset, _, _, filesz, _, _, _ in segments:
        if kind == _PT_INTERP:
            interpreter = data[offset:offset + filesz].split(b"\0")[0].decode()
        elif kind == _PT_DYNAMIC:
            for entry in range(offset, offset + filesz, 8):
                tag, value = struct.unpack_from("<iI", data, entry)
                if tag == 0:
                    break
                if tag == _DT_NEEDED:
                    needed_offsets.append(value)
                elif tag == _DT_STRTAB:
                    strtab = file_offset(value)
    needed = []
    for name_offset in needed_offsets:
        start = strtab + name_offset
        needed.append(data[start:data.index(b"\0", start)].decode())
    return interpreter, needed


def _find_library(root, name):
    for directory in _LIBRARY_DIRS:
        candidate = os.path.join(root, directory.lstrip("/"), name)
        if os.path.exists(candidate):
            return directory + "/" + name
    raise locations.MissingPrerequisite(f"library {name} is not in {root}")


def program_closure(program, root=None):
    """Guest paths of `program` (a path inside the i386 root), its interpreter
    and every library it needs, directly or through other libraries."""
    root = root or i386_root()
    paths, pending = [program], [program]
    while pending:
        interpreter, needed = elf_dependencies(os.path.join(root, pending.pop().lstrip("/")))
        for path in ([interpreter] if interpreter else []) + [_find_library(root, n) for n in needed]:
            if path not in paths:
                paths.append(path)
                pending.append(path)
    return paths


def add_program(image, program, root=None):
    """Copies `program` and everything it needs to the same paths in `image`.
    Library links are followed: the guest gets plain files under the names
    the loader looks for."""
    root = root or i386_root()
    for path in program_closure(program, root):
        source = os.path.realpath(os.path.join(root, path.lstrip("/")))
        if not source.startswith(os.path.realpath(root) + os.sep):
            raise ValueError(f"{path} leads outside {root}")
        image.copy(path, source, 0o755)


def add_mke2fs(image, root=None):
    """/sbin/mke2fs as the installer runs it, with its configuration."""
    root = root or i386_root()
    add_program(image, "/sbin/mke2fs", root)
    image.copy("/etc/mke2fs.conf", os.path.join(root, "etc", "mke2fs.conf"), 0o644)
