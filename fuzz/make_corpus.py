#!/usr/bin/python3
"""Writes the seed corpora of the fuzz targets (fuzz/corpus/TARGET/) from
the real files and datagrams: the tools of the native build (bdl, our
sfdisk, fuzz_seeds for what the code composes itself), util-linux's sfdisk
for tables it makes, the kernel's /proc files. Seeds named regression-* (the
inputs of findings) are kept; the rest of a target's seeds are replaced.

    make_corpus.py [--build DIR]

Runs as root (it makes a network namespace of its own for /proc/net/dev).
"""

import argparse
import gzip
import io
import os
import subprocess
import sys
import tarfile
import tempfile

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CORPUS = os.path.join(SOURCE_DIR, "fuzz", "corpus")
sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "e2e"))

SECTOR = 512
CYLINDER_SECTORS = 255 * 63


def version():
    with open(os.path.join(SOURCE_DIR, "VERSION")) as text:
        return text.readline().strip()


class Corpus:
    def __init__(self):
        self.cleared = set()

    def write(self, target, name, data):
        folder = os.path.join(CORPUS, target)
        if target not in self.cleared:
            os.makedirs(folder, exist_ok=True)
            for old in os.listdir(folder):
                if not old.startswith("regression-"):
                    os.remove(os.path.join(folder, old))
            self.cleared.add(target)
        with open(os.path.join(folder, name), "wb") as seed:
            seed.write(data if isinstance(data, bytes) else data.encode())


def run(command, **options):
    return subprocess.run(command, check=True, stdout=subprocess.PIPE, **options).stdout


def sparse_image(path, sectors):
    with open(path, "wb") as image:
        image.truncate(sectors * SECTOR)


