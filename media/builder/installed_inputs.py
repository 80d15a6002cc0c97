"""What of the cache an installed media builder needs, for the Debian
package to carry: Debian's i386 kernel with only the modules that media and
the sample system take (the media map's and the network medium's), and
from the unpacked Debian i386 packages only the programs the builder copies,
with their interpreters, libraries and mke2fs.conf. Taken from the lists
the builder itself uses, so that the two cannot drift apart."""

import os

from bootimage import i386_programs, network_medium

from . import images, system


def cache_files(sources):
    """[(path relative to the cache, file to copy)]: links followed, so the
    installed cache holds plain files under the names looked up."""
    files = [(os.path.join("kernel", "vmlinuz"), sources.kernel_image()),
             (os.path.join("kernel", "release"),
              os.path.join(sources.cache_dir, "kernel", "release"))]
    modules_dir = os.path.join("kernel", "root", "lib", "modules", sources.kernel_release())
    modules = [module for _, module in images.read_module_map()] + network_medium.NETBOOT_MODULES
    for module in sorted(set(modules)):
        files.append((os.path.join(modules_dir, module),
                      os.path.join(sources.kernel_modules_dir(), module)))
    root = sources.i386_root()
    programs = (system.BUSYBOX, "/sbin/mke2fs") + system.PROGRAMS
    paths = {"/etc/mke2fs.conf"}
    for program in programs:
        paths.update(i386_programs.program_closure(program, root))
    for path in sorted(paths):
        source = os.path.realpath(os.path.join(root, path.lstrip("/")))
        if not source.startswith(os.path.realpath(root) + os.sep):
            raise ValueError(f"{path} leads outside {root}")
        files.append((os.path.join("i386-root", path.lstrip("/")), source))
    return files
