"""What a command tells the user: one line per product, with where it is
and how big."""

import os


def _size(path):
    if os.path.isdir(path):
        return sum(os.path.getsize(os.path.join(root, name))
                   for root, _, files in os.walk(path) for name in files)
    return os.path.getsize(path)


def megabytes(size):
    if size >= 100_000:
        return f"{size / 1e6:.1f} MB"
    return f"{size / 1e3:.1f} kB" if size >= 1000 else f"{size} bytes"


def _described_size(path):
    """The size, and for a sparse disk image also what it takes up."""
    size = _size(path)
    if os.path.isfile(path):
        used = os.stat(path).st_blocks * 512
        if used < size // 2:
            return f"{megabytes(size)} ({megabytes(used)} in use)"
    return megabytes(size)


class Report:
    def __init__(self, stream):
        self._stream = stream

    def _line(self, text):
        print(text, file=self._stream, flush=True)

    def made(self, what, where, paths):
        self._line(f"{what}: made in {where}:")
        for path in paths:
            self._line(f"  {os.path.basename(path.rstrip('/'))}  {_described_size(path)}")

    def unchanged(self, what, where, paths):
        total = sum(_size(path) for path in paths)
        self._line(f"{what}: up to date in {where} ({megabytes(total)})")
