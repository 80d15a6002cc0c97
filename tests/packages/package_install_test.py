#!/usr/bin/python3
"""The Debian packages as an operator meets them, in a fresh Debian 12 tree.

  package_install_test.py --debs DIR --fetch PROGRAM [--scratch DIR]

Makes a Debian 12 tree with mmdebstrap (from the registry this machine's apt
uses), installs the netinstall-server and korvanel-tools packages of DIR
(`make deb`) there with apt, and then, with no source tree anywhere in it:

- checks the unit with systemd-analyze (verify, and security --offline: at
  most 2.0) and that the package made its system user;
- makes a package key with bdl, the sample packages and a network medium
  with build-media;
- runs the installed netinstall-server, as the unit does (its user, only
  CAP_NET_RAW, NOTIFY_SOCKET and a journal stream), in a network namespace
  of the test's own with a veth pair to a second one, where netinstall-fetch
  (PROGRAM, the project's client) fetches a whole installation; READY=1 must
  come once it serves, its lines carry journal priorities, and /metrics is
  read back with Debian's python3-prometheus-client;
- purges both packages: no file of them may be left.

Systemd itself is not started: this machine is a container whose process 1
is not systemd, with control groups v1, so systemd-nspawn cannot boot the
tree (see the report in README.md, "Debian packages"). The network
namespaces and the tree are removed when the test ends, however it ends.
"""

import argparse
import glob
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

from prometheus_client.parser import text_string_to_metric_families

SUITE = "bookworm"
# What the packages depend on, in the base tree already, so that the
# snapshot before the installation has it and the purge is measured
# against it. systemd gives systemd-sysusers and systemd-analyze.
BASE_PACKAGES = ["python3", "dnsmasq-base", "iproute2", "pxelinux", "syslinux-common", "systemd"]
PACKAGES = ["netinstall-server", "korvanel-tools"]
STATUS_PORT = 9100
# What dpkg and apt keep of every package they handled, and the user the
# package made (Debian leaves system users in place on purpose).
BOOKKEEPING = ("var/lib/dpkg/", "var/lib/apt/", "var/cache/", "var/log/",
               "etc/passwd", "etc/group", "etc/shadow", "etc/gshadow", "etc/subuid", "etc/subgid",
               "etc/ld.so.cache")
SKIPPED = ("proc/", "dev/", "sys/", "tmp/", "run/")


class TestFailure(Exception):
    pass


def check(condition, what):
    if not condition:
        raise TestFailure(what)


def run(command, **options):
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                            **options)
    if result.returncode != 0:
        raise TestFailure(f"{' '.join(command)} exited {result.returncode}:\n{result.stdout}")
    return result.stdout


class Tree:
    """The Debian tree; `command` runs a program in it with /dev, /proc and
    /tmp bound, in a mount namespace of its own (nothing stays mounted)."""

    def __init__(self, path):
        self.path = path

    def command(self, argv, netns=None):
        script = ('set -e; cd "$1"; mount --bind /dev dev; mount -t proc proc proc; '
                  'mount --bind /sys sys; shift; exec chroot . "$@"')
        prefix = ["ip", "netns", "exec", netns] if netns else []
        return prefix + ["unshare", "--mount", "--propagation", "private", "sh", "-c", script,
                         "tree", self.path] + argv

    def run(self, argv, netns=None):
        # An operator's host knows nothing of the test's build: the tools
        # must find their installed inputs without the tree's variables.
        environment = {name: value for name, value in os.environ.items()
                       if not name.startswith("KORVANEL_")}
        return run(self.command(argv, netns), env=dict(environment, LC_ALL="C.UTF-8"))

    def files(self):
        """Every path below the tree but the bookkeeping, with its type."""
        found = set()
        for root, dirs, names in os.walk(self.path):
            relative = os.path.relpath(root, self.path)
            relative = "" if relative == "." else relative + "/"
            dirs[:] = [d for d in dirs if relative + d + "/" not in SKIPPED]
            for name in dirs + names:
                path = relative + name
                if any(path == b.rstrip("/") or path.startswith(b) for b in BOOKKEEPING):
                    continue
                found.add(path)
        return found


class Namespaces:
    """Two network namespaces joined by a veth pair: srv0 (the server's
    lab interface) and card0 (the client's card)."""

    def __init__(self):
        tag = os.getpid()
        self.server, self.client = f"kvpkg-srv-{tag}", f"kvpkg-cli-{tag}"
        self.made = []
        for name in (self.server, self.client):
            run(["ip", "netns", "add", name])
            self.made.append(name)
        run(["ip", "link", "add", "srv0", "netns", self.server, "type", "veth",
             "peer", "card0", "netns", self.client])
        for name, link in ((self.server, "srv0"), (self.client, "card0")):
            run(["ip", "-n", name, "link", "set", link, "up"])
            run(["ip", "-n", name, "link", "set", "lo", "up"])
        run(["ip", "-n", self.server, "address", "add", "10.77.0.1/24", "dev", "srv0"])

    def remove(self):
        for name in self.made:
            subprocess.run(["ip", "netns", "delete", name])


