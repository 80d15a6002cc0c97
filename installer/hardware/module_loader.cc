#include "hardware/module_loader.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>

const char* const storageModules[] = {
    "kernel/fs/ext2/ext2.ko",
    "kernel/fs/ext3/ext3.ko",
    "kernel/drivers/ide/ide-core.ko",
    "kernel/drivers/ide/ide-generic.ko",
    "kernel/drivers/ide/ide-disk.ko",
    "kernel/drivers/ide/pci/cmd64x.ko",
    "kernel/drivers/ide/pci/rz1000.ko",
    "kernel/drivers/ide/pci/via82cxxx.ko",
    "kernel/drivers/ide/pci/cs5530.ko",
    "kernel/drivers/ide/pci/piix.ko",
    "kernel/drivers/ide/pci/sc1200.ko",
    "kernel/drivers/ide/pci/ide-pci-generic.ko",
    "kernel/drivers/cdrom/cdrom.ko",
    "kernel/drivers/ide/ide-cd_mod.ko",
    "kernel/drivers/scsi/scsi_mod.ko",
    "kernel/drivers/scsi/scsi_wait_scan.ko",
    "kernel/drivers/scsi/sd_mod.ko",
    "kernel/drivers/ata/libata.ko",
    "kernel/drivers/ata/ahci.ko",
    "kernel/drivers/ata/ata_piix.ko",
    "kernel/drivers/ata/pata_mpiix.ko",
    "kernel/drivers/ata/pata_sis.ko",
    "kernel/drivers/ata/pdc_adma.ko",
    "kernel/drivers/ata/sata_mv.ko",
    "kernel/drivers/ata/sata_nv.ko",
    "kernel/drivers/ata/sata_promise.ko",
    "kernel/drivers/ata/sata_qstor.ko",
    "kernel/drivers/ata/sata_sil24.ko",
    "kernel/drivers/ata/sata_sil.ko",
    "kernel/drivers/ata/sata_sis.ko",
    "kernel/drivers/ata/sata_svw.ko",
    "kernel/drivers/ata/sata_sx4.ko",
    "kernel/drivers/ata/sata_uli.ko",
    "kernel/drivers/ata/sata_via.ko",
    "kernel/drivers/ata/sata_vsc.ko",
    "kernel/drivers/ata/pata_marvell.ko",
    "kernel/drivers/ata/pata_jmicron.ko",
    "kernel/drivers/ata/pata_it821x.ko",
    "kernel/drivers/ata/pata_it8213.ko",
    nullptr,
};

const char* const usbModules[] = {
    "kernel/drivers/usb/core/usbcore.ko",
    "kernel/drivers/usb/host/uhci-hcd.ko",
    "kernel/drivers/usb/host/ohci-hcd.ko",
    "kernel/drivers/usb/host/ehci-hcd.ko",
    "kernel/drivers/hid/usbhid/usbhid.ko",
    "kernel/drivers/usb/storage/usb-storage.ko",
    nullptr,
};

namespace {

constexpr const char* kModuleRoot = "/lib/modules/";
// Far above any driver (the largest are a few MiB), far below what a 32-bit
// installer can map: a file beyond it is no module.
constexpr off_t kMaxModuleSize = 64 << 20;

void loadModule(const char* release, const char* entry) {
  std::string path = modulePath(release, entry);
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    printf("ERROR: could not load module %s: file not found\n", entry);
    return;
  }
  struct stat status;
  void* image = MAP_FAILED;
  if (fstat(fd, &status) == 0 && status.st_size <= kMaxModuleSize) {
    image = mmap(nullptr, static_cast<size_t>(status.st_size), PROT_READ, MAP_SHARED, fd, 0);
  }
  if (image == MAP_FAILED) {  // an empty file cannot be mapped either
    printf("ERROR: could not load module %s\n", entry);
    close(fd);
    return;
  }
  // The kernel's refusal (present already, no hardware, unresolved symbols,
  // not a module) is expected for many entries and deliberately not looked at.
  (void)syscall(SYS_init_module, image, static_cast<unsigned long>(status.st_size), "");
  munmap(image, static_cast<size_t>(status.st_size));
  close(fd);
}

}  // namespace

std::string modulePath(const char* release, const char* entry) {
  return std::string(kModuleRoot) + release + "/" + entry;
}

void loadModules(const char* const* list) {
  struct utsname identity {};
  // uname cannot fail with a valid buffer; an empty release would only make
  // every module "not found".
  (void)uname(&identity);
  for (const char* const* entry = list; *entry != nullptr; ++entry) {
    loadModule(identity.release, *entry);
  }
}
