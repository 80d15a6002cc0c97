#pragma once
// The installation protocol's datagram, shared by the installer (the client)
// and the installation server. One message is one UDP datagram to the limited
// broadcast address, port 5000 on both sides:
//
//   offset  size  field
//        0     6  source           hardware address of the sender
//        6     6  target           hardware address of the receiver (zero: nobody)
//       12     2  reserved         0 when sent, ignored when received
//       14     2  payloadLength    number of payload bytes
//       16     2  sequence         the sender's message number
//       18     2  acknowledgement  the last sequence the sender accepted
//       20     n  payload          text lines ("\n") or raw file data
//
// Numbers are little-endian on the wire whatever the host's byte order; the
// accessors below are the only code that knows the offsets.

#include <cstddef>
#include <cstdint>

constexpr uint16_t kProtocolPort = 5000;
constexpr size_t kMessageSize = 4096;  // the whole receive buffer
constexpr size_t kHeaderSize = 20;
constexpr size_t kMaxPayload = kMessageSize - kHeaderSize;  // 4076
constexpr size_t kMacSize = 6;
constexpr size_t kTagSize = 4;

// Message types, in the order of the tag table.
enum class MessageType {
  discover,          // "DSCV" client broadcast: looks for a server
  offer,             // "OFFR" server: offers to install this client
  acceptOffer,       // "YACK" client: takes the offer
  declineOffer,      // "NACK" client: declines (this installer never does)
  start,             // "STRT" client: the disk is ready
  terminate,         // "TERM" server: ends the closing wait
  awaitTermination,  // "WTRM" client: installation complete
  file,              // "FILE" server: header of the next file
  retrieve,          // "RETR" client: next header or next data block
  drivers,           // "DRVR" client broadcast: driver package wanted
  driverOffer,       // "OFDR" server: answers "DRVR"
  // The installed system's first start, told the server that installed it;
  // no installer sends or takes these.
  upReport,          // "UPRP" installed system broadcast: started, with its token
  upConfirmed,       // "UPOK" server: the report was taken
};
constexpr int kMessageTypeCount = 13;

// The script file that carries an installation's token (made by the server
// for that installation alone, so no release list made beforehand can name
// it): the installer writes it into the new system, whose first start
// reports the token ("UPRP"). An installer takes it unlisted up to this size.
constexpr const char* kUpTokenFileName = "up-token.scr";
constexpr size_t kLongestUpTokenFile = 256;

// The four-letter tag of `type` (not terminated inside the payload).
const char* messageTag(MessageType type);

// Sequence numbers travel in 16 bits and count on modulo 65536: after 65535
// comes 0. Both sides use this, so a link never runs out of numbers.
inline uint16_t nextSequence(uint32_t sequence) {
  return static_cast<uint16_t>((sequence + 1) & 0xFFFF);
}

bool isZeroMac(const uint8_t* mac);

// One datagram in its receive buffer. Plain bytes: copying a message copies
// the datagram.
struct NetMessage {
  uint8_t bytes[kMessageSize];

  // Zeroes the whole buffer; every message is built on a cleared one.
  void clear();

  const uint8_t* source() const { return bytes; }
  const uint8_t* target() const { return bytes + kMacSize; }
  void setSource(const uint8_t* mac);
  void setTarget(const uint8_t* mac);

  uint16_t payloadLength() const { return readU16(14); }
  uint16_t sequence() const { return readU16(16); }
  uint16_t acknowledgement() const { return readU16(18); }
  void setPayloadLength(uint16_t value) { writeU16(14, value); }
  void setSequence(uint16_t value) { writeU16(16, value); }
  void setAcknowledgement(uint16_t value) { writeU16(18, value); }

  uint8_t* payload() { return bytes + kHeaderSize; }
  const uint8_t* payload() const { return bytes + kHeaderSize; }
  const char* payloadText() const { return reinterpret_cast<const char*>(bytes + kHeaderSize); }

  // Header plus payload: the number of bytes that go on the wire.
  size_t datagramLength() const { return kHeaderSize + payloadLength(); }

  // True when the payload holds at least the four bytes of `tag` and begins
  // with them. A shorter payload never matches, whatever stale bytes a reused
  // buffer holds behind it.
  bool payloadBeginsWith(const char* tag) const;

  // Writes `text` as the payload, with its terminating zero counted in the
  // length when `withTerminator` is set. Returns false (and writes nothing)
  // when it does not fit.
  [[nodiscard]] bool setPayloadText(const char* text, bool withTerminator);
  // Writes `length` raw bytes as the payload; false when they do not fit.
  [[nodiscard]] bool setPayloadBytes(const void* data, size_t length);

 private:
  uint16_t readU16(size_t offset) const {
    return static_cast<uint16_t>(bytes[offset] | (bytes[offset + 1] << 8));
  }
  void writeU16(size_t offset, uint16_t value) {
    bytes[offset] = static_cast<uint8_t>(value & 0xFF);
    bytes[offset + 1] = static_cast<uint8_t>(value >> 8);
  }
};
