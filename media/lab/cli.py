"""The command line of media/serve-lab."""

import argparse
import os
import signal
import sys

from builder import version
from builder.sources import default_server

from . import lab_interface, lab_inventory, lab_state, preflight
from .dnsmasq_command import dnsmasq_command
from .lab_run import LabRun, RunError
from .served_folder import BOOT_FILES, FolderError, ServedFolder

DESCRIPTION = """\
Serves a lab of routers that boot from their network card: run it on the
lab's host, in (or naming) the folder `build-media net` made. dnsmasq gives
the machines an address (or, with --proxy-dhcp, only the boot file beside
the segment's own DHCP server) and the boot files by TFTP;
netinstall-server installs them. Ctrl-C or SIGTERM stops both.

Each interface must exist and have an IPv4 address. Nothing of the host's
DNS or DHCP configuration is read or changed.

A machine installed once boots its own disk at every later network boot
(the lab's state, FOLDER/state, keeps what each machine is) until the
operator arms it again: `serve-lab --arm MAC FOLDER`, while the lab is
served or not. The status page (on 127.0.0.1, a free port, unless
--status or --no-status) shows every machine up to its installed
system's first start.

A folder rendered from the lab's inventory records where the inventory
was read: `serve-lab --check FOLDER` checks it as `build-media check`
does (and against the packages served), `serve-lab --explain MACHINE
FOLDER` shows a machine's final settings and where each comes from,
secrets masked; --inventory FILE [--secrets FILE] names another. The
check also runs before the lab is served."""


