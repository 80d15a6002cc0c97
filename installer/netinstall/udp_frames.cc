#include "netinstall/udp_frames.h"

#include <cstring>

namespace {

constexpr size_t kMinimumMtu = 68;
constexpr size_t kLongestDatagram = 65535;
constexpr uint8_t kUdpProtocol = 17;
constexpr uint8_t kTimeToLive = 64;
constexpr uint16_t kMoreFragments = 0x2000;
constexpr uint16_t kFragmentOffset = 0x1FFF;
constexpr uint16_t kIpv4Type = 0x0800;

void put16(uint8_t* at, uint16_t value) {
  at[0] = static_cast<uint8_t>(value >> 8);
  at[1] = static_cast<uint8_t>(value & 0xFF);
}

constexpr bool kLittleEndian = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;

// The one's-complement sum of `length` bytes, as 16-bit big-endian words,
// added to `sum` (not folded; finish() folds). A whole block's payload is
// summed with every reply: eight bytes at a time in the machine's own byte
// order, whose sum is the big-endian one with its two bytes swapped
// (RFC 1071), the carries out of 64 bits added back in.
uint32_t sumWords(const uint8_t* data, size_t length, uint32_t sum) {
  uint64_t wide = 0;
  size_t i = 0;
  for (; i + 8 <= length; i += 8) {
    uint64_t chunk;
    memcpy(&chunk, data + i, sizeof chunk);
    wide += chunk;
    wide += wide < chunk ? 1 : 0;
  }
  // Folded to 33 bits first: the last few words then cannot carry out.
  wide = (wide & 0xFFFFFFFF) + (wide >> 32);
  for (; i + 2 <= length; i += 2) {
    uint16_t word;
    memcpy(&word, data + i, sizeof word);
    wide += word;
  }
  if (i < length) wide += kLittleEndian ? data[i] : static_cast<uint64_t>(data[i]) << 8;
  wide = (wide & 0xFFFFFFFF) + (wide >> 32);
  wide = (wide & 0xFFFF) + (wide >> 16);
  wide = (wide & 0xFFFF) + (wide >> 16);
  wide = (wide & 0xFFFF) + (wide >> 16);
  uint32_t folded = static_cast<uint32_t>(wide);
  if (kLittleEndian) folded = (folded >> 8 | folded << 8) & 0xFFFF;
  return sum + folded;
}

uint16_t get16(const uint8_t* at) { return static_cast<uint16_t>(at[0] << 8 | at[1]); }

uint16_t finish(uint32_t sum) {
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum & 0xFFFF);
}

}  // namespace

