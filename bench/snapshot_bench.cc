// Benchmark of the configuration snapshot: captures a tree into memory and
// writes it back, against `tar -c | tar -x` of the same tree in the same run.
// Prints the time ratios (snapshot / tar: below 1 is faster) and the
// snapshot's memory overhead over the raw content.
//
//   snapshot_bench [--files N] [--mib M] [--rounds R] [--dir DIR]
//
// Defaults: 20000 files, 300 MiB, 3 rounds, a scratch directory under /tmp.
// `make bench-snapshot` builds it optimised, without sanitizers, and runs it.
// Both sides work on the same file system from a warm page cache: every
// round runs tar and the snapshot once each, alternating, after one unmeasured
// round of both; the medians are compared.
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
  std::string parent = "/tmp";
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

struct SnapshotRun {
  double capture;
  double restore;
  uint64_t allocated;  // heap bytes of the chain, as the allocator counts them
  uint64_t chunks;
};

SnapshotRun snapshotRound(const std::string& source, const std::string& moved) {
  SnapshotRun run{};
  auto start = std::chrono::steady_clock::now();
  SnapshotChunk* head = captureTree(source.c_str());
  run.capture = seconds(start);
  must(head != nullptr, "captureTree");
  for (SnapshotChunk* c = head; c != nullptr; c = c->next) {
    // malloc_usable_size plus the allocator's own word per block.
    run.allocated += malloc_usable_size(c) + sizeof(size_t);
    ++run.chunks;
  }
  must(rename(source.c_str(), moved.c_str()) == 0, "rename");
  start = std::chrono::steady_clock::now();
  must(restoreTree(head), "restoreTree");
  run.restore = seconds(start);
  sh("rm -rf '" + source + "'");
  must(rename(moved.c_str(), source.c_str()) == 0, "rename back");
  return run;
}

double tarRound(const std::string& parent, const std::string& name, const std::string& target) {
  sh("mkdir '" + target + "'");
  auto start = std::chrono::steady_clock::now();
  sh("tar -C '" + parent + "' -cf - '" + name + "' | tar -C '" + target + "' -xpf -");
  double elapsed = seconds(start);
  sh("rm -rf '" + target + "'");
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
    else if (flag == "--dir") options.parent = argv[i + 1];
  }
  std::string pattern = options.parent + "/snapshot-bench.XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  must(mkdtemp(buffer.data()) != nullptr, "mkdtemp");
  std::string scratch = buffer.data();
  std::string source = scratch + "/store";

  uint64_t content = buildTree(source, options.files, options.mebibytes << 20);
  printf("tree: %d files, %.1f MiB of content, in %s\n", options.files,
         static_cast<double>(content) / (1 << 20), scratch.c_str());

  std::vector<double> tar, capture, restore;
  SnapshotRun last{};
  for (int round = 0; round <= options.rounds; ++round) {
    double t = tarRound(scratch, "store", scratch + "/tar-copy");
    SnapshotRun s = snapshotRound(source, scratch + "/moved");
    if (round == 0) continue;  // warms the page cache for both
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
  sh("rm -rf '" + scratch + "'");
  return 0;
}
