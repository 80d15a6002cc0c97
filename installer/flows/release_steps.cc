#include "flows/release_steps.h"

#include <sys/mount.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "disk/target_filesystem.h"
#include "flows/package_feed.h"
#include "flows/source_medium.h"
#include "packages/installation_release.h"
#include "packages/release_policy.h"

namespace {

// The whole file at `path` when it holds at most `limit` bytes.
bool readBoundedFile(const std::string& path, size_t limit, std::string* text) {
  FILE* file = fopen(path.c_str(), "re");
  if (file == nullptr) return false;
  text->assign(limit + 1, '\0');
  size_t size = fread(&(*text)[0], 1, text->size(), file);
  bool complete = ferror(file) == 0 && size <= limit;
  fclose(file);
  text->resize(size);
  return complete;
}

bool fail(const std::string& message) {
  printf("\nFATAL ERROR: %s\n", message.c_str());
  return false;
}

}  // namespace

bool takeReleaseFromMedium(const char* medium) {
  if (!releaseListRequired()) return true;
  std::string path = std::string(kSourceMountPoint) + "/" + kReleaseListName;
  std::string text;
  if (!readBoundedFile(path, kMaxReleaseListSize, &text)) {
    return fail(std::string("the ") + medium + " carries no readable release list (" +
                kReleaseListName + "), and the boot medium's package key asks for one");
  }
  if (!adoptReleaseList(text)) return false;
  const ReleaseList* list = adoptedRelease();
  for (const ReleaseFile& file : list->files) {
    struct stat st;
    std::string listed = std::string(kSourceMountPoint) + "/" + file.name;
    if (file.kind == ReleaseFileKind::package && stat(listed.c_str(), &st) != 0) {
      return fail("package " + file.name + " of release " + std::to_string(list->number) +
                  " is not on the " + medium);
    }
  }
  return true;
}

bool checkReleasedFile(const char* name, ReleaseFileKind kind, const void* data, size_t size) {
  ReleasedFileCheck check;
  return check.begin(name, kind) && check.update(data, size) && check.finish();
}

bool checkKeptRelease(const DriveInfo& drive, bool keepConfig) {
  if (!keepConfig || adoptedRelease() == nullptr) return true;
  uint64_t recorded = 0;
  if (mountTarget(drive, kNewSystemRoot, /*withBoot=*/false)) {
    std::string text;
    // A system that records nothing (older, or never released) sets no floor.
    if (readBoundedFile(std::string(kNewSystemRoot) + kRecordedReleasePath, 64, &text) &&
        !parseReleaseNumberText(text, "release", &recorded)) {
      recorded = 0;
    }
    (void)umount(kNewSystemRoot);  // if busy, formatting refuses the mounted disk
  }
  return checkRecordedRelease(recorded);
}

bool recordNewSystemRelease() {
  const ReleaseList* list = adoptedRelease();
  if (list == nullptr) return true;
  std::string path = std::string(kNewSystemRoot) + kRecordedReleasePath;
  std::string text = recordedReleaseText(list->number);
  FILE* file = fopen(path.c_str(), "we");
  bool written = file != nullptr && fwrite(text.data(), text.size(), 1, file) == 1;
  if (file != nullptr && fclose(file) != 0) written = false;
  if (!written) return fail("could not record the release in " + std::string(kRecordedReleasePath));
  return true;
}
