#pragma once
// Ethernet frames of one UDP/IPv4 datagram, built by the sender itself so
// that a message meant for one station (the server's reply to one
// installer, an installer's request to its server) travels as a frame to
// that station's hardware address instead of a broadcast that every station
// on the segment must take in and drop. The IP destination stays the limited
// broadcast address, which is what a station without an IP address of its
// own accepts. The one reader of such frames is here too, for whoever takes
// datagrams in from a packet socket (the server, the crowd simulator). Plain
// code: the sockets are frame_socket.h's and their owners'.

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

// The UDP datagram of one received frame, as parseUdpFrame() found it.
// Pointers into the frame.
struct UdpFrame {
  const uint8_t* sourceMac;       // the frame's Ethernet source
  const uint8_t* destinationMac;
  uint16_t sourcePort;            // host byte order
  uint16_t destinationPort;
  const uint8_t* payload;
  size_t captured;  // payload bytes in the buffer: at most `length`
  size_t length;    // the whole payload's length, by the UDP header
  // The first of a datagram's IP fragments: `length` is the whole
  // datagram's, of which only part came in this frame.
  bool fragmented;
};

enum class FrameParse {
  datagram,   // `datagram` describes it
  notUdp,     // another protocol, or a later fragment (no UDP header)
  malformed,  // IPv4 carrying UDP whose headers and lengths disagree
};

// Reads the UDP/IPv4 datagram in an Ethernet frame of `frameLength` bytes
// (as it was on the wire), of which the first `captured` are at `frame` (a
// receive buffer may have cut it). Checks the IP version, header length and
// header checksum, and that the IP and UDP lengths agree with each other and
// with the frame (which may be padded). The UDP checksum is not checked: a
// sender on the same host or a virtual link leaves it to offloading, so a
// packet socket sees only its partial sum.
FrameParse parseUdpFrame(const uint8_t* frame, size_t captured, size_t frameLength,
                         UdpFrame& datagram);
