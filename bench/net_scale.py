#!/usr/bin/python3
"""Many installers at once against TFTP, measured in the same run.

  net_scale.py --build BUILD_DIR [--counts 64,256,1000] [--mib N]

Runs only in a network namespace of its own (tests/sandbox/sandbox --net, as
`make bench-scale` does). One veth pair is the segment: the server's card
in one namespace, netinstall-crowd's in the other, where every simulated
installer has its own hardware address on that one card (a promiscuous
packet socket; crowd_frames.h). The segment's MTU is 9000, so that a
4096-byte message travels in one frame for both protocols.

For each number of installers, powered on within 3 seconds, and then with
each pausing 10 to 60 s between the offer and the start (its disk's
preparation), every installer fetches the driver package and then the
served root's packages and script (about --mib MiB in all); the same
number of TFTP clients in the same process fetch the same files from
tftpd-hpa with the same block size, pausing as long after the drivers.

Columns: done (installations completed of those started), slow/fast (the
slowest installer's time from its first request to its last byte, less its
pause, against the fastest's), MB/s (all bytes over the time from the first
request to the last byte; 10^6 bytes), CPU/MiB (the server's processor
time per MiB served; for tftpd-hpa its children's too, sampled every 50 ms
while they live, so a little low), RSS (the server's peak resident
memory; tftpd-hpa's: the peak sum over its processes, sampled), and for netinstall-server the peak against one installation's
in the same run; ratio: our MB/s against TFTP's.
"""

import argparse
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from net_throughput import Namespace, only_loopback, wait_for  # noqa: E402

SERVER_ADDRESS = "10.56.0.1"
CROWD_ADDRESS = "10.56.0.2"
TICKS = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    """utime + stime + cutime + cstime of `pid`."""
    with open("/proc/%d/stat" % pid) as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return sum(int(value) for value in fields[11:15]) / TICKS


def status_kib(pid, key):
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return 0


def sample_tree(root_pid, cpu_seen):
    """The resident memory of `root_pid` and its children, summed; each
    one's processor time so far goes into `cpu_seen` (pid: seconds).
    tftpd-hpa's children are reaped without their times reaching the
    parent, so their time is sampled while they live."""
    total = 0
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % name) as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
            if int(name) == root_pid or int(fields[1]) == root_pid:
                total += status_kib(int(name), "VmRSS")
                cpu_seen[int(name)] = sum(int(value) for value in fields[11:13]) / TICKS
        except (OSError, ValueError):
            pass
    return total


def read_report(path):
    """(done, started, protocol seconds per installer, first, last)."""
    times, done, firsts, lasts = [], 0, [], []
    with open(path) as report:
        for line in report:
            fields = line.split()
            first, last, pause = int(fields[3]), int(fields[4]), int(fields[5])
            if fields[2] == "done":
                done += 1
                times.append((last - first - pause) / 1e6)
                firsts.append(first)
                lasts.append(last)
    return done, times, min(firsts or [0]), max(lasts or [1])


def run_crowd(crowd, build, root, count, pause, scratch, server_pid, tftp):
    report = os.path.join(scratch, "report")
    argv = [os.path.join(build, "bin", "netinstall-crowd"), "--interface", "crowd0", "--root",
            root, "--installers", str(count), "--drivers", "--spread", "3", "--time-limit", "600",
            "--report", report]
    if pause:
        argv += ["--pause", "%d-%d" % pause]
    if tftp:
        argv += ["--tftp", SERVER_ADDRESS, "--block-size", "4076"]
    cpu_before = cpu_seconds(server_pid)
    process = crowd.start(argv, stdout=subprocess.PIPE)
    peak = 0
    cpu_seen = {}
    while process.poll() is None:
        if tftp:
            peak = max(peak, sample_tree(server_pid, cpu_seen))
        time.sleep(0.05)
    cpu = cpu_seconds(server_pid) - cpu_before
    if tftp:
        cpu += sum(seconds for pid, seconds in cpu_seen.items() if pid != server_pid)
    summary = process.stdout.read().decode().strip()
    done, times, first, last = read_report(report)
    total = sum(int(line.split()[6]) for line in open(report) if line.split()[2] == "done")
    if not tftp:
        peak = status_kib(server_pid, "VmHWM")
    return {"done": done, "count": count, "spread": max(times) / min(times) if times else 0,
            "rate": total / ((last - first) / 1e6) / 1e6, "cpu": cpu / (total / 2**20),
            "rss": peak / 1024, "summary": summary}


