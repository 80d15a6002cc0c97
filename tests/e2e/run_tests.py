"""Runs named unittest tests for CTest: exit 0 when they pass, 1 when one
fails, and 77 (CTest's "skipped") when every one was skipped because a
prerequisite (the i386 build, the fetched kernel, QEMU) is missing. With
KORVANEL_REQUIRE_MACHINES set (as `make check` does) a skip is a failure.

    run_tests.py MODULE.CLASS[.METHOD]...
"""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
# The boot-image modules the harness shares with media/build-media.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__)))), "media"))
SKIPPED = 77


def main(names):
    suite = unittest.defaultTestLoader.loadTestsFromNames(names)
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    if not result.wasSuccessful():
        return 1
    if result.skipped and os.environ.get("KORVANEL_REQUIRE_MACHINES"):
        # `make check` provides everything a machine needs: a skip there is
        # a failure, never a silent pass.
        return 1
    if result.testsRun > 0 and len(result.skipped) == result.testsRun:
        return SKIPPED
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
