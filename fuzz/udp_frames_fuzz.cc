// The frames a packet socket takes in from the segment (the server's
// requests, the crowd simulator's replies), whatever any station sends:
// the reader never reaches outside what was captured, and says a datagram
// only where its headers agree. Each input is also a payload to build
// frames of, over a link of a chosen MTU: the reader takes back from the
// first frame the datagram's length, every fragment's data joins into the
// UDP header and the payload, and the UDP checksum is right.
//
// Input: a byte (bytes of the frame lost to a short capture), a byte (the
// link's MTU, 68 + 36 * byte), then records (netinstall fuzz_input.h): the
// frame to read, then payloads to build frames of.

#include <cstring>
#include <vector>

#include "fuzz_check.h"
#include "fuzz_input.h"
#include "netinstall/udp_frames.h"
#include "ones_sum.h"

namespace {

void readFrame(const uint8_t* frame, size_t length, size_t lost) {
  // What the wire carried may be longer than what the buffer took.
  std::vector<uint8_t> copy(frame, frame + length);  // the sanitizer sees its end
  size_t captured = lost < length ? length - lost : 0;
  UdpFrame datagram;
  if (parseUdpFrame(copy.data(), captured, length, datagram) != FrameParse::datagram) return;
  FUZZ_CHECK(datagram.sourceMac == copy.data() + 6 && datagram.destinationMac == copy.data());
  FUZZ_CHECK(datagram.payload >= copy.data() + kEthernetHeaderSize + kIpHeaderSize +
                                     kUdpHeaderSize);
  FUZZ_CHECK(datagram.payload + datagram.captured <= copy.data() + captured);
  FUZZ_CHECK(datagram.captured <= datagram.length);
}

void buildAndReadBack(const uint8_t* payload, size_t length, size_t mtu) {
  UdpRoute route{};
  const uint8_t source[6] = {0x02, 0x5E, 0, 0, 0, 1};
  const uint8_t destination[6] = {0x52, 0x54, 0, 0x12, 0x34, 0x56};
  memcpy(route.sourceMac, source, sizeof source);
  memcpy(route.destinationMac, destination, sizeof destination);
  route.sourceIp = 0x0100370A;  // 10.55.0.1, as it lies in memory
  route.destinationIp = 0xFFFFFFFF;
  route.port = 5000;
  std::vector<std::vector<uint8_t>> frames;
  size_t count = buildUdpFrames(route, payload, length, 0x4B1D, mtu, frames);
  if (count == 0) {
    FUZZ_CHECK(mtu < 68 || 20 + 8 + length > 65535);
    return;
  }
  std::vector<uint8_t> joined;
  for (size_t index = 0; index < count; ++index) {
    const std::vector<uint8_t>& frame = frames[index];
    FUZZ_CHECK(frame.size() <= kEthernetHeaderSize + mtu);
    UdpFrame datagram;
    FrameParse parsed = parseUdpFrame(frame.data(), frame.size(), frame.size(), datagram);
    if (index == 0) {
      FUZZ_CHECK(parsed == FrameParse::datagram);
      FUZZ_CHECK(datagram.length == length && datagram.fragmented == (count > 1));
      FUZZ_CHECK(datagram.sourcePort == 5000 && datagram.destinationPort == 5000);
    } else {
      FUZZ_CHECK(parsed == FrameParse::notUdp);  // a later fragment names no port
    }
    joined.insert(joined.end(), frame.begin() + kEthernetHeaderSize + kIpHeaderSize,
                  frame.end());
  }
  FUZZ_CHECK(joined.size() == kUdpHeaderSize + length);
  FUZZ_CHECK(length == 0 || memcmp(joined.data() + kUdpHeaderSize, payload, length) == 0);
  // The pseudo-header (addresses, protocol, length), then the datagram.
  const uint8_t* ip = frames[0].data() + kEthernetHeaderSize;
  std::vector<uint8_t> summed(ip + 12, ip + 20);
  size_t udpLength = kUdpHeaderSize + length;
  summed.insert(summed.end(), {0, 17, static_cast<uint8_t>(udpLength >> 8),
                               static_cast<uint8_t>(udpLength & 0xFF)});
  summed.insert(summed.end(), joined.begin(), joined.end());
  FUZZ_CHECK(onesSum(summed) == 0xFFFF);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Records records(data, size);
  size_t lost = records.byte();
  size_t mtu = 68 + 36 * size_t{records.byte()};
  const uint8_t* record;
  size_t length;
  if (!records.next(record, length)) return 0;
  readFrame(record, length, lost);
  buildAndReadBack(record, length, mtu);
  while (records.next(record, length)) buildAndReadBack(record, length, mtu);
  return 0;
}
