#pragma once
// Ethernet frames of one UDP/IPv4 datagram, built by the sender itself so
// that a message meant for one station (the server's reply to one
// installer, an installer's request to its server) travels as a frame to
// that station's hardware address instead of a broadcast that every station
// on the segment must take in and drop. The IP destination stays the limited
// broadcast address, which is what a station without an IP address of its
// own accepts. Plain code: the sending is frame_socket.h's.

#include <cstddef>
#include <cstdint>
#include <vector>

constexpr size_t kEthernetHeaderSize = 14;
constexpr size_t kIpHeaderSize = 20;
constexpr size_t kUdpHeaderSize = 8;

struct UdpRoute {
  uint8_t sourceMac[6];
  uint8_t destinationMac[6];
  uint32_t sourceIp;       // network byte order; 0 when the interface has none
  uint32_t destinationIp;  // network byte order
  uint16_t port;           // both ports, host byte order
};

// Fills `frames` (reused between calls) with the frames of one datagram
// carrying `length` bytes of `payload`: one frame when it fits `mtu` (the
// interface's IP MTU), else IP fragments whose data parts are multiples of 8
// bytes. The UDP checksum is computed. Returns the number of frames, 0 when
// the datagram cannot be built (too long for IP, or an MTU below 68).
size_t buildUdpFrames(const UdpRoute& route, const uint8_t* payload, size_t length,
                      uint16_t identification, size_t mtu,
                      std::vector<std::vector<uint8_t>>& frames);
