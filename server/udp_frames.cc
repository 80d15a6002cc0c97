#include "server/udp_frames.h"

#include <cstring>

namespace {

constexpr size_t kMinimumMtu = 68;
constexpr size_t kLongestDatagram = 65535;
constexpr uint8_t kUdpProtocol = 17;
constexpr uint8_t kTimeToLive = 64;
constexpr uint16_t kMoreFragments = 0x2000;

void put16(uint8_t* at, uint16_t value) {
  at[0] = static_cast<uint8_t>(value >> 8);
  at[1] = static_cast<uint8_t>(value & 0xFF);
}

// The one's-complement sum of `length` bytes, as 16-bit big-endian words.
uint32_t sumWords(const uint8_t* data, size_t length, uint32_t sum) {
  for (size_t i = 0; i + 1 < length; i += 2) sum += static_cast<uint32_t>(data[i] << 8 | data[i + 1]);
  if (length % 2 != 0) sum += static_cast<uint32_t>(data[length - 1] << 8);
  return sum;
}

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

  // The UDP datagram whole, then cut into IP fragments.
  std::vector<uint8_t> datagram(udpLength);
  put16(&datagram[0], route.port);
  put16(&datagram[2], route.port);
  put16(&datagram[4], static_cast<uint16_t>(udpLength));
  memcpy(datagram.data() + kUdpHeaderSize, payload, length);
  uint8_t pseudo[12];
  memcpy(pseudo, &route.sourceIp, 4);
  memcpy(pseudo + 4, &route.destinationIp, 4);
  pseudo[8] = 0;
  pseudo[9] = kUdpProtocol;
  put16(pseudo + 10, static_cast<uint16_t>(udpLength));
  uint16_t checksum = finish(sumWords(datagram.data(), udpLength, sumWords(pseudo, 12, 0)));
  put16(&datagram[6], checksum == 0 ? 0xFFFF : checksum);  // 0 would mean "none"

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
    memcpy(ip + kIpHeaderSize, datagram.data() + offset, part);
  }
  return count;
}
