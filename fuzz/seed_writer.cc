// fuzz_seeds: writes the seeds of the fuzz targets whose inputs this code
// itself composes: the datagrams of whole exchanges between the real server
// and a client that numbers and accepts messages as the installer does, the
// installer's input for the partitioning tool, and the operations of a
// small snapshot. fuzz/make_corpus.py calls it; the other seeds come from
// the real tools.

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "disk/partitioning.h"
#include "disk/snapshot.h"
#include "netinstall/discovery_payload.h"
#include "netinstall/file_header.h"
#include "netinstall/link_state.h"
#include "netinstall/udp_frames.h"
#include "server/protocol/server_protocol.h"
#include "server_root.h"
#include "text_container.h"

namespace {

const cli::Program kProgram = {"fuzz_seeds",
                               "usage: fuzz_seeds DIR\n"
                               "Writes the composed seeds of the fuzz targets into DIR/TARGET/.\n"};
const uint8_t kServer[kMacSize] = {0x02, 0x5E, 0, 0, 0, 0x01};
const uint8_t kClient[kMacSize] = {0x52, 0x54, 0x00, 0x12, 0x34, 0x56};

void appendRecord(std::string& out, const void* bytes, size_t length) {
  out += static_cast<char>(length & 0xFF);
  out += static_cast<char>(length >> 8);
  out.append(static_cast<const char*>(bytes), length);
}

bool writeSeed(const std::string& dir, const std::string& target, const std::string& name,
               const std::string& bytes) {
  std::string folder = dir + "/" + target;
  mkdir(folder.c_str(), 0755);
  std::ofstream out(folder + "/" + name, std::ios::binary);
  out << bytes;
  return static_cast<bool>(out);
}

// One installer talking to the server, both sides recorded in the layouts
// of the two targets.
class Exchange {
 public:
  explicit Exchange(ServerProtocol& server) : server_(server) {
    link_.clear();
    memcpy(link_.ownAddress, kClient, kMacSize);
    requests += '\0';  // the server's setting: no "keep", whole blocks
  }

  // Sends `message` (stamped as a broadcast or as the next request) and
  // takes the reply; false when the server gave none the client accepts.
  bool send(NetMessage& message, bool broadcast) {
    if (broadcast) {
      link_.resetCounters();
      memset(link_.peerAddress, 0, kMacSize);
    }
    link_.stamp(message, message.payloadLength());
    if (broadcast) link_.resetCounters();
    requests += '\1';  // a second passes
    appendRecord(requests, message.bytes, message.datagramLength());
    size_t length = server_.handle(message, message.datagramLength(), reply, ++now_);
    if (length == 0) return false;
    appendRecord(replies, reply.bytes, length);
    if (!link_.accept(reply, static_cast<long>(length))) return false;
    if (broadcast) memcpy(link_.peerAddress, reply.source(), kMacSize);
    return true;
  }

  bool request(const char* tag) {
    NetMessage message;
    message.clear();
    return message.setPayloadText(tag, false) && send(message, false);
  }

  // Every file the server sends, header and blocks, until its end.
  bool receiveFiles(bool onlyOne) {
    for (;;) {
      if (!request("RETR")) return false;
      char name[kFileNameSize];
      int mark;
      if (parseFileHeader(reply.payloadText(), reply.payloadLength(), name, mark) !=
          FileHeader::file) {
        return true;
      }
      do {
        if (!request("RETR")) return false;
      } while (reply.payloadLength() > 0);
      if (onlyOne) return true;
    }
  }

  std::string requests, replies;
  NetMessage reply;

