#!/usr/bin/python3
"""Network installation throughput against TFTP, measured in the same run.

  net_throughput.py --build BUILD_DIR [--mib N] [--rounds R] [--clients 4,16]
                    [--blocks 4076] [--segments isolated] [--links -,100mbit]
                    [--no-page] [--perf DIR]

Runs only in a network namespace of its own (tests/sandbox/sandbox --net, as
`make bench-net` does): it builds a bridge and up to 16 installer namespaces
there, each held by a process (unshare -n), and never touches the machine's
interfaces. Prints, for one installer and for 1, 4 and 16 at once, the
throughput of netinstall-server + netinstall-fetch and of tftpd-hpa + curl
with the same block size, and their ratio. Each figure is the best of
--rounds runs, the protocols' runs alternating. "recv/file" counts the
datagrams each installer's process took in per file (the mean over the
installers of the last round): its own replies, plus whatever other
stations' traffic woke it.

Runs of 64 MiB, best of 5: with 16 MiB an unthrottled run lasts under a
second, and on two cores the same configuration measured twice differs by
up to 20%, more than the effects the columns are read for.

On one segment ("shared") every installer's kernel takes in what the others
broadcast: their discovery, and every request of an installer that cannot
send frames to its server alone; here all of them share this machine's few
cores, so that cost grows with the square of their number. The "isolated"
rows put the installers' bridge ports in isolation (they reach the server's
port only), as separate machines would not slow each other down; they
measure the server. TFTP runs on the same segment each time.

The page columns repeat each netinstall run with the server's status page
on (--status) and a client in the server's namespace fetching /status.json
twenty times a second, each on a new connection, as a busy operator's
browser and scripts would: its ratio against TFTP should stay within 5% of
the one without. "with page" is that ratio from the best run. "page/none"
compares the two runs of each round (the page's first every other round)
and is the median over the rounds: a run whose processes the scheduler
placed badly is up to 10% slower, and one such run in either column of a
best-of comparison would read as a cost or a gain of the page. "JSON/s" is
the rate of answers the client had in its slowest round (a page that kept
it waiting would show here, and would also have loaded the machine less).

--clients, --blocks (netinstall's block), --segments and --links run a subset of
the rows (each still against TFTP in the same run); --no-page leaves the
page's runs out; --threads N runs the server with that many threads
answering (its default is one per processor). --perf DIR records the
server's profile (perf record -g) during each of its runs without the page, into DIR/server-SEGMENT-LINK-CLIENTS-BLOCK.data
(the last round's).

Without a wire a round trip costs only processor time, and one installer
alone keeps the server's core busy. The "100mbit" rows give every
installer's link the rate of a Fast Ethernet card (tbf on both ends of its
veth): a round trip then includes the wire, as on real machines, and the
aggregate shows how the server shares itself among installers.
"""

import argparse
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

SERVER_ADDRESS = "10.55.0.1"
CLIENT_COUNTS = (1, 4, 16)
# (segment, netinstall block, TFTP block): the same block sizes, then the
# blocks that just fill one 1500-byte frame on each side (the installer's
# header is 20 bytes, TFTP's 4, so 1468 bytes of data take two frames here,
# one there), then the largest block on a shared segment.
CONFIGURATIONS = (("isolated", None, 4076, 4076), ("isolated", None, 1468, 1468),
                  ("isolated", None, 1452, 1468), ("shared", None, 4076, 4076),
                  ("isolated", "100mbit", 4076, 4076))


def only_loopback():
    with open("/proc/net/dev") as devices:
        names = [line.split(":")[0].strip() for line in devices.readlines()[2:]]
    return names == ["lo"]


class Namespace:
    """A network namespace held by a sleeping process; ends with it."""

    def __init__(self):
        self.holder = subprocess.Popen(["unshare", "-n", "sleep", "100000"])
        path = "/proc/%d/ns/net" % self.holder.pid
        for _ in range(500):
            if os.path.exists(path) and os.readlink(path) != os.readlink("/proc/self/ns/net"):
                return
            time.sleep(0.01)
        raise RuntimeError("namespace did not come up")

    def command(self, argv):
        return ["nsenter", "-t", str(self.holder.pid), "-n"] + argv

    def run(self, argv):
        subprocess.run(self.command(argv), check=True)

    def start(self, argv, **options):
        return subprocess.Popen(self.command(argv), **options)

    def end(self):
        self.holder.kill()
        self.holder.wait()


