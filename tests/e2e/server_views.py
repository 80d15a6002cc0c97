"""What an operator of netinstall-server watches, read the way tests need
it: the status page through a real browser (Debian's chromium, headless),
and the events file (JSON Lines) set against the server's log."""

import json
import os
import re
import shutil
import subprocess
import tempfile

LOG_LINE = re.compile(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d (?:([0-9A-F:]{17}) )?(.*)$")


def browser(url, workdir, screenshot=None, size="1280,720"):
    """The page's DOM after its script has run for a few (virtual) seconds;
    with `screenshot`, a PNG of it there instead (returns "")."""
    if shutil.which("chromium") is None:
        raise FileNotFoundError("chromium is not installed (scripts/install-deps.sh)")
    profile = tempfile.mkdtemp(prefix="chromium-", dir=workdir)
    command = ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
               "--disable-background-networking", "--disable-component-update",
               "--disable-sync", f"--user-data-dir={profile}", "--virtual-time-budget=5000",
               "--hide-scrollbars", f"--window-size={size}"]
    command += [f"--screenshot={screenshot}"] if screenshot else ["--dump-dom"]
    result = subprocess.run(command + [url], capture_output=True, text=True, timeout=120,
                            env=dict(os.environ, HOME=profile))
    shutil.rmtree(profile, ignore_errors=True)
    return result.stdout


def rows(dom):
    """{hardware address: phase} of the page's machine rows."""
    return dict((mac, phase) for phase, mac in re.findall(
        r'<tr class="(\w+)"><td data-title="Machine" class="mac">([0-9A-F:]+)</td>', dom))


def log_events(log):
    """(machine or "", text) of every log line before the summary."""
    found = []
    for line in log.splitlines():
        if line.startswith("summary: "):
            break
        match = LOG_LINE.match(line)
        if match:
            found.append((match.group(1) or "", match.group(2)))
    return found


def file_events(path):
    """The events file's objects, each line parsed on its own."""
    with open(path) as lines:
        return [json.loads(line) for line in lines]
