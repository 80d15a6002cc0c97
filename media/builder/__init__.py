"""The media builder: sample packages and boot media for the Korvanel
installer, made from this project's build and Debian's i386 packages.
`media/build-media` is its command line."""

VERSION = "1.0"