size_t buildUdpFrames(const UdpRoute& route, const uint8_t* payload, size_t length,
                      uint16_t identification, size_t mtu,
                      std::vector<std::vector<uint8_t>>& frames) {
  size_t udpLength = kUdpHeaderSize + length;
  if (mtu < kMinimumMtu || kIpHeaderSize + udpLength > kLongestDatagram) return 0;

  // The UDP header, and its checksum over the pseudo-header and the payload;
  // the datagram is then cut into IP fragments straight from the payload.
  uint8_t udp[kUdpHeaderSize];
  put16(&udp[0], route.port);
  put16(&udp[2], route.port);
  put16(&udp[4], static_cast<uint16_t>(udpLength));
  put16(&udp[6], 0);
  uint8_t pseudo[12];
  memcpy(pseudo, &route.sourceIp, 4);
  memcpy(pseudo + 4, &route.destinationIp, 4);
  pseudo[8] = 0;
  pseudo[9] = kUdpProtocol;
  put16(pseudo + 10, static_cast<uint16_t>(udpLength));
  uint32_t sum = sumWords(udp, kUdpHeaderSize, sumWords(pseudo, sizeof pseudo, 0));
  uint16_t checksum = finish(sumWords(payload, length, sum));
  put16(&udp[6], checksum == 0 ? 0xFFFF : checksum);  // 0 would mean "none"

  size_t perFragment = udpLength <= mtu - kIpHeaderSize ? udpLength : (mtu - kIpHeaderSize) & ~size_t{7};
  size_t count = (udpLength + perFragment - 1) / perFragment;
  frames.resize(count);
  for (size_t index = 0; index < count; ++index) {
    size_t offset = index * perFragment;
    size_t part = udpLength - offset < perFragment ? udpLength - offset : perFragment;
    std::vector<uint8_t>& frame = frames[index];
    frame.resize(kEthernetHeaderSize + kIpHeaderSize + part);
    uint8_t* ethernet = frame.data();
    memcpy(ethernet, route.destinationMac, 6);
    memcpy(ethernet + 6, route.sourceMac, 6);
    put16(ethernet + 12, 0x0800);
    uint8_t* ip = ethernet + kEthernetHeaderSize;
    memset(ip, 0, kIpHeaderSize);
    ip[0] = 0x45;
    put16(ip + 2, static_cast<uint16_t>(kIpHeaderSize + part));
    put16(ip + 4, identification);
    bool more = index + 1 < count;
    put16(ip + 6, static_cast<uint16_t>((more ? kMoreFragments : 0) | (offset / 8)));
    ip[8] = kTimeToLive;
    ip[9] = kUdpProtocol;
    memcpy(ip + 12, &route.sourceIp, 4);
    memcpy(ip + 16, &route.destinationIp, 4);
    put16(ip + 10, finish(sumWords(ip, kIpHeaderSize, 0)));
    // Bytes [offset, offset + part) of header-then-payload.
    uint8_t* data = ip + kIpHeaderSize;
    size_t fromHeader = offset < kUdpHeaderSize ? kUdpHeaderSize - offset : 0;
    if (fromHeader > part) fromHeader = part;
    if (fromHeader > 0) memcpy(data, udp + offset, fromHeader);
    size_t payloadStart = offset + fromHeader - kUdpHeaderSize;
    if (part > fromHeader) memcpy(data + fromHeader, payload + payloadStart, part - fromHeader);
  }
  return count;
}

FrameParse parseUdpFrame(const uint8_t* frame, size_t captured, size_t frameLength,
                         UdpFrame& datagram) {
  if (captured > frameLength) captured = frameLength;
  if (captured < kEthernetHeaderSize || get16(frame + 12) != kIpv4Type) return FrameParse::notUdp;
  const uint8_t* ip = frame + kEthernetHeaderSize;
  size_t ipCaptured = captured - kEthernetHeaderSize;
  if (ipCaptured < kIpHeaderSize) return FrameParse::malformed;
  if (ip[9] != kUdpProtocol) return FrameParse::notUdp;
  size_t headerLength = (ip[0] & 0x0Fu) * 4u;
  size_t totalLength = get16(ip + 2);
  if ((ip[0] >> 4) != 4 || headerLength < kIpHeaderSize || headerLength > ipCaptured ||
      totalLength < headerLength || kEthernetHeaderSize + totalLength > frameLength ||
      finish(sumWords(ip, headerLength, 0)) != 0) {
    return FrameParse::malformed;
  }
  uint16_t fragment = get16(ip + 6);
  // A later fragment carries no UDP header: nothing says whose it is.
  if ((fragment & kFragmentOffset) != 0) return FrameParse::notUdp;
  bool fragmented = (fragment & kMoreFragments) != 0;
  size_t ipPayload = totalLength - headerLength;
  const uint8_t* udp = ip + headerLength;
  if (ipPayload < kUdpHeaderSize || headerLength + kUdpHeaderSize > ipCaptured) {
    return FrameParse::malformed;
  }
  size_t udpLength = get16(udp + 4);
  // Whole, the UDP length is the IP payload's; a first fragment carries less
  // than the datagram.
  bool agree = fragmented ? udpLength > ipPayload : udpLength == ipPayload;
  if (udpLength < kUdpHeaderSize || !agree) return FrameParse::malformed;
  size_t inFrame = ipPayload - kUdpHeaderSize;
  size_t inBuffer = ipCaptured - headerLength - kUdpHeaderSize;
  datagram.sourceMac = frame + 6;
  datagram.destinationMac = frame;
  datagram.sourcePort = get16(udp);
  datagram.destinationPort = get16(udp + 2);
  datagram.payload = udp + kUdpHeaderSize;
  datagram.captured = inFrame < inBuffer ? inFrame : inBuffer;
  datagram.length = udpLength - kUdpHeaderSize;
  datagram.fragmented = fragmented;
  return FrameParse::datagram;
}
