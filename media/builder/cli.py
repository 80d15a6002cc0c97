"""The command line of media/build-media."""

import argparse
import fcntl
import os
import sys

from . import version
from .report import Report
from .signing import Signing
from .sources import MediaError, Sources, default_cache_dir, default_i386_dir

DESCRIPTION = """\
Makes the sample packages and the boot media of the Korvanel installer.

commands:
  packages OUTDIR [--key KEYFILE]          the sample packages and "defpacks"
  cdrom OUTDIR [--packages DIR]            a bootable installation CD (ISO image)
  hdd OUTDIR [--packages DIR] [--choose]   a self-installing disk image
  net OUTDIR                               network boot files and a server root

Without --packages, a medium carries the sample packages (made in
OUTDIR/packages). The media commands also take --pubkey PUBFILE (the
medium carries the key; its installer installs only packages signed with
it, and every package the medium carries or serves is checked for that)
and --key KEYFILE (the packages the builder makes are signed with it, and
the medium carries their signed release list, release.lst, numbered
--release N, default 1); the boot medium accepts no release below
--lowest-release N (default: the list's own number). bdl keygen makes the
key files. A second run with nothing changed does nothing."""


def _parser():
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--i386", metavar="DIR",
                        default=os.environ.get("KORVANEL_I386_DIR") or default_i386_dir(),
                        help=f"the static i386 build (default: {default_i386_dir()})")
    common.add_argument("--cache", metavar="DIR",
                        default=os.environ.get("KORVANEL_CACHE") or default_cache_dir(),
                        help=f"the download cache (default: {default_cache_dir()})")
    parser = argparse.ArgumentParser(prog="build-media", description=DESCRIPTION,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version", version=f"build-media {version()}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True
    key = argparse.ArgumentParser(add_help=False)
    key.add_argument("--key", metavar="KEYFILE",
                     help="sign the packages made here with this secret key")
    pubkey = argparse.ArgumentParser(add_help=False)
    pubkey.add_argument("--pubkey", metavar="PUBFILE",
                        help="the medium carries this public key: its installer takes only "
                             "packages signed with it")
    release = argparse.ArgumentParser(add_help=False)
    release.add_argument("--release", metavar="N", type=_release_number, default=1,
                         help="the number of the release list signed with --key (default 1)")
    release.add_argument("--lowest-release", metavar="N", type=_release_number,
                         help="the lowest release the medium's installer accepts (default: "
                              "the number of the list it carries)")
    packages = commands.add_parser("packages", parents=[common, key],
                                   help="the sample packages and defpacks")
    packages.add_argument("outdir", metavar="OUTDIR")
    for name, what in (("cdrom", "a bootable installation CD"),
                       ("hdd", "a self-installing disk image")):
        medium = commands.add_parser(name, parents=[common, key, pubkey, release], help=what)
        medium.add_argument("outdir", metavar="OUTDIR")
        medium.add_argument("--packages", metavar="DIR",
                            help="the packages (*.bdl, defpacks) to carry instead of the "
                                 "sample packages")
    commands.choices["hdd"].add_argument(
        "--choose", action="store_true",
        help="the installer shows the package menu (the CHOOSE marker)")
    net = commands.add_parser("net", parents=[common, key, pubkey, release],
                              help="network boot files and a server root")
    net.add_argument("outdir", metavar="OUTDIR")
    return parser


def _release_number(text):
    if not text.isdigit() or len(text) > 19:
        raise argparse.ArgumentTypeError(f"not a release number: {text}")
    return int(text)


def main(argv):
    arguments = _parser().parse_args(argv)
    sources = Sources(arguments.i386, arguments.cache)
    report = Report(sys.stdout)
    outdir = os.path.abspath(arguments.outdir)
    try:
        signing = Signing(arguments.key, getattr(arguments, "pubkey", None),
                          getattr(arguments, "release", 1),
                          getattr(arguments, "lowest_release", None))
        os.makedirs(outdir, exist_ok=True)
        # Two builds into one folder (tests running side by side) take turns.
        lock = open(os.path.join(outdir, ".build-media.lock"), "w")
        fcntl.flock(lock, fcntl.LOCK_EX)
        from . import images, reproducible
        reproducible.settle()
        images.use(sources)
        if arguments.command == "packages":
            from .packages import build_packages
            build_packages(sources, outdir, report, signing)
        elif arguments.command == "cdrom":
            from .cdrom import build_cdrom
            build_cdrom(sources, outdir, arguments.packages, report, signing)
        elif arguments.command == "hdd":
            from .hdd import build_hdd
            build_hdd(sources, outdir, arguments.packages, arguments.choose, report, signing)
        else:
            from .net import build_net
            build_net(sources, outdir, report, signing)
    except OSError as error:
        print(f"build-media: {error}", file=sys.stderr)
        return 1
    except MediaError as error:
        print(f"build-media: {error}", file=sys.stderr)
        return 1
    return 0