class Lab:
    """A bridge with the server and 16 installers on it."""

    def __init__(self, count):
        self.spaces = []
        self.client_ports = []
        self.limited = False
        self.hub = self.space()
        self.hub.run(["ip", "link", "add", "name", "br0", "type", "bridge"])
        self.hub.run(["ip", "link", "set", "br0", "up"])
        self.server = self.space()
        self.attach(self.server, "srv0", SERVER_ADDRESS)
        self.clients = []
        for index in range(count):
            client = self.space()
            self.client_ports.append(self.attach(client, "card0", "10.55.0.%d" % (10 + index)))
            self.clients.append(client)

    def limit(self, rate):
        """Every installer's link at `rate` in both directions, or unlimited."""
        for client, port in zip(self.clients, self.client_ports):
            for station, device in ((client, "card0"), (self.hub, port)):
                if rate is None and self.limited:
                    station.run(["tc", "qdisc", "del", "dev", device, "root"])
                if rate is not None:
                    station.run(["tc", "qdisc", "replace", "dev", device, "root", "tbf", "rate",
                                 rate, "burst", "16kb", "latency", "50ms"])
        self.limited = rate is not None

    def isolate(self, isolated):
        """Installer ports reach the server's port only (or every port)."""
        for port in self.client_ports:
            self.hub.run(["bridge", "link", "set", "dev", port, "isolated",
                          "on" if isolated else "off"])

    def space(self):
        space = Namespace()
        self.spaces.append(space)
        return space

    def attach(self, station, name, address):
        port = "port%d" % len(self.spaces)
        subprocess.run(["ip", "link", "add", "name", name, "netns", str(station.holder.pid),
                        "type", "veth", "peer", "name", port, "netns", str(self.hub.holder.pid)],
                       check=True)
        self.hub.run(["ip", "link", "set", port, "master", "br0", "up"])
        station.run(["ip", "addr", "add", address + "/24", "dev", name])
        station.run(["ip", "link", "set", name, "up"])
        station.run(["ip", "link", "set", "lo", "up"])
        return port

    def end(self):
        for space in reversed(self.spaces):
            space.end()


def wait_for(path, text, seconds=10):
    deadline = time.time() + seconds
    while time.time() < deadline:
        if os.path.exists(path) and text in open(path).read():
            return True
        time.sleep(0.02)
    return False


def timed_parallel(commands):
    """Starts every command at once: the wall time until the last ends, and
    what each printed (when its output was a pipe)."""
    started = time.monotonic()
    processes = [command() for command in commands]
    failures = 0
    outputs = []
    for process in processes:
        try:
            output, _ = process.communicate(timeout=600)
            outputs.append(output or b"")
            failures += process.returncode != 0
        except subprocess.TimeoutExpired:
            process.kill()
            failures += 1
    elapsed = time.monotonic() - started
    if failures:
        raise RuntimeError("%d of %d transfers failed" % (failures, len(processes)))
    return elapsed, outputs


def received_per_file(summary):
    """Datagrams received per file from netinstall-fetch's summary line:
    "fetched N files in S seconds, D datagrams received"."""
    words = summary.decode().split()
    return int(words[words.index("datagrams") - 1]) / max(int(words[1]), 1)


STATUS_PORT = 8080
# Fetches the status page's JSON 20 times a second until killed; counts the
# answers (printed at the end) and checks each is JSON.
STATUS_CLIENT = """
import json, signal, sys, time, urllib.request
answers = 0
signal.signal(signal.SIGTERM, lambda *_: (print(answers), sys.exit(0)))
while True:
    started = time.monotonic()
    with urllib.request.urlopen("http://127.0.0.1:%d/status.json", timeout=5) as answer:
        json.loads(answer.read())
    answers += 1
    if answers == 1:
        print("ready", flush=True)
    time.sleep(max(0, 0.05 - (time.monotonic() - started)))
""" % STATUS_PORT