def used_sectors(path):
    """The image up to its last sector that holds anything."""
    with open(path, "rb") as image:
        data = image.read()
    end = len(data.rstrip(b"\0"))
    return data[:(end + SECTOR - 1) // SECTOR * SECTOR]


def partition_tables(build, corpus, scratch):
    """Tables our sfdisk writes in cylinders, and util-linux's with logical
    partitions, as disk images (the sectors in use), their dumps by both
    tools and our geometry listing."""
    sfdisk = os.path.join(build, "bin", "sfdisk")
    listing = b""
    for name, cylinders, lines in [("single", 12, "0,12,83,*\n"),
                                   ("two_partitions", 1100, "0,2,83,*\n2,1098,83,-\n")]:
        image = os.path.join(scratch, name + ".img")
        sparse_image(image, cylinders * CYLINDER_SECTORS)
        run([sfdisk, "-q", "-uC", image], input=lines.encode())
        corpus.write("sfdisk_table", name, used_sectors(image))
        dump = run([sfdisk, "-d", "-uC", image]).replace(image.encode(), b"/dev/hda")
        corpus.write("table_dump", name, dump)
        listing += run([sfdisk, "-g", image]).replace(image.encode(), b"/dev/hda")
    corpus.write("drive_listing", "two_disks", listing.replace(b"/dev/hda", b"/dev/sda", 1))
    corpus.write("drive_listing", "one_disk", listing.splitlines(keepends=True)[0])

    # An extended partition with three logical ones, in sectors so that the
    # chain of boot records lies within the first 64 KiB.
    image = os.path.join(scratch, "logical.img")
    sparse_image(image, 2048)
    layout = ("label: dos\nstart=2, size=20, type=83, bootable\nstart=24, size=100, type=5\n"
              "start=26, size=10, type=83\nstart=38, size=10, type=82\nstart=50, size=10, type=83\n")
    run(["sfdisk", "--quiet", "--no-reread", "--no-tell-kernel", image], input=layout.encode())
    corpus.write("sfdisk_table", "logical", used_sectors(image))
    corpus.write("table_dump", "logical_ours",
                 run([sfdisk, "-d", "-uC", image]).replace(image.encode(), b"/dev/hda"))
    corpus.write("table_dump", "logical_util_linux",
                 run(["sfdisk", "-d", image]).replace(image.encode(), b"/dev/hda"))


def proc_files(corpus):
    with open("/proc/partitions", "rb") as text:
        corpus.write("proc_partitions", "this_machine", text.read())
    corpus.write("proc_partitions", "qemu",
                 "major minor  #blocks  name\n\n   8        0    9437184 sda\n"
                 "   8        1     192748 sda1\n  11        0      10240 sr0\n")
    # In a network namespace of its own: the loopback and a veth pair.
    net_dev = run(["unshare", "--net", "sh", "-c",
                   "ip link add veth0 type veth peer name veth1 && ip link set veth0 up "
                   "&& cat /proc/net/dev"])
    corpus.write("net_dev", "veth_pair", net_dev)


def media_files(corpus):
    import install_media
    corpus.write("defpacks", "sample", " ".join(("system", "dhcp")) + "\n")
    import network_medium
    # /etc/netboot-modules as the network medium carries it.
    corpus.write("module_list", "network_medium",
                 "".join(entry + "\n" for entry in network_medium.NETBOOT_MODULES))
    corpus.write("module_list", "comments_and_blanks",
                 "# card drivers\n\n  kernel/drivers/net/ethernet/intel/e1000/e1000.ko \r\n#x\n")
    corpus.write("defpacks", "blanks_and_lines", "system\tdhcp \r\nweb\n\n")
    names = [p.name for p in install_media.SAMPLE_PACKAGES]
    corpus.write("menu_keys", "arrows_and_letters", "nnn \x1b[B\x1b[A\x1b[C\x1b[D amp i")
    corpus.write("menu_keys", "cut_sequences", "\x1b[Z\x1b\x1bq" + "".join(names))


def tar_stream(members, fmt=tarfile.PAX_FORMAT):
    """An archive made by Python's tarfile: (name, type, data or link target)."""
    data = io.BytesIO()
    with tarfile.open(fileobj=data, mode="w", format=fmt) as archive:
        info = tarfile.TarInfo(".bdlinfo")
        text = b"format: 1\nname: made\nversion: 1\n"
        info.size = len(text)
        archive.addfile(info, io.BytesIO(text))
        for name, kind, content in members:
            info = tarfile.TarInfo(name)
            info.type = kind
            if kind == tarfile.REGTYPE:
                info.size = len(content)
                archive.addfile(info, io.BytesIO(content))
                continue
            info.mode = 0o755
            if kind in (tarfile.SYMTYPE, tarfile.LNKTYPE):
                info.linkname = content
            archive.addfile(info)
    # tarfile pads to whole records; the two zero blocks of the end are enough.
    stream = data.getvalue().rstrip(b"\0")
    return stream.ljust((len(stream) + 511) // 512 * 512 + 1024, b"\0")


def packages(build, corpus, scratch):
    """The whole-machine tests' sample packages as bdl packs them, and
    archives of the other writers' kinds: pax and GNU long names, hard and
    symbolic links, and one that tries to write through a link out of its
    root. Both targets take a first byte: 0 and the archive (which they
    compress), or 1 and the package file as it is."""
    import install_media
    folder = os.path.join(scratch, "packages")
    os.mkdir(folder)
    command = [os.path.join(build, "bin", "bdl")]
    for package in install_media.SAMPLE_PACKAGES:
        path = os.path.join(folder, package.file_name)
        with tempfile.TemporaryDirectory(dir=scratch) as tree:
            install_media._build_tree(package, tree)
            run(command + ["pack", "--name", package.name, "--version", package.version]
                + (["--depends", ",".join(package.depends)] if package.depends else [])
                + [tree, path])
        with open(path, "rb") as packed:
            whole = packed.read()
        for target in ("package_head", "package_install"):
            corpus.write(target, package.name, b"\1" + whole)
            corpus.write(target, package.name + ".tar", b"\0" + gzip.decompress(whole))
    # A signed package: its signature text and chunk digests are outside
    # bytes too, read before anything of the package proper.
    key = os.path.join(scratch, "seed-key")
    run(command + ["keygen", key])
    run(command + ["sign", "--key", key, path])
    with open(path, "rb") as signed:
        whole = signed.read()
    for target in ("package_head", "package_install"):
        corpus.write(target, "signed", b"\1" + whole)
    for suffix, name in ((".pub", "public_bdl"), ("", "secret_bdl")):
        with open(key + suffix, "rb") as text:
            corpus.write("key_file", name, text.read())
    long_name = "usr/share/" + "deep/" * 30 + "file"
    made = {
        "pax_long_name": tar_stream([("usr", tarfile.DIRTYPE, None),
                                     (long_name, tarfile.REGTYPE, b"long\n")]),
        "gnu_long_name": tar_stream([(long_name, tarfile.REGTYPE, b"long\n")], tarfile.GNU_FORMAT),
        "links": tar_stream([("etc", tarfile.DIRTYPE, None), ("etc/a", tarfile.REGTYPE, b"a\n"),
                             ("etc/b", tarfile.LNKTYPE, "etc/a"), ("etc/c", tarfile.SYMTYPE, "a")]),
        "escape_through_link": tar_stream([("out", tarfile.SYMTYPE, "../bait"),
                                           ("out/x", tarfile.REGTYPE, b"escaped\n")]),
    }
    for name, archive in made.items():
        corpus.write("package_install", name, b"\0" + archive)


def composed(build, corpus, scratch):
    folder = os.path.join(scratch, "composed")
    os.mkdir(folder)
    run([os.path.join(build, "bin", "fuzz_seeds"), folder])
    for target in sorted(os.listdir(folder)):
        for name in sorted(os.listdir(os.path.join(folder, target))):
            with open(os.path.join(folder, target, name), "rb") as seed:
                corpus.write(target, name, seed.read())


def main():
    parser = argparse.ArgumentParser(
        prog="make_corpus.py", description="Writes the seed corpora of the fuzz targets.")
    parser.add_argument("--version", action="version", version=f"make_corpus.py {version()}")
    parser.add_argument("--build", default=os.path.join(SOURCE_DIR, "build", "host"),
                        help="the native build with bdl, sfdisk and fuzz_seeds (default build/host)")
    options = parser.parse_args()
    for program in ("bdl", "sfdisk", "fuzz_seeds"):
        if not os.path.isfile(os.path.join(options.build, "bin", program)):
            parser.error(f"{program} is not built in {options.build} (make host)")
    corpus = Corpus()
    with tempfile.TemporaryDirectory(prefix="korvanel-corpus-") as scratch:
        partition_tables(options.build, corpus, scratch)
        proc_files(corpus)
        media_files(corpus)
        packages(options.build, corpus, scratch)
        composed(options.build, corpus, scratch)
    for target in sorted(corpus.cleared):
        folder = os.path.join(CORPUS, target)
        size = sum(os.path.getsize(os.path.join(folder, n)) for n in os.listdir(folder))
        print(f"{target}: {len(os.listdir(folder))} seeds, {size} bytes")
    return 0


if __name__ == "__main__":
    sys.exit(main())
