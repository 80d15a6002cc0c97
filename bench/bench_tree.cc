#include "bench_tree.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>
#include <vector>

namespace {

constexpr uint64_t kMiB = 1024 * 1024;
constexpr int kFilesPerDirectory = 64;

// Kinds of file and their share of the bytes, in percent.
enum class Kind { Text, Random, Zeros, Small };
constexpr struct {
  Kind kind;
  int percent;
} kMix[] = {{Kind::Text, 50}, {Kind::Random, 30}, {Kind::Zeros, 12}, {Kind::Small, 8}};

const char* const kWords[] = {"router", "packet", "interface", "the",     "address", "route",
                              "config", "static", "return",    "int",     "const",   "for",
                              "if",     "while",  "struct",    "network", "device",  "kernel",
                              "=",      "{",      "}",         "(void)",  "0x1f",    "\n"};

class Generator {
 public:
  Generator(const std::string& root, uint32_t seed, TreeStats* stats)
      : root_(root), random_(seed), stats_(stats) {}

  bool writeFile(const std::string& path, uint64_t size, Kind kind) {
    int fd = open((root_ + "/" + path).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return false;
    std::string block;
    uint64_t left = size;
    bool ok = true;
    while (ok && left > 0) {
      size_t n = static_cast<size_t>(std::min<uint64_t>(left, 256 * 1024));
      fill(&block, n, kind);
      ok = write(fd, block.data(), n) == static_cast<ssize_t>(n);
      left -= n;
    }
    ok = close(fd) == 0 && ok;
    stats_->bytes += size;
    stats_->files += 1;
    return ok;
  }

  bool makeDirectory(const std::string& path) {
    stats_->directories += 1;
    return mkdir((root_ + "/" + path).c_str(), 0755) == 0;
  }

  uint64_t between(uint64_t low, uint64_t high) {
    return low + random_() % (high - low + 1);
  }

 private:
  void fill(std::string* block, size_t n, Kind kind) {
    block->clear();
    if (kind == Kind::Zeros) {
      block->assign(n, '\0');
      return;
    }
    if (kind == Kind::Random) {
      block->resize(n);
      for (size_t i = 0; i + 4 <= n; i += 4) {
        uint32_t r = static_cast<uint32_t>(random_());
        (*block)[i] = static_cast<char>(r);
        (*block)[i + 1] = static_cast<char>(r >> 8);
        (*block)[i + 2] = static_cast<char>(r >> 16);
        (*block)[i + 3] = static_cast<char>(r >> 24);
      }
      return;
    }
    while (block->size() < n) {
      block->append(kWords[random_() % std::size(kWords)]);
      block->push_back(' ');
    }
    block->resize(n);
  }

  std::string root_;
  std::mt19937 random_;
  TreeStats* stats_;
};

}  // namespace

bool makeMixedTree(const std::string& directory, uint64_t targetBytes, uint32_t seed,
                   TreeStats* stats) {
  Generator gen(directory, seed, stats);
  int fileNumber = 0;
  for (const auto& share : kMix) {
    uint64_t budget = targetBytes * static_cast<uint64_t>(share.percent) / 100;
    std::string dir = "d" + std::to_string(static_cast<int>(share.kind));
    if (!gen.makeDirectory(dir)) return false;
    int subdir = -1;
    int inSubdir = 0;
    uint64_t made = 0;
    while (made < budget) {
      if (subdir < 0 || ++inSubdir == kFilesPerDirectory) {
        ++subdir;
        inSubdir = 0;
        if (!gen.makeDirectory(dir + "/s" + std::to_string(subdir))) return false;
      }
      uint64_t size = 0;
      switch (share.kind) {
        case Kind::Text: size = gen.between(1024, 256 * 1024); break;
        case Kind::Random: size = gen.between(kMiB, 8 * kMiB); break;
        case Kind::Zeros: size = gen.between(64 * 1024, 4 * kMiB); break;
        case Kind::Small: size = gen.between(100, 4096); break;
      }
      size = std::min(size, budget - made);
      std::string path = dir + "/s" + std::to_string(subdir) + "/f" + std::to_string(fileNumber++);
      if (!gen.writeFile(path, size, share.kind)) return false;
      if (fileNumber % 50 == 0) {
        stats->links += 1;
        if (symlink(("f" + std::to_string(fileNumber - 1)).c_str(),
                    (directory + "/" + path + ".link").c_str()) != 0) {
          return false;
        }
      }
      made += size;
    }
  }
  return true;
}