def wait_for_ready(notify, seconds):
    notify.settimeout(seconds)
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            message = notify.recv(4096).decode()
        except socket.timeout:
            break
        if "READY=1" in message.split("\n"):
            return message
    raise TestFailure(f"no READY=1 from netinstall-server within {seconds} s")


def serve_and_fetch(tree, namespaces, fetch, scratch):
    notify_path = os.path.join(tree.path, "run", "korvanel-notify")
    notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    notify.bind(notify_path)
    os.chmod(notify_path, 0o777)  # the service's user sends to it
    log_path = os.path.join(scratch, "server.log")
    log = open(log_path, "w")
    stream = os.fstat(log.fileno())
    # As the unit runs it: its user, CAP_NET_RAW alone, and the journal's
    # stream as standard output (JOURNAL_STREAM names that stream).
    server = subprocess.Popen(
        tree.command(["setpriv", "--reuid=_netinstall", "--regid=_netinstall", "--clear-groups",
                      "--inh-caps=-all,+net_raw", "--ambient-caps=-all,+net_raw",
                      "--bounding-set=-all,+net_raw", "--no-new-privs",
                      "env", "-i", "NOTIFY_SOCKET=/run/korvanel-notify",
                      f"JOURNAL_STREAM={stream.st_dev}:{stream.st_ino}",
                      "/usr/sbin/netinstall-server", "--interface", "srv0",
                      "--root", "/srv/lab/server", "--status", f"127.0.0.1:{STATUS_PORT}"],
                     namespaces.server),
        stdout=log, stderr=subprocess.STDOUT)
    try:
        ready = wait_for_ready(notify, 30)
        # Without --drivers: the client would ask for the drivers of this
        # machine's kernel, which the medium does not serve.
        fetched = run(["ip", "netns", "exec", namespaces.client, "timeout", "300", fetch,
                       os.path.join(scratch, "fetched")], stdin=subprocess.DEVNULL)
        check("fetched " in fetched, f"netinstall-fetch said:\n{fetched}")
        # The page's state is at most a quarter of a second old: read until
        # it has the installation's end.
        for _ in range(20):
            metrics = run(["ip", "netns", "exec", namespaces.server, "/usr/bin/python3", "-c",
                           "import urllib.request,sys; sys.stdout.write(urllib.request.urlopen("
                           f"'http://127.0.0.1:{STATUS_PORT}/metrics', timeout=10).read()"
                           ".decode())"])
            if 'netinstall_installations_total{result="done"} 1' in metrics:
                break
            time.sleep(0.25)
    except TestFailure as failure:
        failure.args = (failure.args[0] + "\nthe server's log:\n" + open(log_path).read(),)
        raise
    finally:
        server.send_signal(signal.SIGTERM)
        try:
            status = server.wait(timeout=20)
        except subprocess.TimeoutExpired:
            server.kill()
            status = server.wait()
        notify.close()
        log.close()
    lines = open(log_path).read().splitlines()
    check(status == 0, f"netinstall-server exited {status}:\n" + "\n".join(lines))
    return ready, fetched, metrics, lines


def check_metrics(text):
    families = {family.name: family for family in text_string_to_metric_families(text)}
    samples = {}
    for family in families.values():
        for sample in family.samples:
            samples[(sample.name, tuple(sorted(sample.labels.items())))] = sample.value
    check(families["netinstall_installations"].type == "counter", "installations: not a counter")
    check(samples[("netinstall_installations_total", (("result", "done"),))] == 1,
          "the installation is not counted done")
    check(samples[("netinstall_machines", (("phase", "done"),))] == 1, "no machine done")
    check(samples[("netinstall_sent_bytes_total", ())] > 0, "no bytes counted as sent")
    check(samples[("netinstall_stations_found_total", ())] >= 1, "no station counted")
    check(samples[("netinstall_dropped_datagrams_total", (("reason", "malformed"),))] == 0,
          "datagrams dropped")
    phases = {labels[0][1] for name, labels in samples if name == "netinstall_machines"}
    check(phases >= {"drivers", "offered", "installing", "done", "failed", "silent"},
          f"machines by phase: {sorted(phases)}")
    check(sum(v for (name, _), v in samples.items() if name == "netinstall_machines") == 1,
          "not one machine on the board")
    return samples


