"""The lab's per-machine state as serve-lab reads it (netinstall-server
--state writes it; docs/network-installation.md): STATE/machines/<mac> with
the machine's phase, STATE/armed/<mac> the operator's word that it installs
again. Only `arm` writes, and only the armed marker, so the server stays the
one writer of a machine's state.

What each machine's firmware boots follows from it: a machine installed and
not armed again gets a pxelinux configuration of its own in the TFTP root
(pxelinux looks for pxelinux.cfg/01-<mac> before the default), which boots
its disk at once; every other machine gets the default, the installer."""

import os
import re

INSTALLED_PHASES = ("done", "up", "not up")
# The first line of every configuration serve-lab writes: only such files
# are ever removed again.
LOCAL_BOOT_MARK = "# serve-lab: installed; boots its own disk until armed again"
LOCAL_BOOT = f"""{LOCAL_BOOT_MARK}
DEFAULT local
PROMPT 0
LABEL local
  LOCALBOOT 0
"""
_MAC_FILE = re.compile(r"^[0-9a-f]{2}(-[0-9a-f]{2}){5}$")
_MAC_TEXT = re.compile(r"^[0-9a-fA-F]{2}([:-][0-9a-fA-F]{2}){5}$")


class StateError(Exception):
    pass


def mac_file_name(text):
    """"52:54:00:AB:CD:EF" (or with dashes) as the state's file name."""
    if not _MAC_TEXT.match(text):
        raise StateError(f"not a hardware address: {text}")
    return text.lower().replace(":", "-")


def read_phases(state_dir):
    """{file name: phase} of every machine with a state."""
    folder = os.path.join(state_dir, "machines")
    phases = {}
    try:
        names = os.listdir(folder)
    except FileNotFoundError:
        return phases
    for name in names:
        if not _MAC_FILE.match(name):
            continue
        try:
            with open(os.path.join(folder, name)) as text:
                for line in text:
                    if line.startswith("phase: "):
                        phases[name] = line[len("phase: "):].strip()
        except OSError:
            continue
    return phases


def armed(state_dir):
    try:
        return {name for name in os.listdir(os.path.join(state_dir, "armed"))
                if _MAC_FILE.match(name)}
    except FileNotFoundError:
        return set()


def arm(state_dir, mac_text):
    """The operator's command: the machine installs again at its next
    network boot. Returns the machine's file name and its phase."""
    name = mac_file_name(mac_text)
    os.makedirs(os.path.join(state_dir, "armed"), exist_ok=True)
    with open(os.path.join(state_dir, "armed", name), "w"):
        pass
    return name, read_phases(state_dir).get(name, "unknown")


def render_local_boot(state_dir, boot_dir):
    """Writes the local-boot configuration of every installed machine not
    armed again, and removes those (of ours, of this state's machines) that
    no longer apply. Returns
    the file names of the machines that boot their disk."""
    config_dir = os.path.join(boot_dir, "pxelinux.cfg")
    phases = read_phases(state_dir)
    wanted = {name for name, phase in phases.items() if phase in INSTALLED_PHASES} - armed(state_dir)
    for name in os.listdir(config_dir):
        # Only machines of this state: another state's lab may share the
        # boot folder (an operator who wipes a state arms its machines).
        if not name.startswith("01-") or name[3:] in wanted or name[3:] not in phases:
            continue
        path = os.path.join(config_dir, name)
        try:
            with open(path) as text:
                ours = text.readline().rstrip("\n") == LOCAL_BOOT_MARK
        except OSError:
            continue
        if ours:
            os.unlink(path)
    for name in wanted:
        path = os.path.join(config_dir, "01-" + name)
        if os.path.exists(path):
            continue
        temporary = path + ".new"
        with open(temporary, "w") as text:
            text.write(LOCAL_BOOT)
        os.chmod(temporary, 0o644)
        os.rename(temporary, path)
    return wanted