def start_server(space, build, root, scratch):
    log = os.path.join(scratch, "server.log")
    server = space.start([os.path.join(build, "bin", "netinstall-server"), "--interface", "srv0",
                          "--root", root], stdout=open(log, "w"), stderr=subprocess.STDOUT)
    if not wait_for(log, " serving "):
        raise RuntimeError("netinstall-server did not start:\n" + open(log).read())
    return server, log


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "VERSION")) as text:
        parser.add_argument("--version", action="version",
                            version="%(prog)s " + text.readline().strip())
    parser.add_argument("--build", required=True)
    parser.add_argument("--counts", default="64,256,1000")
    parser.add_argument("--mib", type=int, default=2)
    options = parser.parse_args()
    if os.geteuid() != 0 or not only_loopback():
        sys.exit("net_scale: run as root in a network namespace of its own "
                 "(tests/sandbox/sandbox --net -- ...)")
    counts = [int(count) for count in options.counts.split(",")]
    scratch = tempfile.mkdtemp(prefix="scale-bench.", dir=os.environ.get("KORVANEL_SCRATCH", "/tmp"))
    os.chmod(scratch, 0o755)
    root = os.path.join(scratch, "root")
    tree = os.path.join(scratch, "tree", "usr", "share")
    os.makedirs(tree)
    with open(os.path.join(tree, "bench-data"), "wb") as data:
        data.write(os.urandom(options.mib * 1024 * 1024))
    for folder in ("packages", "scripts", "drivers"):
        os.makedirs(os.path.join(root, folder))
    subprocess.run([os.path.join(options.build, "bin", "bdl"), "pack", "--name", "bench",
                    os.path.join(scratch, "tree"), os.path.join(root, "packages", "bench.bdl")],
                   check=True)
    with open(os.path.join(root, "drivers", "6.1.0-crowd.bdl"), "wb") as drivers:
        drivers.write(os.urandom(256 * 1024))
    with open(os.path.join(root, "scripts", "autorun.scr"), "w") as script:
        script.write("hostname router\n")
    for folder, _, files in os.walk(root):
        os.chmod(folder, 0o755)
        for name in files:
            os.chmod(os.path.join(folder, name), 0o644)
    served = sum(os.path.getsize(os.path.join(folder, name))
                 for folder, _, files in os.walk(root) for name in files)

    server_space, crowd_space = Namespace(), Namespace()
    try:
        subprocess.run(["ip", "link", "add", "name", "srv0", "netns", str(server_space.holder.pid),
                        "type", "veth", "peer", "name", "crowd0", "netns",
                        str(crowd_space.holder.pid)], check=True)
        for space, card, address in ((server_space, "srv0", SERVER_ADDRESS),
                                     (crowd_space, "crowd0", CROWD_ADDRESS)):
            space.run(["ip", "link", "set", card, "mtu", "9000", "up"])
            space.run(["ip", "addr", "add", address + "/24", "dev", card])
            space.run(["ip", "link", "set", "lo", "up"])
        print("every installer fetches %d bytes (drivers, package, script); MB/s = 10^6 bytes "
              "per second" % served)
        print("%-6s %-7s | %-8s %9s %8s %9s %8s %7s | %-8s %9s %8s %9s %8s | %6s" % (
            "count", "pause", "ours", "slow/fast", "MB/s", "CPU/MiB", "RSS MiB", "/one",
            "TFTP", "slow/fast", "MB/s", "CPU/MiB", "RSS MiB", "ratio"))
        for pause in (None, (10, 60)):
            for count in counts:
                server, _ = start_server(server_space, options.build, root, scratch)
                try:
                    one = run_crowd(crowd_space, options.build, root, 1, None, scratch,
                                    server.pid, tftp=False)
                    ours = run_crowd(crowd_space, options.build, root, count, pause, scratch,
                                     server.pid, tftp=False)
                    ours["one"] = one["rss"]
                finally:
                    server.send_signal(signal.SIGTERM)
                    server.wait(timeout=30)
                tftpd = server_space.start(["in.tftpd", "-L", "-s", root, "-a",
                                            SERVER_ADDRESS + ":69", "-B", "65464"])
                try:
                    time.sleep(0.3)
                    tftp = run_crowd(crowd_space, options.build, root, count, pause, scratch,
                                     tftpd.pid, tftp=True)
                finally:
                    tftpd.kill()
                    tftpd.wait()
                print("%-6d %-7s | %4d/%-4d %9.2f %8.1f %9.4f %8.1f %7.2f | %4d/%-4d %9.2f %8.1f "
                      "%9.4f %8.1f | %6.2f" % (
                          count, "%d-%d s" % pause if pause else "-", ours["done"], count,
                          ours["spread"], ours["rate"], ours["cpu"], ours["rss"],
                          ours["rss"] / ours["one"], tftp["done"], count, tftp["spread"],
                          tftp["rate"], tftp["cpu"], tftp["rss"], ours["rate"] / tftp["rate"]),
                      flush=True)
    finally:
        server_space.end()
        crowd_space.end()
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
