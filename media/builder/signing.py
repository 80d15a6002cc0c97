"""Package signatures on media. With --key the packages the builder makes
(the sample packages, the driver package) are signed with the operator's
secret key; with --pubkey a medium carries the public key as
/package-key.pub, and its installer installs only packages signed with it
(docs/package-format.md). A medium given --pubkey is checked before it is
made: every package it carries or serves must be signed with that key, or
the installer would refuse it.

Release lists: every medium signed with --key carries the signed list of its
files (release.lst, `bdl release`), numbered --release N; a medium given
--pubkey also carries the lowest release its installer accepts (by default
the list's own number, --lowest-release N otherwise) as
/package-key.release. A medium with --pubkey but no --key carries the list
found beside its packages (DIR/release.lst), checked against them."""

import hashlib
import hmac
import os
import re
import shutil
import subprocess

from . import reproducible
from .sources import MediaError

# Where the installer reads the key in its running system.
PACKAGE_KEY_PATH = "/package-key.pub"
# Beside it: the lowest release number the installer accepts.
LOWEST_RELEASE_PATH = "/package-key.release"
# The list's name on every medium and in a server root.
RELEASE_LIST_NAME = "release.lst"


class Signing:
    def __init__(self, key=None, pubkey=None, release=1, lowest_release=None):
        for path in (key, pubkey):
            if path is not None and not os.path.isfile(path):
                raise MediaError(f"{path}: no such key file (bdl keygen makes them)")
        self.key = os.path.abspath(key) if key else None
        self.pubkey = os.path.abspath(pubkey) if pubkey else None
        self.release = release
        self.lowest_release = lowest_release

    def inputs(self):
        """The key files, for fingerprints: a new key makes new products."""
        return [path for path in (self.key, self.pubkey) if path]

    def settings(self):
        return [f"key={self.key}", f"pubkey={self.pubkey}", f"release={self.release}",
                f"lowest-release={self.lowest_release}"]

    def public_key_text(self):
        """What the medium carries as PACKAGE_KEY_PATH, or None."""
        if self.pubkey is None:
            return None
        with open(self.pubkey) as public:
            return public.read()

    def nonce(self, mac, name):
        """The first line's nonce of the secret script `name` of machine
        `mac` (64 hex digits), or None without a secret key. Derived from
        the key's secret half, so that only the key's holder can make it,
        the same on every run, and another for every machine and file:
        the list's digest of a script then tells nothing of its secret."""
        if self.key is None:
            return None
        with open(self.key) as text:
            seed = re.search(r"^seed: ([0-9a-f]{64})$", text.read(), re.MULTILINE)
        if seed is None:
            raise MediaError(f"{self.key}: not a secret key file (bdl keygen writes them)")
        message = f"korvanel secret-script nonce\0{mac}\0{name}".encode()
        return hmac.new(bytes.fromhex(seed.group(1)), message, hashlib.sha256).hexdigest()

    def write_release(self, bdl, output, files, drivers=(), given=None, own=()):
        """Writes the release list of `files` (and driver packages
        `drivers`, and (mac, path) pairs `own` of one machine each) to
        `output` and returns its number: signed here with --key, or `given`
        (a list the packages came with) copied and checked when there is
        only --pubkey. None when the medium gets no list."""
        own_arguments = [item for mac, path in own for item in ("--machine", mac, path)]
        if self.key is not None:
            # bdl dates the list by SOURCE_DATE_EPOCH when the caller set
            # it; a time settle() took from the sources could be months old,
            # and the list would expire early.
            environment = dict(os.environ)
            if not reproducible.caller_set_epoch():
                environment.pop("SOURCE_DATE_EPOCH", None)
            problem = _bdl(bdl, "release", "--key", self.key, "--number", str(self.release),
                           output, *files, *[item for d in drivers for item in ("--driver", d)],
                           *own_arguments, environment=environment)
            if problem is not None:
                raise MediaError(f"cannot write the release list {output}: {problem}")
            return self.release
        if self.pubkey is None:
            if os.path.lexists(output):
                os.unlink(output)  # a list of an earlier, signed build
            return None
        if given is None or not os.path.isfile(given):
            raise MediaError("a medium with --pubkey carries a release list: give --key to sign "
                             f"one, or put the signed {RELEASE_LIST_NAME} beside the packages")
        problem = _bdl(bdl, "verify", "--pubkey", self.pubkey, "--release", given, *files,
                       *drivers, *own_arguments)
        if problem is not None:
            raise MediaError(f"{given} does not fit this medium: {problem}")
        if os.path.abspath(given) != os.path.abspath(output):
            shutil.copyfile(given, output)
        with open(given) as text:
            number = re.search(r"^release: (\d+)$", text.read(), re.MULTILINE)
        return int(number.group(1))

    def lowest_release_text(self, number):
        """What the boot medium carries as LOWEST_RELEASE_PATH for a list
        numbered `number`, or None without a public key."""
        if self.pubkey is None or number is None:
            return None
        lowest = self.lowest_release if self.lowest_release is not None else number
        return f"lowest-release: {lowest}\n"

    def sign(self, bdl, package):
        """Signs the package file in place when there is a key."""
        if self.key is not None:
            problem = _bdl(bdl, "sign", "--key", self.key, package)
            if problem is not None:
                raise MediaError(f"cannot sign {package}: {problem}")

    def check(self, bdl, packages):
        """With a public key: every package is signed with it."""
        if self.pubkey is None:
            return
        for package in packages:
            problem = _bdl(bdl, "verify", "--pubkey", self.pubkey, package)
            if problem is not None:
                raise MediaError(f"the installer of this medium would refuse {package}: "
                                 + problem.removeprefix(f"bdl: {package}: "))


def _bdl(bdl, *arguments, environment=None):
    """Runs bdl; None when it succeeded, else what it said."""
    result = subprocess.run([bdl, *arguments], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            text=True, env=environment)
    return None if result.returncode == 0 else result.stdout.strip()