def _address_range(text):
    try:
        return lab_interface.parse_range(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not two IPv4 addresses FIRST,LAST: {text}")


def _parser():
    parser = argparse.ArgumentParser(prog="serve-lab", description=DESCRIPTION,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version", version=f"serve-lab {version()}")
    parser.add_argument("--interface", metavar="IF", action="append", default=[],
                        help="an interface on a segment of the lab (once per segment)")
    parser.add_argument("--arm", metavar="MAC",
                        help="only arm the machine MAC for a new installation at its next "
                             "network boot, and exit")
    parser.add_argument("--check", action="store_true",
                        help="only check the lab's inventory, and exit")
    parser.add_argument("--explain", metavar="MACHINE",
                        help="only show MACHINE's final settings (its name, its hardware "
                             "address, or \"unknown\") and where each comes from, and exit")
    parser.add_argument("--inventory", metavar="FILE",
                        help="the lab's inventory (default: the one FOLDER was rendered from)")
    parser.add_argument("--secrets", metavar="FILE", help="the lab's secrets, with --inventory")
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
                        help="where the logs and the events file go (default: FOLDER/logs)")
    parser.add_argument("--state-dir", metavar="DIR",
                        help="the lab's per-machine state (default: FOLDER/state)")
    parser.add_argument("--status", metavar="ADDR:PORT", default="127.0.0.1:0",
                        help="where the status page listens (default 127.0.0.1:0, a free port)")
    parser.add_argument("--no-status", action="store_true", help="no status page")
    parser.add_argument("--up-timeout", metavar="SECONDS", type=int, default=600,
                        help="a machine done that has not reported its first start after "
                             "this long is shown `not up` (default 600)")
    parser.add_argument("--server", metavar="PROGRAM",
                        default=os.environ.get("KORVANEL_SERVER") or default_server(),
                        help=f"netinstall-server (default: {default_server()})")
    parser.add_argument("--dnsmasq", metavar="PROGRAM",
                        help="dnsmasq (default: the one on PATH or in /usr/sbin)")
    return parser


def _refuse(error):
    print(f"serve-lab: {error}", file=sys.stderr)
    return 1


def _arm(arguments, parser):
    try:
        folder = ServedFolder(arguments.folder)
        state_dir = os.path.abspath(arguments.state_dir or os.path.join(folder.path, "state"))
        name, phase = lab_state.arm(state_dir, arguments.arm)
        lab_state.render_local_boot(state_dir, folder.boot)
    except (FolderError, lab_state.StateError, OSError) as error:
        return _refuse(error)
    print(f"serve-lab: {name.replace('-', ':')} armed ({phase} until now): it installs again "
          f"at its next network boot", flush=True)
    return 0


def _refuse_inventory(error):
    for line in error.lines:
        print(f"serve-lab: {line}", file=sys.stderr)
    return 1


def _locate_inventory(arguments, server_root):
    """The inventory to read (lab_inventory.Located) or None; raises
    FolderError when a file of it is not there."""
    located = lab_inventory.locate(server_root, arguments.inventory, arguments.secrets)
    missing = located.missing() if located else None
    if missing is not None:
        named = f" (named by {located.record})" if located.record else ""
        raise FolderError(f"{missing}: no such file{named}")
    return located


def _inventory_command(arguments):
    """--check and --explain: the inventory given, or the one FOLDER records."""
    try:
        folder = ServedFolder(arguments.folder)
    except FolderError as error:
        if arguments.inventory is None:
            return _refuse(error)
        folder = None  # an inventory alone: checked without the served packages
    try:
        located = _locate_inventory(arguments, folder.server_root if folder else None)
        if located is None:
            return _refuse(f"{folder.server_root} records no inventory (not rendered from one, "
                           "or by an older build-media): give --inventory FILE")
        if arguments.check:
            print(lab_inventory.check(located, folder))
            return 0
        lines = lab_inventory.explain(located, arguments.explain)
    except lab_inventory.InventoryError as error:
        return _refuse_inventory(error)
    except (FolderError, OSError) as error:
        return _refuse(error)
    if lines is None:
        return _refuse(f"{located.inventory}: no machine {arguments.explain}")
    print("\n".join(lines))
    return 0


def _check_served_inventory(arguments, folder):
    """Before serving: the inventory checked when it can be found. The line
    the operator is shown of it, or None for a root without an inventory."""
    located = lab_inventory.locate(folder.server_root, arguments.inventory, arguments.secrets)
    if located is None:
        if not lab_inventory.is_inventory_root(folder.server_root):
            return None
        return "inventory: not recorded in the folder, not checked (--inventory FILE checks one)"
    missing = located.missing()
    if missing is not None and located.record:
        # Built on another host, or moved since: the root is served as it is.
        return f"inventory: {missing} is not on this host: not checked"
    if missing is not None:
        raise FolderError(f"{missing}: no such file")
    return f"inventory: {lab_inventory.check(located, folder)} (checked)"


def main(argv):
    parser = _parser()
    arguments = parser.parse_args(argv)
    if arguments.secrets and not arguments.inventory:
        parser.error("--secrets belongs to --inventory")
    chosen = [name for name, given in (("--arm", arguments.arm), ("--check", arguments.check),
                                       ("--explain", arguments.explain)) if given]
    if len(chosen) > 1:
        parser.error(f"{chosen[0]} and {chosen[1]} are two commands: give one")
    if chosen and arguments.interface:
        parser.error(f"{chosen[0]} takes no --interface")
    if arguments.arm:
        return _arm(arguments, parser)
    if arguments.check or arguments.explain:
        return _inventory_command(arguments)
    if not arguments.interface:
        parser.error("the following arguments are required: --interface")
    if len(set(arguments.interface)) != len(arguments.interface):
        parser.error("an --interface given twice")
    if arguments.range and len(arguments.interface) > 1:
        parser.error("--range goes with one --interface only")
    if arguments.up_timeout < 1:
        parser.error("--up-timeout needs a number of seconds from 1")
    try:
        dnsmasq = preflight.find_dnsmasq(arguments.dnsmasq)
        server = preflight.check_program(arguments.server, "netinstall-server")
        folder = ServedFolder(arguments.folder)
        inventory_line = _check_served_inventory(arguments, folder)
        segments = []
        for interface in arguments.interface:
            own = lab_interface.ipv4_network(interface)
            address_range = None
            if not arguments.proxy_dhcp:
                address_range = (lab_interface.check_range(arguments.range, own)
                                 if arguments.range else lab_interface.default_range(own))
            segments.append((interface, own, address_range))
        preflight.check_readable_by_dnsmasq(folder.boot, BOOT_FILES)
        for interface, own, _ in segments:
            preflight.check_ports(interface, own.ip, arguments.proxy_dhcp)
        state_dir = os.path.abspath(arguments.state_dir or os.path.join(folder.path, "state"))
        os.makedirs(state_dir, exist_ok=True)
        lab_state.render_local_boot(state_dir, folder.boot)
    except lab_inventory.InventoryError as error:
        return _refuse_inventory(error)
    except (preflight.PreflightError, FolderError, lab_interface.InterfaceError,
            lab_state.StateError, OSError) as error:
        return _refuse(error)

    run = LabRun(os.path.abspath(arguments.log_dir or os.path.join(folder.path, "logs")))
    for number in (signal.SIGINT, signal.SIGTERM):
        signal.signal(number, run.on_signal)
    command = [server, "--root", folder.server_root, "--state", state_dir,
               "--up-timeout", str(arguments.up_timeout), "--events", run.events_file]
    for interface in arguments.interface:
        command += ["--interface", interface]
    if not arguments.no_status:
        command += ["--status", arguments.status]
    if arguments.keep:
        command.append("--keep")
    try:
        run.start(dnsmasq_command(dnsmasq, segments, folder.boot, run.lease_file,
                                  run.dnsmasq_log, arguments.proxy_dhcp), command)
        _describe(arguments, segments, folder, run, state_dir, inventory_line)
        # What each machine's firmware boots follows the state as the
        # server writes it.
        ended = run.wait(lambda: lab_state.render_local_boot(state_dir, folder.boot))
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


def _describe(arguments, segments, folder, run, state_dir, inventory_line):
    lines = ["serve-lab: serving the lab on " +
             ", ".join(f"{interface} ({own})" for interface, own, _ in segments)]
    page = run.status_page()
    if page:
        lines.append(f"  status page: {page}")
    for interface, own, address_range in segments:
        if arguments.proxy_dhcp:
            lines.append(f"  addresses: from the segment's own DHCP server (proxy DHCP on "
                         f"{own.network}: dnsmasq only names the boot file)")
        else:
            first, last = address_range
            count = int(last) - int(first) + 1
            lines.append(f"  addresses: {first} to {last} ({count}) on {interface}, "
                         f"lease file {run.lease_file}")
    lines += ["  " + line for line in folder.describe()]
    if inventory_line:
        lines.append("  " + inventory_line)
    lines.append(f"  machine state: {state_dir} (installed machines boot their disk until "
                 f"armed again: serve-lab --arm MAC)")
    if arguments.keep:
        lines.append("  installers keep the configuration found on their disk")
    lines += ["logs:",
              f"  DHCP and TFTP (dnsmasq): {run.dnsmasq_log}",
              f"  installations (netinstall-server): {run.server_log}",
              f"  events (one JSON object a line): {run.events_file}",
              "Power the machines on (network boot); Ctrl-C stops serving."]
    print("\n".join(lines), flush=True)
