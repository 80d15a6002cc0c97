"""The command line of Debian's dnsmasq as a lab's DHCP and TFTP server:
nothing of the host's configuration, no DNS, one interface, its own lease
file, and what many machines powered on together need."""

# Leases last long enough for a whole installation and its restart.
LEASE_TIME = "2h"
PXE_MENU_TEXT = "Korvanel network installation"


def dnsmasq_command(program, segments, boot, lease_file, log_file, proxy=False):
    """`segments` lists, per interface, (name, own, address_range): `own` is
    the interface's IPv4Interface, `address_range` (first, last) the
    addresses handed out there (ignored with `proxy`: another DHCP server
    gives the addresses, dnsmasq only tells PXE firmwares what to boot)."""
    command = [
        program,
        "--keep-in-foreground",
        "--conf-file=/dev/null",    # the host's /etc/dnsmasq.conf stays out
        "--pid-file=",              # no pid file: this process supervises it
        "--port=0",                 # no DNS server
        *(f"--interface={name}" for name, _, _ in segments),
        "--bind-interfaces",
        f"--dhcp-leasefile={lease_file}",
        f"--log-facility={log_file}",
        "--log-dhcp",
        "--enable-tftp",
        f"--tftp-root={boot}",
        "--dhcp-boot=pxelinux.0",
    ]
    if proxy:
        command += [f"--dhcp-range={own.network.network_address},proxy,{own.network.netmask}"
                    for _, own, _ in segments]
        command += [
            # Firmware that asks the PXE way gets one entry, booted at once;
            # dnsmasq adds the ".0".
            f"--pxe-service=x86PC,{PXE_MENU_TEXT},pxelinux",
        ]
    else:
        command += [f"--dhcp-range={first},{last},{own.network.netmask},{LEASE_TIME}"
                    for _, own, (first, last) in segments]
        command += [
            # By default dnsmasq pings each address before offering it and
            # waits 3 s, one address at a time: with a dozen machines powered
            # on together most firmwares give up first.
            "--no-ping",
            # The only DHCP server here: a machine asking for an address of
            # an earlier run is answered at once (NAK) instead of ignored.
            "--dhcp-authoritative",
        ]
    return command
