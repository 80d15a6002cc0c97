// The configuration snapshot's stream with whatever the old system holds:
// paths of any length (over a chunk too), status records and file contents
// of any size, files that shrank or grew since their size was taken. What
// the capture wrote must read back exactly, piece by piece, and a file whose
// size changed must fail the capture.

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "disk/snapshot_stream.h"
#include "fuzz_check.h"
#include "fuzz_input.h"

namespace {

enum class Kind { string, bytes, content };

struct Written {
  Kind kind;
  std::string bytes;
};

int file = -1;  // stands in for a file of the old system

// Makes `file` hold `content`, read from its start.
void fill(const std::string& content) {
  FUZZ_CHECK(ftruncate(file, 0) == 0);
  ssize_t written = pwrite(file, content.data(), content.size(), 0);
  FUZZ_CHECK(written == static_cast<ssize_t>(content.size()));
  FUZZ_CHECK(lseek(file, 0, SEEK_SET) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  file = memfd_create("snapshot-fuzz", MFD_CLOEXEC);
  FUZZ_CHECK(file >= 0);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Records records(data, size);
  SnapshotWriter writer;
  FUZZ_CHECK(writer.start());
  std::vector<Written> written;
  for (;;) {
    uint8_t operation = records.byte();
    const uint8_t* record;
    size_t length;
    if (!records.next(record, length)) break;
    // The upper bits repeat the record, so that small inputs reach past a
    // chunk's 16000 bytes.
    size_t repeat = 1 + (operation >> 2);
    std::string bytes;
    for (size_t i = 0; i < repeat; ++i) bytes.append(reinterpret_cast<const char*>(record), length);
    switch (operation & 3) {
      case 0: {
        std::string text = bytes.substr(0, bytes.find('\0'));
        FUZZ_CHECK(writer.appendString(text.c_str()));
        written.push_back({Kind::string, text});
        break;
      }
      case 1:
        FUZZ_CHECK(writer.appendBytes(bytes.data(), bytes.size()));
        written.push_back({Kind::bytes, bytes});
        break;
      default: {
        // A size taken before the file changed: off by the record's first
        // byte, either way, or right.
        uint64_t claimed = bytes.size();
        if ((operation & 3) == 3 && length > 0) {
          claimed = record[0] & 1 ? claimed + (record[0] >> 1) + 1
                                  : claimed - (claimed < record[0] ? claimed : record[0]);
        }
        fill(bytes);
        bool captured = writer.appendContent(file, claimed);
        FUZZ_CHECK(captured == (claimed == bytes.size()));
        if (!captured) return 0;  // the capture fails whole; the writer frees the chain
        written.push_back({Kind::content, bytes});
        break;
      }
    }
  }
  SnapshotChunk* head = writer.finish();
  SnapshotReader reader(head);
  for (const Written& entry : written) {
    if (entry.kind == Kind::string) {
      const char* text = reader.readString();
      FUZZ_CHECK(text != nullptr && entry.bytes == text);
    } else if (entry.kind == Kind::bytes) {
      std::string back(entry.bytes.size(), '\0');
      FUZZ_CHECK(reader.readBytes(&back[0], back.size()));
      FUZZ_CHECK(back == entry.bytes);
    } else {
      // As the restore reads a file: piece by piece, each within one chunk.
      std::string back;
      while (back.size() < entry.bytes.size()) {
        const uint8_t* piece;
        size_t got = reader.nextPiece(entry.bytes.size() - back.size(), piece);
        FUZZ_CHECK(got > 0);
        back.append(reinterpret_cast<const char*>(piece), got);
      }
      FUZZ_CHECK(back == entry.bytes);
    }
  }
  FUZZ_CHECK(reader.atEnd());
  freeSnapshot(head);
  return 0;
}