def main(argv):
    parser = argparse.ArgumentParser(prog="package_install_test.py",
                                     description=__doc__.splitlines()[0])
    parser.add_argument("--debs", required=True, help="the folder `make deb` filled")
    parser.add_argument("--fetch", required=True, help="netinstall-fetch")
    parser.add_argument("--scratch", default=os.environ.get("KORVANEL_SCRATCH", "/tmp"))
    arguments = parser.parse_args(argv)
    debs = [path for name in PACKAGES
            for path in sorted(glob.glob(os.path.join(arguments.debs, f"{name}_*.deb")))]
    if len(debs) != len(PACKAGES) or not os.access(arguments.fetch, os.X_OK):
        print(f"missing: the packages of `make deb` in {arguments.debs} and {arguments.fetch}",
              file=sys.stderr)
        return 1 if os.environ.get("KORVANEL_REQUIRE_MACHINES") == "1" else 77
    started = time.monotonic()
    scratch = tempfile.mkdtemp(prefix="package-install.", dir=arguments.scratch)
    tree = Tree(os.path.join(scratch, "tree"))
    namespaces = None
    try:
        # The package lists stay: apt takes the packages' libraries from them.
        run(["mmdebstrap", "--variant=apt", "--skip=cleanup/apt/lists",
             "--include=" + ",".join(BASE_PACKAGES), SUITE, tree.path])
        made = time.monotonic()
        before = tree.files()
        for deb in debs:
            shutil.copy(deb, os.path.join(tree.path, "tmp"))
        tree.run(["apt-get", "install", "-y", "--no-install-recommends"]
                 + [os.path.join("/tmp", os.path.basename(deb)) for deb in debs])
        check("_netinstall:" in open(os.path.join(tree.path, "etc/passwd")).read(),
              "no user _netinstall")

        unit = "/lib/systemd/system/netinstall-server@.service"
        tree.run(["systemd-analyze", "verify", "--man=no", unit.replace("@", "@lab0")])
        security = tree.run(["systemd-analyze", "security", "--offline=true", unit])
        score = float(security.rsplit("Overall exposure level for", 1)[1].split(":")[1].split()[0])
        check(score <= 2.0, f"exposure {score}:\n{security}")

        # The operator's tools, with no source tree and no build folder.
        tree.run(["bdl", "keygen", "/root/key"])
        made_packages = tree.run(["build-media", "packages", "/srv/packages"])
        check(os.path.isfile(os.path.join(tree.path, "srv/packages/system.bdl")), made_packages)
        tree.run(["build-media", "net", "/srv/lab"])
        run(["chmod", "-R", "a+rX", os.path.join(tree.path, "srv")])
        # argparse may wrap the path after its hyphen.
        usage = re.sub(r"-\n\s+", "-", tree.run(["serve-lab", "--help"]))
        check(usage.find("/usr/sbin/netinstall-server") >= 0,
              "serve-lab's default server is not the installed one")

        namespaces = Namespaces()
        ready, fetched, metrics, lines = serve_and_fetch(tree, namespaces, arguments.fetch,
                                                         scratch)
        samples = check_metrics(metrics)
        serving = [line for line in lines if " serving /srv/lab/server on srv0" in line]
        check(serving and serving[0].startswith("<6>"), "no serving line at <6>:\n" +
              "\n".join(lines))
        check(any(line.startswith("<4>") and "warning: " in line for line in lines),
              "the unsigned packages' warning is not at <4>")
        served = time.monotonic()

        # What the operator made is the operator's: away before the purge,
        # which must then take everything else the packages brought.
        for made_here in ("root/key", "root/key.pub", "srv/packages", "srv/lab"):
            run(["rm", "-rf", os.path.join(tree.path, made_here)])
        # With the libraries apt installed for them.
        tree.run(["apt-get", "purge", "-y", "--autoremove"] + PACKAGES)
        left = sorted(tree.files() - before)
        check(not left, "left after the purge: " + ", ".join(left))
        print(f"tree made in {made - started:.0f} s; installed, checked, served and purged in "
              f"{served - made:.0f} s; {time.monotonic() - started:.0f} s in all")
        print(f"systemd-analyze security: {score}; {ready.strip()!r}; "
              f"{fetched.strip().splitlines()[-1]}; "
              f"metrics: {int(samples[('netinstall_sent_bytes_total', ())])} bytes sent")
        return 0
    except TestFailure as failure:
        print(f"package_install_test: {failure}", file=sys.stderr)
        return 1
    finally:
        if namespaces is not None:
            namespaces.remove()
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
