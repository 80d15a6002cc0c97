"""What a command tells the user: one line per product, with where it is
and how big."""

import os


def _size(path):
    if os.path.isdir(path):
        return sum(os.path.getsize(os.path.join(root, name))
                   for root, _, files in os.walk(path) for name in files)
    return os.path.getsize(path)


def megabytes(size):
    return f"{size / 1e6:.1f} MB"


class Report:
    def __init__(self, stream):
        self._stream = stream

    def _line(self, text):
        print(text, file=self._stream, flush=True)

    def made(self, what, where, paths):
        self._line(f"{what}: made in {where}:")
        for path in paths:
            self._line(f"  {os.path.basename(path.rstrip('/'))}  {megabytes(_size(path))}")

    def unchanged(self, what, where, paths):
        total = sum(_size(path) for path in paths)
        self._line(f"{what}: up to date in {where} ({len(paths)} files, {megabytes(total)})")