 private:
  ServerProtocol& server_;
  LinkState link_;
  int64_t now_ = 0;
};

bool writeExchanges(const std::string& dir) {
  std::string root = makeServerRoot();
  auto quiet = [](const uint8_t*, const ServerEvent&) {};
  bool ok;
  {
    ServerProtocol server(kServer, LinkConfig{root, false, kMaxPayload}, quiet);
    Exchange install(server);
    NetMessage discovery;
    composeDiscovery(discovery, "", "", "korvanel");
    ok = install.send(discovery, true) && install.request("YACK") && install.request("STRT") &&
         install.receiveFiles(false) && install.request("WTRM") &&
         writeSeed(dir, "server_requests", "install", install.requests) &&
         writeSeed(dir, "client_datagrams", "install", install.replies);
  }
  if (ok) {
    ServerProtocol server(kServer, LinkConfig{root, false, kMaxPayload}, quiet);
    Exchange drivers(server);
    NetMessage request;
    composeDriverRequest(request, kDriverRelease);
    ok = drivers.send(request, true) && drivers.receiveFiles(true) &&
         writeSeed(dir, "server_requests", "drivers", drivers.requests);
  }
  removeServerRoot(root);
  return ok;
}

// The geometry the target reads first (heads, sectors per track, 8 bytes
// of disk size in sectors), then the installer's lines.
bool writeTableInput(const std::string& dir, const std::string& name, uint32_t cylinders,
                     int oldSlots) {
  DriveInfo drive;
  drive.setGeometry(cylinders, 255 * 63 * 512);
  std::string seed = {static_cast<char>(255), 63};
  uint64_t sectors = uint64_t{cylinders} * 255 * 63;
  for (int i = 0; i < 8; ++i) seed += static_cast<char>(sectors >> (8 * i));
  return writeSeed(dir, "sfdisk_input", name, seed + partitionTableInput(drive, oldSlots));
}

// What a capture appends for a directory and a file in it.
bool writeSnapshotOperations(const std::string& dir) {
  std::string seed;
  auto operation = [&seed](uint8_t kind, const std::string& bytes) {
    seed += static_cast<char>(kind);
    appendRecord(seed, bytes.data(), bytes.size());
  };
  EntryStatus status{};
  status.mode = 040755;
  status.size = 4096;
  operation(0, "/mnt/tarn/store");
  operation(1, std::string(reinterpret_cast<const char*>(&status), sizeof status));
  status.mode = 0100600;
  status.size = 11;
  operation(0, "/mnt/tarn/store/hostname");
  operation(1, std::string(reinterpret_cast<const char*>(&status), sizeof status));
  operation(2, "router one\n");
  return writeSeed(dir, "snapshot_stream", "capture", seed);
}

// The text formats as their writers make them: signature texts over the
// fixed body (one signed whole, one for the target to sign, two chunk
// sizes), the fixed key's public file and a package's metadata.
bool writeTextSeeds(const std::string& dir) {
  const std::string& body = fuzz::bodyPackage();
  std::string small = fuzz::unsignedSignatureText(body, 4096);
  std::string large = fuzz::unsignedSignatureText(body, 65536);
  return writeSeed(dir, "signature_text", "signed", '\0' + fuzz::signWithFixedKey(small)) &&
         writeSeed(dir, "signature_text", "to_sign_4096", '\1' + small) &&
         writeSeed(dir, "signature_text", "to_sign_65536", '\1' + large) &&
         // The most chunks a signature may list: one more is refused.
         writeSeed(dir, "signature_text", "largest_count",
                   '\1' + small.substr(0, small.find("length: ")) + "length: 268435456\n") &&
         writeSeed(dir, "key_file", "public",
                   "format: bdl-public-key 1\nkey: " + fuzz::fixedPublicKeyHex() + "\n") &&
         writeSeed(dir, "package_metadata", "whole",
                   "format: 1\nname: pppoe\nversion: 2.1\ndescription: PPP over Ethernet\n"
                   "depends: ppp\ndepends: system\n") &&
         writeSeed(dir, "package_metadata", "name_only", "format: 1\nname: system\n");
}

}  // namespace

// Frames as the server and the installer build them: a request to the
// server, a discovery to everybody, and the first fragment of a whole
// block's reply over a 1500-byte link (the target's MTU byte 40: 1508).
bool writeFrameSeeds(const std::string& dir) {
  UdpRoute route{};
  memcpy(route.sourceMac, kClient, kMacSize);
  memcpy(route.destinationMac, kServer, kMacSize);
  route.destinationIp = 0xFFFFFFFF;
  route.port = kProtocolPort;
  NetMessage request;
  request.clear();
  memcpy(request.bytes, kClient, kMacSize);
  memcpy(request.bytes + kMacSize, kServer, kMacSize);
  if (!request.setPayloadText("RETR", false)) return false;
  NetMessage discovery;
  composeDiscovery(discovery, "", "", "korvanel");
  NetMessage block;
  block.clear();
  for (size_t i = 0; i < kMaxPayload; ++i) block.payload()[i] = static_cast<uint8_t>(i * 7);
  block.setPayloadLength(static_cast<uint16_t>(kMaxPayload));
  std::vector<std::vector<uint8_t>> frames;
  auto seed = [&](const char* name, const NetMessage& message, const uint8_t* to) {
    memcpy(route.destinationMac, to, kMacSize);
    if (buildUdpFrames(route, message.bytes, message.datagramLength(), 1, 1500, frames) == 0) {
      return false;
    }
    std::string bytes = {'\0', '\x28'};
    appendRecord(bytes, frames[0].data(), frames[0].size());
    return writeSeed(dir, "udp_frames", name, bytes);
  };
  const uint8_t everybody[kMacSize] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  return seed("request", request, kServer) && seed("discovery", discovery, everybody) &&
         seed("block_first_fragment", block, kClient);
}

int main(int argc, char** argv) {
  if (cli::answerStandardOption(kProgram, argc, argv)) return 0;
  if (argc != 2 || argv[1][0] == '-') return cli::usageError(kProgram, "one directory, please");
  std::string dir = argv[1];
  bool ok = writeExchanges(dir) && writeTableInput(dir, "single", 12, 4) &&
            writeTableInput(dir, "two_partitions", 1100, 0) &&
            writeTableInput(dir, "old_logical_slots", 300, 9) && writeSnapshotOperations(dir) &&
            writeTextSeeds(dir) && writeFrameSeeds(dir);
  if (!ok) fprintf(stderr, "fuzz_seeds: could not write the seeds into %s\n", dir.c_str());
  return ok ? 0 : 1;
}
