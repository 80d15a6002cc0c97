#!/usr/bin/python3
"""Runs the fuzz targets of a fuzzing build and reports, per target, the
executions, executions per second, coverage and findings.

    run_fuzz.py [--build DIR] [--budget SECONDS] [--scratch] [TARGET...]

Each target starts from its seed corpus (fuzz/corpus/TARGET) and, unless
--scratch is given, from what earlier runs found (DIR/corpus/TARGET, where new
inputs are kept). A finding (a crash, a sanitizer report, a leak, a time-out)
is kept as DIR/findings/TARGET/...; the exit status is then 1. With --scratch
nothing is kept: the short runs of `make check`. Exit 77 (CTest's "skipped")
when the build has no such target, unless KORVANEL_REQUIRE_MACHINES is set
(as `make check` does): then that is a failure.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SEEDS = os.path.join(SOURCE_DIR, "fuzz", "corpus")
SKIPPED = 77
# An input that runs longer than this is a finding of its own (a hang).
INPUT_TIMEOUT_SECONDS = 10
# No input may make a parser take more memory than the package library's
# documented bound: one allocation over MALLOC_LIMIT_MB is a finding, so a
# size that outside bytes declare is caught the first time it is trusted.
MALLOC_LIMIT_MB = 64
RSS_LIMIT_MB = 1024
DICTIONARIES = os.path.join(SOURCE_DIR, "fuzz", "dict")


def version():
    with open(os.path.join(SOURCE_DIR, "VERSION")) as text:
        return text.readline().strip()


def all_targets():
    return sorted(name for name in os.listdir(SEEDS) if os.path.isdir(os.path.join(SEEDS, name)))


def parse_stats(output):
    """Executions, executions per second, coverage (edges) and features from
    libFuzzer's final lines."""
    stats = {"execs": 0, "exec_s": 0, "cov": 0, "ft": 0}
    found = re.search(r"stat::number_of_executed_units:\s*(\d+)", output)
    if found:
        stats["execs"] = int(found.group(1))
    found = re.search(r"stat::average_exec_per_sec:\s*(\d+)", output)
    if found:
        stats["exec_s"] = int(found.group(1))
    for line in output.splitlines():
        found = re.match(r"#\d+\s+\w+\s+cov: (\d+) ft: (\d+)", line)
        if found:
            stats["cov"], stats["ft"] = int(found.group(1)), int(found.group(2))
    return stats


def run_target(build, target, budget, scratch):
    program = os.path.join(build, "bin", f"fuzz_{target}")
    findings = os.path.join(build, "findings", target)
    os.makedirs(findings, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix=f"korvanel-fuzz-{target}-") as temporary:
        corpus = temporary if scratch else os.path.join(build, "corpus", target)
        os.makedirs(corpus, exist_ok=True)
        artifacts = os.path.join(temporary, "artifacts") if scratch else findings
        os.makedirs(artifacts, exist_ok=True)
        before = set(os.listdir(artifacts))
        command = [program, f"-max_total_time={budget}", "-print_final_stats=1",
                   f"-timeout={INPUT_TIMEOUT_SECONDS}", f"-rss_limit_mb={RSS_LIMIT_MB}",
                   f"-malloc_limit_mb={MALLOC_LIMIT_MB}", f"-artifact_prefix={artifacts}/"]
        dictionary = os.path.join(DICTIONARIES, f"{target}.dict")
        if os.path.exists(dictionary):
            command.append(f"-dict={dictionary}")
        command += [corpus, os.path.join(SEEDS, target)]
        result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                check=False)
        output = result.stdout.decode(errors="replace")
        new = sorted(set(os.listdir(artifacts)) - before)
        if new and scratch:
            # A finding of a short run is kept all the same: it is a bug.
            for name in new:
                shutil.copy(os.path.join(artifacts, name), findings)
        stats = parse_stats(output)
        stats["corpus"] = len(os.listdir(corpus))
        stats["findings"] = [os.path.join(findings, name) for name in new]
        stats["status"] = result.returncode
        if result.returncode != 0 or new:
            sys.stdout.write(output[-6000:])
        return stats


def main():
    parser = argparse.ArgumentParser(
        prog="run_fuzz.py", description="Runs the fuzz targets and reports what they did.")
    parser.add_argument("--version", action="version", version=f"run_fuzz.py {version()}")
    parser.add_argument("--build", default=os.path.join(SOURCE_DIR, "build", "fuzz"),
                        help="the fuzzing build (default build/fuzz)")
    parser.add_argument("--budget", type=int, default=60,
                        help="seconds per target (default 60)")
    parser.add_argument("--scratch", action="store_true",
                        help="keep no corpus between runs (the short runs of make check)")
    parser.add_argument("targets", nargs="*", help="targets to run (default: all)")
    options = parser.parse_args()
    if options.budget < 1:
        parser.error("--budget must be at least 1")
    targets = options.targets or all_targets()
    unknown = [t for t in targets if not os.path.isdir(os.path.join(SEEDS, t))]
    if unknown:
        parser.error(f"no such target: {' '.join(unknown)}")
    missing = [t for t in targets
               if not os.path.isfile(os.path.join(options.build, "bin", f"fuzz_{t}"))]
    if missing:
        print(f"run_fuzz.py: not built in {options.build}: {' '.join(missing)} (make fuzz-build)")
        return 1 if os.environ.get("KORVANEL_REQUIRE_MACHINES") else SKIPPED

    print(f"{'target':<18} {'execs':>10} {'exec/s':>8} {'cov':>6} {'ft':>7} {'corpus':>7}  findings")
    failed = False
    for target in targets:
        stats = run_target(options.build, target, options.budget, options.scratch)
        bad = stats["status"] != 0 or stats["findings"]
        failed = failed or bad
        findings = ", ".join(stats["findings"]) or ("none" if not bad else
                                                    f"exit status {stats['status']}")
        print(f"{target:<18} {stats['execs']:>10} {stats['exec_s']:>8} {stats['cov']:>6} "
              f"{stats['ft']:>7} {stats['corpus']:>7}  {findings}", flush=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
