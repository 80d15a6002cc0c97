"""The media builder: sample packages and boot media for the Korvanel
installer, made from this project's build and Debian's i386 packages.
`media/build-media` is its command line."""

import os


def version():
    """The project's version (the VERSION file)."""
    source_dir = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    with open(os.path.join(source_dir, "VERSION")) as text:
        return text.readline().strip()
