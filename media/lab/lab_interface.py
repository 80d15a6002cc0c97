"""The lab's interface as the operator configured it: its IPv4 address
and network, and the addresses the machines may be given. Nothing is
changed on it."""

import ipaddress
import json
import subprocess


class InterfaceError(Exception):
    pass


def ipv4_network(name):
    """The interface's first IPv4 address with its network (IPv4Interface)."""
    result = subprocess.run(["ip", "-j", "-4", "addr", "show", "dev", name],
                            capture_output=True, text=True)
    if result.returncode != 0:
        raise InterfaceError(f"there is no interface {name}")
    links = json.loads(result.stdout or "[]")
    addresses = [entry for link in links for entry in link.get("addr_info", [])
                 if entry.get("family") == "inet"]
    if not addresses:
        raise InterfaceError(f"interface {name} has no IPv4 address (the machines' DHCP and "
                             f"TFTP need one: e.g. ip addr add 10.44.0.1/24 dev {name})")
    return ipaddress.IPv4Interface(f"{addresses[0]['local']}/{addresses[0]['prefixlen']}")


def default_range(own):
    """The half of the network's host addresses that does not hold the
    interface's own: other fixed addresses of a lab usually sit low. In a
    network larger than a /24, the /24 around the interface's address."""
    if own.network.prefixlen < 24:
        own = ipaddress.IPv4Interface(f"{own.ip}/24")
    hosts = list(own.network.hosts())
    if len(hosts) < 4:
        raise InterfaceError(f"the network {own.network} is too small for a lab "
                             f"(give --range, or a larger network)")
    half = len(hosts) // 2
    lower, upper = hosts[:half], hosts[half:]
    chosen = upper if own.ip not in upper else lower
    return chosen[0], chosen[-1]


def parse_range(text):
    """FIRST,LAST as the operator wrote it; ValueError when it is not two
    IPv4 addresses."""
    parts = text.split(",")
    if len(parts) != 2:
        raise ValueError(text)
    return tuple(ipaddress.IPv4Address(part.strip()) for part in parts)


def check_range(addresses, own):
    """The operator's range, both ends inside the interface's network and
    not holding its own address."""
    first, last = addresses
    text = f"{first},{last}"
    if first > last or first not in own.network or last not in own.network:
        raise InterfaceError(f"--range {text} is not a range inside {own.network}")
    if first <= own.ip <= last:
        raise InterfaceError(f"--range {text} holds the interface's own address {own.ip}")
    return first, last
