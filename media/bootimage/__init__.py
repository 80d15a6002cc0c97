"""Boot-medium images shared by media/build-media and the whole-machine
tests (tests/e2e): where the inputs are (locations), the initramfs writer
(cpio_archive, initramfs), Debian's i386 programs with their libraries
(i386_programs), the kernel modules at the installer's list entries
(media_modules), the installer's medium root with the classic drive names
(installer_initramfs) and the network medium with its driver package
(network_medium).

Importers put media/ on sys.path and import `bootimage.NAME`."""
