"""The command line of media/serve-lab."""

import argparse
import os
import signal
import sys

from builder import version
from builder.sources import default_server

from . import lab_interface, preflight
from .dnsmasq_command import dnsmasq_command
from .lab_run import LabRun, RunError
from .served_folder import BOOT_FILES, FolderError, ServedFolder

DESCRIPTION = """\
Serves a lab of routers that boot from their network card: run it on the
lab's host, in (or naming) the folder `build-media net` made. dnsmasq gives
the machines an address (or, with --proxy-dhcp, only the boot file beside
the segment's own DHCP server) and the boot files by TFTP;
netinstall-server installs them. Ctrl-C or SIGTERM stops both.

The interface must exist and have an IPv4 address. Nothing of the host's
DNS or DHCP configuration is read or changed."""


def _address_range(text):
    try:
        return lab_interface.parse_range(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not two IPv4 addresses FIRST,LAST: {text}")


def _parser():
    parser = argparse.ArgumentParser(prog="serve-lab", description=DESCRIPTION,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version", version=f"serve-lab {version()}")
    parser.add_argument("--interface", metavar="IF", required=True,
                        help="the interface on the lab's segment")
    parser.add_argument("folder", metavar="FOLDER", nargs="?", default=".",
                        help="what `build-media net` made (default: the current folder)")
    parser.add_argument("--proxy-dhcp", action="store_true",
                        help="the segment has a DHCP server already: give no addresses, "
                             "only tell the firmwares what to boot")
    parser.add_argument("--range", metavar="FIRST,LAST", type=_address_range,
                        help="the addresses handed out (default: the half of the "
                             "interface's network without its own address)")
    parser.add_argument("--keep", action="store_true",
                        help="installers keep the configuration found on their disk")
    parser.add_argument("--log-dir", metavar="DIR",
                        help="where the logs go (default: FOLDER/logs)")
    parser.add_argument("--server", metavar="PROGRAM",
                        default=os.environ.get("KORVANEL_SERVER") or default_server(),
                        help=f"netinstall-server (default: {default_server()})")
    parser.add_argument("--dnsmasq", metavar="PROGRAM",
                        help="dnsmasq (default: the one on PATH or in /usr/sbin)")
    return parser


def _refuse(error):
    print(f"serve-lab: {error}", file=sys.stderr)
    return 1


def main(argv):
    arguments = _parser().parse_args(argv)
    try:
        dnsmasq = preflight.find_dnsmasq(arguments.dnsmasq)
        server = preflight.check_program(arguments.server, "netinstall-server")
        folder = ServedFolder(arguments.folder)
        own = lab_interface.ipv4_network(arguments.interface)
        address_range = None
        if not arguments.proxy_dhcp:
            address_range = (lab_interface.check_range(arguments.range, own) if arguments.range
                             else lab_interface.default_range(own))
        preflight.check_readable_by_dnsmasq(folder.boot, BOOT_FILES)
        preflight.check_ports(arguments.interface, own.ip, arguments.proxy_dhcp)
    except (preflight.PreflightError, FolderError, lab_interface.InterfaceError,
            OSError) as error:
        return _refuse(error)

    run = LabRun(os.path.abspath(arguments.log_dir or os.path.join(folder.path, "logs")))
    for number in (signal.SIGINT, signal.SIGTERM):
        signal.signal(number, run.on_signal)
    try:
        run.start(dnsmasq_command(dnsmasq, arguments.interface, own, address_range, folder.boot,
                                  run.lease_file, run.dnsmasq_log, arguments.proxy_dhcp),
                  [server, "--interface", arguments.interface, "--root", folder.server_root]
                  + (["--keep"] if arguments.keep else []))
        _describe(arguments, own, address_range, folder, run)
        ended = run.wait()
    except (RunError, OSError) as error:
        run.stop()
        return _refuse(error)
    run.stop()
    if ended is not None:
        name, status = ended
        return _refuse(f"{name} ended by itself (exit status {status}); the lab is no longer "
                       f"served: see {run.dnsmasq_log if name == 'dnsmasq' else run.server_log}")
    name = "SIGTERM" if run.stop_signal == signal.SIGTERM else "SIGINT"
    print(f"serve-lab: stopped by {name}: dnsmasq and netinstall-server ended, lease file "
          f"removed", flush=True)
    return 0


def _describe(arguments, own, address_range, folder, run):
    lines = [f"serve-lab: serving the lab on {arguments.interface} ({own})"]
    if arguments.proxy_dhcp:
        lines.append(f"  addresses: from the segment's own DHCP server (proxy DHCP on "
                     f"{own.network}: dnsmasq only names the boot file)")
    else:
        first, last = address_range
        count = int(last) - int(first) + 1
        lines.append(f"  addresses: {first} to {last} ({count}), lease file {run.lease_file}")
    lines += ["  " + line for line in folder.describe()]
    if arguments.keep:
        lines.append("  installers keep the configuration found on their disk")
    lines += ["logs:",
              f"  DHCP and TFTP (dnsmasq): {run.dnsmasq_log}",
              f"  installations (netinstall-server): {run.server_log}",
              "Power the machines on (network boot); Ctrl-C stops serving."]
    print("\n".join(lines), flush=True)
