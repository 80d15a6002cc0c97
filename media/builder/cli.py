"""The command line of media/build-media."""

import argparse
import fcntl
import os
import sys

from . import version
from .report import Report
from .inventory import InventoryError
from .signing import Signing
from .sources import MediaError, Sources, default_cache_dir, default_i386_dir

DESCRIPTION = """\
Makes the sample packages and the boot media of the Korvanel installer.

commands:
  packages OUTDIR [--key KEYFILE]          the sample packages and "defpacks"
  cdrom OUTDIR [--packages DIR]            a bootable installation CD (ISO image)
  hdd OUTDIR [--packages DIR] [--choose]   a self-installing disk image
  net OUTDIR [--inventory FILE [--secrets FILE]]
                                           network boot files and a server root,
                                           with every machine's own files
  explain --inventory FILE [--secrets FILE] MACHINE
                                           a machine's final settings and where
                                           each comes from (secrets masked)
  check --inventory FILE [--secrets FILE]  the inventory's problems, one a line

Without --packages, a medium carries the sample packages (made in
OUTDIR/packages). The media commands also take --pubkey PUBFILE (the
medium carries the key; its installer installs only packages signed with
it, and every package the medium carries or serves is checked for that)
and --key KEYFILE (the packages the builder makes are signed with it, and
the medium carries their signed release list, release.lst, numbered
--release N, default 1); the boot medium accepts no release below
--lowest-release N (default: the list's own number). bdl keygen makes the
key files. A second run with nothing changed does nothing. The inventory
is described in docs/lab-inventory.md."""


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
    inventory = argparse.ArgumentParser(add_help=False)
    inventory.add_argument("--secrets", metavar="FILE",
                           help="the lab's secrets: [machines.NAME] tables of variables")
    net.add_argument("--inventory", metavar="FILE",
                     help="the lab's inventory: every machine's own scripts and packages")
    net.add_argument("--secrets", metavar="FILE",
                     help="the lab's secrets: [machines.NAME] tables of variables")
    for name, what in (("explain", "a machine's final settings and where each comes from"),
                       ("check", "the inventory's problems, one a line")):
        command = commands.add_parser(name, parents=[inventory], help=what)
        command.add_argument("--inventory", metavar="FILE", required=True,
                             help="the lab's inventory")
    commands.choices["explain"].add_argument(
        "machine", metavar="MACHINE", help="its name, its hardware address, or \"unknown\"")
    return parser


def _net_inventory(arguments):
    """The inventory net renders, and the files it was read from."""
    if not arguments.inventory:
        return None, []
    from .inventory import load
    inventory = load(arguments.inventory, arguments.secrets)
    inputs = [os.path.abspath(arguments.inventory)]
    if arguments.secrets:
        inputs.append(os.path.abspath(arguments.secrets))
    if inventory.templates_dir:
        inputs.append(inventory.templates_dir)
    return inventory, inputs


def _release_number(text):
    if not text.isdigit() or len(text) > 19:
        raise argparse.ArgumentTypeError(f"not a release number: {text}")
    return int(text)


def _inventory_command(arguments):
    from .inventory import InventoryError, load
    from .lab_commands import check_summary, explain
    try:
        inventory = load(arguments.inventory, arguments.secrets)
    except InventoryError as error:
        for line in error.lines:
            print(f"build-media: {line}", file=sys.stderr)
        return 1
    if arguments.command == "check":
        print(check_summary(inventory))
        return 0
    lines = explain(inventory, arguments.machine)
    if lines is None:
        print(f"build-media: {arguments.inventory}: no machine {arguments.machine}",
              file=sys.stderr)
        return 1
    print("\n".join(lines))
    return 0


def main(argv):
    arguments = _parser().parse_args(argv)
    if arguments.command in ("explain", "check"):
        return _inventory_command(arguments)
    if arguments.command == "net" and arguments.secrets and not arguments.inventory:
        _parser().error("--secrets belongs to --inventory")
    sources = Sources(arguments.i386, arguments.cache)
    report = Report(sys.stdout)
    outdir = os.path.abspath(arguments.outdir)
    try:
        # Read whole before anything is written.
        inventory, inputs = _net_inventory(arguments) if arguments.command == "net" else (None, [])
        signing = Signing(arguments.key, getattr(arguments, "pubkey", None),
                          getattr(arguments, "release", 1),
                          getattr(arguments, "lowest_release", None))
        if inventory is not None:
            from .net import check_lab
            check_lab(inventory, signing)
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
            build_net(sources, outdir, report, signing, inventory, inputs)
    except InventoryError as error:
        for line in error.lines:
            print(f"build-media: {line}", file=sys.stderr)
        return 1
    except OSError as error:
        print(f"build-media: {error}", file=sys.stderr)
        return 1
    except MediaError as error:
        print(f"build-media: {error}", file=sys.stderr)
        return 1
    return 0
