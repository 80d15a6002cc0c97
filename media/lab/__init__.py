"""Serving a lab: machines that boot from their network card alone get
their address and boot files from dnsmasq and their installation from
netinstall-server. `media/serve-lab` is its command line."""
