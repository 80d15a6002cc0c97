// Benchmark of the configuration snapshot: captures a tree into memory and
// writes it back, against `tar -c | tar -x` of the same tree in the same run.
// Prints the time ratios (snapshot / tar: below 1 is faster) and the
// snapshot's memory overhead over the raw content.
//
//   snapshot_bench [--files N] [--mib M] [--rounds R]
//
// Defaults: 20000 files, 300 MiB, 3 rounds. It mounts, so it runs in the test
// sandbox: `make bench-snapshot` builds it optimised, without sanitizers, and
// runs it there.
//
// As in the installer, the tree is read from an ext3 file system and written
// into a freshly made one (a reused file system would measure its inode
// allocator's search past recently deleted inodes instead). Each round runs
// tar and the snapshot once each, after one unmeasured round of both; the
// medians are compared.
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "disk/snapshot.h"

namespace {

struct Options {
  int files = 20000;
  uint64_t mebibytes = 300;
  int rounds = 3;
};

double seconds(const std::chrono::steady_clock::time_point& since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

void must(bool ok, const char* what) {
  if (!ok) {
    perror(what);
    exit(1);
  }
}

void sh(const std::string& command) {
  int status = system(command.c_str());
  if (status != 0) {
    fprintf(stderr, "failed (%d): %s\n", status, command.c_str());
    exit(1);
  }
}

// A tree of `files` files of varied sizes (log-uniform up to 1 MiB, scaled
// to `bytes` in all, some empty) in nested directories, with varied modes.
uint64_t buildTree(const std::string& top, int files, uint64_t bytes) {
  std::mt19937_64 random(42);
  std::vector<double> weights(files);
  double sum = 0;
  for (double& w : weights) {
    w = (random() % 20 == 0) ? 0 : std::exp2(static_cast<double>(random() % 2000) / 100.0);
    sum += w;
  }
  std::vector<std::string> directories{top};
  must(mkdir(top.c_str(), 0755) == 0, top.c_str());
  for (int i = 0; i < files / 40 + 1; ++i) {
    std::string dir = directories[random() % directories.size()] + "/d" + std::to_string(i);
    must(mkdir(dir.c_str(), 0755) == 0, dir.c_str());
    directories.push_back(dir);
  }
  std::string block(1 << 20, '\0');
  for (char& c : block) c = static_cast<char>(random());
  uint64_t total = 0;
  for (int i = 0; i < files; ++i) {
    uint64_t size = static_cast<uint64_t>(weights[i] / sum * static_cast<double>(bytes));
    std::string path = directories[random() % directories.size()] + "/f" + std::to_string(i);
    FILE* file = fopen(path.c_str(), "w");
    must(file != nullptr, path.c_str());
    for (uint64_t left = size; left > 0;) {
      size_t piece = static_cast<size_t>(std::min<uint64_t>(left, block.size() - (i % 4096)));
      must(fwrite(block.data() + (i % 4096), 1, piece, file) == piece, "write");
      left -= piece;
    }
    fclose(file);
    chmod(path.c_str(), (i % 7 == 0) ? 04755 : (i % 5 == 0) ? 0600 : 0644);
    total += size;
  }
  return total;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// File systems on loop devices (mount -o loop detaches them at unmount).
struct Volumes {
  std::string scratch;
  uint64_t bytes;

  std::string image(const std::string& name) const { return scratch + "/" + name + ".img"; }
  void make(const std::string& name) const {
    sh("truncate -s " + std::to_string(bytes) + " '" + image(name) + "' && mke2fs -q -F -j '" +
       image(name) + "'");
  }
  void mount(const std::string& name, const std::string& at) const {
    sh("mkdir -p '" + at + "' && mount -o loop -t ext3 '" + image(name) + "' '" + at + "'");
  }
  void unmount(const std::string& at) const { sh("umount '" + at + "'"); }
  void remove(const std::string& name) const { sh("rm -f '" + image(name) + "'"); }
};

struct SnapshotRun {
  double capture;
  double restore;
  uint64_t allocated;  // heap bytes of the chain, as the allocator counts them
  uint64_t chunks;
};

// The installer's road: capture from the old file system on the mount
// point, a new file system on the same mount point, restore.
SnapshotRun snapshotRound(const Volumes& volumes, const std::string& mountPoint) {
  SnapshotRun run{};
  std::string store = mountPoint + "/store";
  volumes.mount("source", mountPoint);
  auto start = std::chrono::steady_clock::now();
  SnapshotChunk* head = captureTree(store.c_str());
  run.capture = seconds(start);
  must(head != nullptr, "captureTree");
  for (SnapshotChunk* c = head; c != nullptr; c = c->next) {
    // malloc_usable_size plus the allocator's own word per block.
    run.allocated += malloc_usable_size(c) + sizeof(size_t);
    ++run.chunks;
  }
  volumes.unmount(mountPoint);
  volumes.make("fresh");
  volumes.mount("fresh", mountPoint);
  start = std::chrono::steady_clock::now();
  must(restoreTree(head), "restoreTree");
  sync();  // the written tree reaches the disk: part of the cost
  run.restore = seconds(start);
  volumes.unmount(mountPoint);
  volumes.remove("fresh");
  return run;
}

double tarRound(const Volumes& volumes, const std::string& mountPoint, const std::string& target) {
  volumes.mount("source", mountPoint);
  volumes.make("fresh");
  volumes.mount("fresh", target);
  auto start = std::chrono::steady_clock::now();
  sh("tar -C '" + mountPoint + "' -cf - store | tar -C '" + target + "' -xpf -");
  sync();
  double elapsed = seconds(start);
  volumes.unmount(target);
  volumes.unmount(mountPoint);
  volumes.remove("fresh");
  return elapsed;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string flag = argv[i];
    if (flag == "--files") options.files = atoi(argv[i + 1]);
    else if (flag == "--mib") options.mebibytes = strtoull(argv[i + 1], nullptr, 10);
    else if (flag == "--rounds") options.rounds = atoi(argv[i + 1]);
  }
  const char* scratch = getenv("KORVANEL_SCRATCH");
  if (scratch == nullptr) {
    fprintf(stderr, "snapshot_bench mounts: run it in tests/sandbox/sandbox (make bench-snapshot)\n");
    return 2;
  }
  // Room for the tree twice over and the file system's own needs.
  Volumes volumes{scratch, (options.mebibytes << 21) + (256ull << 20)};
  std::string mountPoint = std::string(scratch) + "/mounted";
  std::string target = std::string(scratch) + "/target";

  volumes.make("source");
  volumes.mount("source", mountPoint);
  uint64_t content = buildTree(mountPoint + "/store", options.files, options.mebibytes << 20);
  volumes.unmount(mountPoint);
  printf("tree: %d files, %.1f MiB of content, ext3 to a new ext3 on loop devices\n",
         options.files, static_cast<double>(content) / (1 << 20));

  std::vector<double> tar, capture, restore;
  SnapshotRun last{};
  for (int round = 0; round <= options.rounds; ++round) {
    double t = tarRound(volumes, mountPoint, target);
    SnapshotRun s = snapshotRound(volumes, mountPoint);
    if (round == 0) continue;  // warms the caches for both
    tar.push_back(t);
    capture.push_back(s.capture);
    restore.push_back(s.restore);
    last = s;
  }
  double snapshot = median(capture) + median(restore);
  printf("tar -c | tar -x:   %.3f s (baseline)\n", median(tar));
  printf("snapshot capture:  %.3f s\n", median(capture));
  printf("snapshot restore:  %.3f s\n", median(restore));
  printf("snapshot / tar:    %.3f (capture + restore; below 1 is faster)\n", snapshot / median(tar));
  printf("memory: %llu bytes in %llu chunks for %llu bytes of content: overhead %.3f%%\n",
         static_cast<unsigned long long>(last.allocated), static_cast<unsigned long long>(last.chunks),
         static_cast<unsigned long long>(content),
         100.0 * (static_cast<double>(last.allocated) - static_cast<double>(content)) /
             static_cast<double>(content));
  volumes.remove("source");
  return 0;
}
