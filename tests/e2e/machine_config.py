"""What one emulated PC consists of, and the QEMU and kernel command lines
that make it.

The machine is QEMU's "pc" board without any default device (-nodefaults: no
network card unless asked for, no default drives), a standard VGA, and
-no-reboot, so that the guest's restart ends QEMU. Its first serial port is
the guest's /dev/ttyS0.
"""

from bootimage import locations
from bootimage.initramfs import Initramfs

DEFAULT_MEMORY_MB = 64
_IDE_SLOTS = 4
_CDROM_SLOT = 2  # secondary master, where a PC's CD drive usually sits


class MachineConfig:
    def __init__(self, initramfs, kernel=None, memory_mb=DEFAULT_MEMORY_MB,
                 kernel_console="serial", init=None, kernel_args=(), init_args=(),
                 quiet=True, disks=(), cdrom=None, floppy=None, nics=(),
                 nic_model="e1000", macs=(), extra_qemu_args=(), network_boot=False,
                 restarts=False):
        """
        initramfs       an Initramfs, or the path of an archive; None: no
                        kernel is given, the firmware boots the machine from
                        its CD when it has one, else from its first disk
        kernel          the kernel image; default: the fetched Debian i386 kernel
        kernel_console  "serial": the kernel console and /dev/console are the
                        first serial line; "screen": they are the PC screen,
                        and kernel messages also go to the second serial line
                        (kernel.log in the work directory), so that the first
                        stays silent unless the guest itself opens /dev/ttyS0
        init            the initramfs path the kernel starts (rdinit=); None: /init
        kernel_args     more kernel command-line arguments
        init_args       arguments for init (after "--" on the command line)
        quiet           kernel messages below warnings are not shown
        disks           raw images attached as IDE disks, in order
        cdrom           a raw (ISO) image in the CD drive (secondary master)
        floppy          a raw image in the first floppy drive
        nics            QEMU -netdev option texts ("socket,mcast=...",
                        "tap,ifname=...,script=no,downscript=no"), one card each
        macs            the cards' hardware addresses, in order; default
                        52:54:00:12:34:56 upward (machines on one segment
                        need addresses of their own)
        extra_qemu_args appended to QEMU's command line as they stand
        network_boot    with initramfs None: the firmware boots from the first
                        network card (its PXE ROM, QEMU's iPXE), not from a
                        CD or disk
        """
        if kernel_console not in ("serial", "screen"):
            raise ValueError(f"kernel_console must be serial or screen, not {kernel_console!r}")
        self.initramfs = initramfs
        self.kernel = kernel
        self.memory_mb = memory_mb
        self.kernel_console = kernel_console
        self.init = init
        self.kernel_args = list(kernel_args)
        self.init_args = list(init_args)
        self.quiet = quiet
        self.disks = list(disks)
        self.cdrom = cdrom
        self.floppy = floppy
        self.nics = list(nics)
        self.nic_model = nic_model
        self.macs = list(macs)
        self.extra_qemu_args = list(extra_qemu_args)
        self.network_boot = network_boot
        # A machine left to restart by itself, as a real one does: the guest's
        # restart goes through the firmware again instead of ending QEMU.
        self.restarts = restarts
        if network_boot and (initramfs is not None or not self.nics):
            raise ValueError("a network boot needs a network card and no initramfs")

    def kernel_command_line(self):
        if self.kernel_console == "serial":
            arguments = ["console=ttyS0"]
        else:
            # The last console named is /dev/console: the screen.
            arguments = ["console=ttyS1", "console=tty0"]
        if self.quiet:
            arguments.append("quiet")
        # nokaslr: the decompressor's complaints about KASLR stay off the screen.
        arguments += ["panic=-1", "nokaslr"]
        if self.init is not None:
            arguments.append(f"rdinit={self.init}")
        arguments += self.kernel_args
        if self.init_args:
            arguments += ["--"] + self.init_args
        return " ".join(arguments)

    def qemu_arguments(self, workdir, display, serial, control):
        """QEMU's argv. `serial` and `control` are the options that connect
        the first serial line and the control socket; files (the initramfs
        when it is an Initramfs, the kernel log) go into `workdir`."""
        command = [
            locations.qemu_binary(), "-nodefaults", "-no-user-config",
            "-machine", "pc", "-m", str(self.memory_mb),
            "-display", display, "-vga", "std",
        ] + ([] if self.restarts else ["-no-reboot"]) + self._boot_arguments(workdir) + serial + control
        if self.kernel_console == "screen":
            # The second serial line: ttyS1, the kernel's message console.
            command += ["-chardev", f"file,id=kernellog,path={workdir}/kernel.log",
                        "-serial", "chardev:kernellog"]
        command += self._drive_arguments()
        for index, netdev in enumerate(self.nics):
            command += ["-netdev", f"{netdev},id=net{index}",
                        "-device", f"{self.nic_model},netdev=net{index},mac={self.mac(index)}"]
        return command + self.extra_qemu_args

    def mac(self, index):
        """The hardware address of card `index`."""
        if index < len(self.macs):
            return self.macs[index]
        return f"52:54:00:12:34:{0x56 + index:02x}"

    def firmware_boot(self):
        return self.initramfs is None

    def _boot_arguments(self, workdir):
        if self.firmware_boot():
            return ["-boot", "n" if self.network_boot else "d" if self.cdrom else "c"]
        initramfs = self.initramfs
        if isinstance(initramfs, Initramfs):
            initramfs = initramfs.write(f"{workdir}/initramfs.cpio")
        kernel = self.kernel or locations.kernel_path()
        return ["-kernel", kernel, "-initrd", initramfs, "-append", self.kernel_command_line()]

    def _disk_slots(self):
        return [slot for slot in range(_IDE_SLOTS) if not (self.cdrom and slot == _CDROM_SLOT)]

    def disk_id(self, index):
        """QEMU's name of disk `index` (its IDE bus and unit)."""
        slot = self._disk_slots()[index]
        return f"ide{slot // 2}-hd{slot % 2}"

    def _drive_arguments(self):
        free = self._disk_slots()
        if len(self.disks) > len(free):
            raise ValueError(f"at most {len(free)} IDE disks fit beside the CD drive")
        arguments = []
        for slot, image in zip(free, self.disks):
            arguments += ["-drive", f"file={image},format=raw,if=ide,index={slot},media=disk"]
        if self.cdrom:
            arguments += ["-drive", f"file={self.cdrom},format=raw,if=ide,"
                                    f"index={_CDROM_SLOT},media=cdrom,readonly=on"]
        if self.floppy:
            arguments += ["-drive", f"file={self.floppy},format=raw,if=floppy,index=0"]
        return arguments