def measure_netinstall(lab, build, root, count, block, scratch, status=False, perf=None,
                       threads=None):
    """`perf`: None, or the path of the profile to record."""
    log = os.path.join(scratch, "server-%d-%d.log" % (count, block))
    page = ["--status", "127.0.0.1:%d" % STATUS_PORT] if status else []
    if threads is not None:
        page += ["--threads", str(threads)]
    server = lab.server.start([os.path.join(build, "bin", "netinstall-server"), "--interface",
                               "srv0", "--root", root, "--block-size", str(block)] + page,
                              stdout=open(log, "w"), stderr=subprocess.STDOUT)
    reader = None
    recorder = None
    try:
        if not wait_for(log, " serving "):
            raise RuntimeError("netinstall-server did not start:\n" + open(log).read())
        if perf is not None:
            # nsenter executes the server in its own process: its pid is the server's.
            recorder = subprocess.Popen(
                ["perf", "record", "-q", "-g", "-o", perf, "-p", str(server.pid)],
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            time.sleep(0.5)
        if status:
            reader = lab.server.start([sys.executable, "-c", STATUS_CLIENT],
                                      stdout=subprocess.PIPE)
            if reader.stdout.readline() != b"ready\n":
                raise RuntimeError("the status client got no answer")
        fetch = os.path.join(build, "bin", "netinstall-fetch")
        elapsed, outputs = timed_parallel([
            (lambda client=client: client.start([fetch, scratch, "--quiet", "--discard"],
                                                stdin=subprocess.PIPE, stdout=subprocess.PIPE))
            for client in lab.clients[:count]])
        received = [received_per_file(output) for output in outputs]
        if recorder is not None:
            recorder.send_signal(signal.SIGINT)
            recorder.wait(timeout=60)
            recorder = None
        answers_per_second = None
        if reader is not None:
            reader.send_signal(signal.SIGTERM)
            answers = int(reader.communicate(timeout=10)[0] or 0) - 1  # less the first
            reader = None
            answers_per_second = answers / elapsed
            if answers_per_second < 5:
                raise RuntimeError("the status client got %d answers in %.1f s" % (answers, elapsed))
        return elapsed, sum(received) / len(received), answers_per_second
    finally:
        if recorder is not None:
            recorder.kill()
            recorder.wait()
        if reader is not None:
            reader.kill()
            reader.wait()
        server.send_signal(signal.SIGTERM)
        server.wait(timeout=10)


def measure_tftp(lab, root, count, block):
    server = lab.server.start(["in.tftpd", "-L", "-s", root, "-a", SERVER_ADDRESS + ":69",
                               "-B", "65464"])
    try:
        time.sleep(0.3)
        url = "tftp://%s/bench.bdl" % SERVER_ADDRESS
        return timed_parallel([
            (lambda client=client: client.start(
                ["curl", "-s", "-f", "-o", "/dev/null", "--tftp-blksize", str(block), url]))
            for client in lab.clients[:count]])[0]
    finally:
        server.kill()
        server.wait()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "VERSION")) as text:
        parser.add_argument("--version", action="version",
                            version="%(prog)s " + text.readline().strip())
    parser.add_argument("--build", required=True)
    parser.add_argument("--mib", type=int, default=64)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--clients", default=",".join(str(n) for n in CLIENT_COUNTS),
                        help="installers at once, e.g. 4,16")
    parser.add_argument("--blocks", default=None, help="netinstall block sizes, e.g. 4076")
    parser.add_argument("--segments", default=None, help="isolated, shared")
    parser.add_argument("--links", default=None, help="-, 100mbit")
    parser.add_argument("--no-page", action="store_true", help="no runs with the status page")
    parser.add_argument("--perf", default=None, help="record the server's profile into DIR")
    parser.add_argument("--threads", type=int, default=None,
                        help="the server's --threads (default: its own, one per processor)")
    options = parser.parse_args()
    client_counts = [int(n) for n in options.clients.split(",")]
    blocks = None if options.blocks is None else [int(n) for n in options.blocks.split(",")]
    segments = None if options.segments is None else options.segments.split(",")
    links = None if options.links is None else options.links.split(",")
    configurations = [c for c in CONFIGURATIONS
                      if (blocks is None or c[2] in blocks) and
                      (segments is None or c[0] in segments) and
                      (links is None or (c[1] or "-") in links)]
    if not configurations or any(n < 1 or n > max(CLIENT_COUNTS) for n in client_counts):
        sys.exit("net_throughput: no such rows (clients 1 to %d)" % max(CLIENT_COUNTS))
    if options.perf is not None:
        os.makedirs(options.perf, exist_ok=True)
    if os.geteuid() != 0 or not only_loopback():
        sys.exit("net_throughput: run as root in a network namespace of its own "
                 "(tests/sandbox/sandbox --net -- ...)")
    scratch = tempfile.mkdtemp(prefix="net-bench.", dir=os.environ.get("KORVANEL_SCRATCH", "/tmp"))
    # A real package (the server serves nothing else from packages/) of
    # random, hence incompressible, contents.
    tree = os.path.join(scratch, "tree", "usr", "share")
    os.makedirs(tree)
    with open(os.path.join(tree, "bench-data"), "wb") as data:
        data.write(os.urandom(options.mib * 1024 * 1024))
    root = os.path.join(scratch, "root")
    os.makedirs(os.path.join(root, "packages"))
    package = os.path.join(root, "packages", "bench.bdl")
    subprocess.run([os.path.join(options.build, "bin", "bdl"), "pack", "--name", "bench",
                    os.path.join(scratch, "tree"), package], check=True)
    size = os.path.getsize(package)
    tftp_root = os.path.join(scratch, "tftp")
    os.makedirs(tftp_root)
    shutil.copy(os.path.join(root, "packages", "bench.bdl"), os.path.join(tftp_root, "bench.bdl"))
    os.chmod(tftp_root, 0o755)
    os.chmod(os.path.join(tftp_root, "bench.bdl"), 0o644)

    lab = Lab(max(client_counts))
    try:
        print("a package of %d bytes per installer, best of %d rounds; MB/s = 10^6 bytes "
              "per second" % (size, options.rounds))
        print("%-9s %-8s %-8s %6s %16s %6s %10s %7s %10s %10s %10s %7s" % (
            "segment", "link", "clients", "block", "netinstall MB/s", "block", "TFTP MB/s",
            "ratio", "recv/file", "with page", "page/none", "JSON/s"))
        for segment, rate, ours_block, tftp_block in configurations:
            lab.limit(rate)
            for count in client_counts:
                # Alternating rounds: all three see the same load of the machine.
                ours, paged, tftp = float("inf"), float("inf"), float("inf")
                answer_rate = float("inf")
                pairs = []
                for round_number in range(options.rounds):
                    lab.isolate(segment == "isolated")
                    # The page's run comes first every other round, so that
                    # neither side of a pair always follows TFTP's run.
                    times = {}
                    order = (False, True) if round_number % 2 == 0 else (True, False)
                    for status in (False,) if options.no_page else order:
                        elapsed, received_now, answers = measure_netinstall(
                            lab, options.build, root, count, ours_block, scratch, status=status,
                            perf=None if status or options.perf is None else os.path.join(
                                options.perf, "server-%s-%s-%d-%d.data" % (
                                    segment, rate or "-", count, ours_block)),
                            threads=options.threads)
                        times[status] = elapsed
                        if status:
                            answer_rate = min(answer_rate, answers)
                        else:
                            received = received_now
                    ours = min(ours, times[False])
                    if not options.no_page:
                        paged = min(paged, times[True])
                        pairs.append(times[False] / times[True])
                    lab.isolate(False)
                    tftp = min(tftp, measure_tftp(lab, tftp_root, count, tftp_block))
                ours_rate = count * size / ours / 1e6
                paged_rate = count * size / paged / 1e6
                tftp_rate = count * size / tftp / 1e6
                page_cost = statistics.median(pairs) if pairs else float("nan")
                print("%-9s %-8s %-8d %6d %16.1f %6d %10.1f %7.2f %10.0f %10.2f %10.3f %7.1f" % (
                    segment, rate or "-", count, ours_block, ours_rate, tftp_block, tftp_rate,
                    ours_rate / tftp_rate, received, paged_rate / tftp_rate, page_cost,
                    answer_rate), flush=True)
    finally:
        lab.end()
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
