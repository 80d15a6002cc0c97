#include "hardware/drive_info.h"

#include "common/bounded_text.h"

namespace {
constexpr uint64_t k40MiB = 41943040;
constexpr uint32_t kMaxSingleLayoutCylinders = 1023;
}  // namespace

bool DriveInfo::setDevice(const char* path) { return copyField(device, kDeviceSize, path); }

void DriveInfo::setGeometry(uint32_t cylinderCount, uint32_t bytesPerCylinder) {
  cylinders = cylinderCount;
  cylinderBytes = bytesPerCylinder;
  over1024Cylinders = cylinders > kMaxSingleLayoutCylinders;
  over40MiB = static_cast<uint64_t>(cylinders) * cylinderBytes > k40MiB;
}
