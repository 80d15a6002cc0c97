"""Package signatures on media. With --key the packages the builder makes
(the sample packages, the driver package) are signed with the operator's
secret key; with --pubkey a medium carries the public key as
/package-key.pub, and its installer installs only packages signed with it
(docs/package-format.md). A medium given --pubkey is checked before it is
made: every package it carries or serves must be signed with that key, or
the installer would refuse it."""

import os
import subprocess

from .sources import MediaError

# Where the installer reads the key in its running system.
PACKAGE_KEY_PATH = "/package-key.pub"


class Signing:
    def __init__(self, key=None, pubkey=None):
        for path in (key, pubkey):
            if path is not None and not os.path.isfile(path):
                raise MediaError(f"{path}: no such key file (bdl keygen makes them)")
        self.key = os.path.abspath(key) if key else None
        self.pubkey = os.path.abspath(pubkey) if pubkey else None

    def inputs(self):
        """The key files, for fingerprints: a new key makes new products."""
        return [path for path in (self.key, self.pubkey) if path]

    def settings(self):
        return [f"key={self.key}", f"pubkey={self.pubkey}"]

    def public_key_text(self):
        """What the medium carries as PACKAGE_KEY_PATH, or None."""
        if self.pubkey is None:
            return None
        with open(self.pubkey) as public:
            return public.read()

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


def _bdl(bdl, *arguments):
    """Runs bdl; None when it succeeded, else what it said."""
    result = subprocess.run([bdl, *arguments], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            text=True)
    return None if result.returncode == 0 else result.stdout.strip()
