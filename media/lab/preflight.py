"""What must hold before anything starts, so that a lab is refused with one
clear line rather than half served: the programs, the ports, and boot files
that dnsmasq can read after it has given up root."""

import os
import pwd
import shutil
import socket
import stat

# DHCP, TFTP, the installation protocol; proxy DHCP also answers PXE boot
# server requests.
DHCP_PORT, TFTP_PORT, INSTALL_PORT, PXE_PORT = 67, 69, 5000, 4011

# Debian's dnsmasq drops root for this user after it has opened its sockets.
DNSMASQ_USER = "nobody"


class PreflightError(Exception):
    pass


def find_dnsmasq(program=None):
    """`program`, or dnsmasq on PATH or in /usr/sbin."""
    path = program or shutil.which("dnsmasq", path=os.environ.get("PATH", "") + ":/usr/sbin:/sbin")
    if path is None or not (os.path.isfile(path) and os.access(path, os.X_OK)):
        raise PreflightError(f"dnsmasq{' ' + program if program else ''} is missing: install "
                             "Debian's dnsmasq-base (apt-get install dnsmasq-base; "
                             "`make deps` does)")
    return path


def check_program(path, what):
    if not (os.path.isfile(path) and os.access(path, os.X_OK)):
        raise PreflightError(f"{what} {path} is missing or not executable")
    return path


def _try_bind(interface, address, port, what):
    probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        probe.setsockopt(socket.SOL_SOCKET, socket.SO_BINDTODEVICE, interface.encode())
        probe.bind((str(address), port))
    except OSError as error:
        raise PreflightError(f"UDP port {port} ({what}) is taken on {interface}: "
                             f"{error.strerror} (another DHCP, TFTP or installation server?)")
    finally:
        probe.close()


def check_ports(interface, own_address, proxy):
    """Binds each port as the servers will, without SO_REUSEADDR: whoever
    holds it already makes that fail."""
    _try_bind(interface, "0.0.0.0", DHCP_PORT, "DHCP")
    _try_bind(interface, own_address, TFTP_PORT, "TFTP")
    _try_bind(interface, "0.0.0.0", INSTALL_PORT, "netinstall-server")
    if proxy:
        _try_bind(interface, "0.0.0.0", PXE_PORT, "PXE boot server")


def check_readable_by_dnsmasq(boot, names, user=DNSMASQ_USER):
    """The TFTP server reads as `user`: every folder down to the boot files
    must let others through, and each file must be readable by others
    (unless `user` owns it)."""
    try:
        uid = pwd.getpwnam(user).pw_uid
    except KeyError:
        raise PreflightError(f"there is no user {user}, which dnsmasq gives up root for")
    folder = os.path.abspath(boot)
    folders = []
    while True:
        folders.append(folder)
        parent = os.path.dirname(folder)
        if parent == folder:
            break
        folder = parent
    for name in names:
        path = os.path.join(boot, name)
        folders.append(os.path.dirname(path))
        info = os.stat(path)
        if info.st_uid != uid and not info.st_mode & stat.S_IROTH:
            raise PreflightError(f"{path} is not readable by others: dnsmasq serves it as "
                                 f"user {user} (chmod o+r)")
    for folder in sorted(set(folders)):
        info = os.stat(folder)
        if info.st_uid != uid and not info.st_mode & stat.S_IXOTH:
            raise PreflightError(f"{folder} does not let others through: dnsmasq serves the "
                                 f"boot files as user {user} (chmod o+x)")
