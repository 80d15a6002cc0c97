#include "netinstall/udp_frames.h"

#include <arpa/inet.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ones_sum.h"

namespace {

UdpRoute route() {
  UdpRoute r{};
  const uint8_t source[6] = {0x02, 0x5E, 0, 0, 0, 1};
  const uint8_t destination[6] = {0x02, 0xC1, 0, 0, 0, 2};
  memcpy(r.sourceMac, source, 6);
  memcpy(r.destinationMac, destination, 6);
  r.sourceIp = htonl(0x0A370001);  // 10.55.0.1
  r.destinationIp = htonl(INADDR_BROADCAST);
  r.port = 5000;
  return r;
}

uint16_t get16(const std::vector<uint8_t>& frame, size_t at) {
  return static_cast<uint16_t>(frame[at] << 8 | frame[at + 1]);
}

TEST(UdpFramesTest, SmallDatagramIsOneFrameWithValidChecksums) {
  std::vector<std::vector<uint8_t>> frames;
  std::string payload = "OFFR\nhello\n";
  ASSERT_EQ(buildUdpFrames(route(), reinterpret_cast<const uint8_t*>(payload.data()),
                           payload.size(), 0x1234, 1500, frames),
            1u);
  const std::vector<uint8_t>& frame = frames[0];
  ASSERT_EQ(frame.size(), 14u + 20 + 8 + payload.size());
  EXPECT_EQ(frame[0], 0x02);
  EXPECT_EQ(frame[5], 0x02) << "to the installer's own address, not ff:ff:...";
  EXPECT_EQ(get16(frame, 12), 0x0800);
  std::vector<uint8_t> ip(frame.begin() + 14, frame.begin() + 34);
  EXPECT_EQ(ip[0], 0x45);
  EXPECT_EQ(get16(frame, 16), 20 + 8 + payload.size());
  EXPECT_EQ(get16(frame, 18), 0x1234);
  EXPECT_EQ(get16(frame, 20), 0) << "not a fragment";
  EXPECT_EQ(ip[9], 17);
  EXPECT_EQ(onesSum(ip), 0xFFFF);
  EXPECT_EQ(std::vector<uint8_t>(ip.begin() + 16, ip.end()),
            (std::vector<uint8_t>{255, 255, 255, 255}));
  // UDP: ports, length, and the checksum over the pseudo-header.
  EXPECT_EQ(get16(frame, 34), 5000);
  EXPECT_EQ(get16(frame, 36), 5000);
  EXPECT_EQ(get16(frame, 38), 8 + payload.size());
  std::vector<uint8_t> pseudo(ip.begin() + 12, ip.begin() + 20);
  pseudo.insert(pseudo.end(), {0, 17, 0, static_cast<uint8_t>(8 + payload.size())});
  pseudo.insert(pseudo.end(), frame.begin() + 34, frame.end());
  EXPECT_EQ(onesSum(pseudo), 0xFFFF);
  EXPECT_EQ(std::string(frame.begin() + 42, frame.end()), payload);
}

// The UDP checksum, summed eight bytes at a time, for every length's tail
// and for payloads whose sum carries out of any width: the independent sum
// over the pseudo-header and the datagram comes out 0xFFFF.
TEST(UdpFramesTest, UdpChecksumIsRightForEveryLengthAndContent) {
  std::vector<size_t> lengths;
  for (size_t length = 0; length <= 40; ++length) lengths.push_back(length);
  for (size_t length : {1451u, 1452u, 1467u, 1468u, 4075u, 4076u, 4096u}) lengths.push_back(length);
  unsigned seed = 1;
  for (int content = 0; content < 3; ++content) {
    for (size_t length : lengths) {
      std::vector<uint8_t> payload(length);
      for (uint8_t& byte : payload) {
        seed = seed * 1103515245 + 12345;
        byte = content == 0 ? 0xFF : content == 1 ? 0 : static_cast<uint8_t>(seed >> 16);
      }
      std::vector<std::vector<uint8_t>> frames;
      ASSERT_EQ(buildUdpFrames(route(), payload.data(), payload.size(), 9, 9000, frames), 1u);
      const std::vector<uint8_t>& frame = frames[0];
      std::vector<uint8_t> pseudo(frame.begin() + 26, frame.begin() + 34);
      pseudo.insert(pseudo.end(), {0, 17, static_cast<uint8_t>((8 + length) >> 8),
                                   static_cast<uint8_t>((8 + length) & 0xFF)});
      pseudo.insert(pseudo.end(), frame.begin() + 34, frame.end());
      EXPECT_EQ(onesSum(pseudo), 0xFFFF) << "length " << length << ", content " << content;
      EXPECT_NE(get16(frame, 40), 0) << "0 would say the datagram has no checksum";
    }
  }
}

// A 4096-byte message over a 1500-byte link: three fragments whose data
// parts line up, and that carry the datagram back whole.
TEST(UdpFramesTest, LargeDatagramIsCutIntoAlignedFragments) {
  std::vector<uint8_t> payload(4096);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 7);
  std::vector<std::vector<uint8_t>> frames;
  ASSERT_EQ(buildUdpFrames(route(), payload.data(), payload.size(), 77, 1500, frames), 3u);
  std::vector<uint8_t> joined;
  for (size_t index = 0; index < frames.size(); ++index) {
    const std::vector<uint8_t>& frame = frames[index];
    EXPECT_LE(frame.size(), 14u + 1500);
    std::vector<uint8_t> ip(frame.begin() + 14, frame.begin() + 34);
    EXPECT_EQ(onesSum(ip), 0xFFFF) << index;
    EXPECT_EQ(get16(frame, 18), 77) << "one identification for all";
    uint16_t flags = get16(frame, 20);
    EXPECT_EQ((flags & 0x1FFF) * 8u, joined.size()) << index;
    EXPECT_EQ((flags & 0x2000) != 0, index + 1 < frames.size()) << index;
    if (index + 1 < frames.size()) {
      EXPECT_EQ((frame.size() - 34) % 8, 0u);
    }
    joined.insert(joined.end(), frame.begin() + 34, frame.end());
  }
  ASSERT_EQ(joined.size(), 8 + payload.size());
  EXPECT_EQ(std::vector<uint8_t>(joined.begin() + 8, joined.end()), payload);

  ASSERT_EQ(buildUdpFrames(route(), payload.data(), payload.size(), 78, 9000, frames), 1u)
      << "the same datagram fits a jumbo link whole";
}

TEST(UdpFramesTest, RefusesWhatIpCannotCarry) {
  std::vector<uint8_t> payload(70000);
  std::vector<std::vector<uint8_t>> frames;
  EXPECT_EQ(buildUdpFrames(route(), payload.data(), payload.size(), 1, 1500, frames), 0u);
  EXPECT_EQ(buildUdpFrames(route(), payload.data(), 10, 1, 60, frames), 0u);
}

// The one reader of received frames takes back what the builder made:
// whole, padded to Ethernet's minimum, cut by a short buffer, and the first
// fragment of a large datagram told from a later one.
TEST(UdpFramesTest, ParsingGivesBackWhatWasBuilt) {
  std::vector<std::vector<uint8_t>> frames;
  std::string payload = "RETR";
  ASSERT_EQ(buildUdpFrames(route(), reinterpret_cast<const uint8_t*>(payload.data()),
                           payload.size(), 1, 1500, frames),
            1u);
  std::vector<uint8_t> frame = frames[0];
  frame.resize(60, 0);  // padded on the wire
  UdpFrame datagram{};
  ASSERT_EQ(parseUdpFrame(frame.data(), frame.size(), frame.size(), datagram),
            FrameParse::datagram);
  EXPECT_EQ(datagram.sourceMac[1], 0x5E);
  EXPECT_EQ(datagram.destinationMac[1], 0xC1);
  EXPECT_EQ(datagram.sourcePort, 5000);
  EXPECT_EQ(datagram.destinationPort, 5000);
  EXPECT_EQ(datagram.length, payload.size());
  EXPECT_EQ(datagram.captured, payload.size());
  EXPECT_FALSE(datagram.fragmented);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(datagram.payload), datagram.captured),
            payload);

  // 9000 bytes on a jumbo link, 2000 of them in the buffer: its whole length
  // is known, so it is told from one that fits.
  std::vector<uint8_t> large(9000, 0xA5);
  ASSERT_EQ(buildUdpFrames(route(), large.data(), large.size(), 2, 9100, frames), 1u);
  ASSERT_EQ(parseUdpFrame(frames[0].data(), 2000, frames[0].size(), datagram),
            FrameParse::datagram);
  EXPECT_EQ(datagram.length, 9000u);
  EXPECT_EQ(datagram.captured, 2000u - 42);

  ASSERT_EQ(buildUdpFrames(route(), large.data(), large.size(), 3, 1500, frames), 7u);
  ASSERT_EQ(parseUdpFrame(frames[0].data(), frames[0].size(), frames[0].size(), datagram),
            FrameParse::datagram);
  EXPECT_TRUE(datagram.fragmented);
  EXPECT_EQ(datagram.length, 9000u);
  EXPECT_EQ(datagram.captured, 1500u - 28);
  EXPECT_EQ(parseUdpFrame(frames[1].data(), frames[1].size(), frames[1].size(), datagram),
            FrameParse::notUdp)
      << "a later fragment has no UDP header";
}

TEST(UdpFramesTest, ParsingRefusesHeadersThatDisagree) {
  std::vector<std::vector<uint8_t>> frames;
  std::string payload = "DSCV\n\n\nlabel\n";
  ASSERT_EQ(buildUdpFrames(route(), reinterpret_cast<const uint8_t*>(payload.data()),
                           payload.size(), 1, 1500, frames),
            1u);
  const std::vector<uint8_t> good = frames[0];
  // Rewrites one byte of the IP header, with its checksum made right again
  // (a wrong checksum is a case of its own).
  auto changed = [&good](size_t at, uint8_t value, bool fixChecksum = true) {
    std::vector<uint8_t> frame = good;
    frame[at] = value;
    if (fixChecksum) {
      frame[24] = frame[25] = 0;
      std::vector<uint8_t> ip(frame.begin() + 14, frame.begin() + 34);
      uint16_t sum = static_cast<uint16_t>(~onesSum(ip));
      frame[24] = static_cast<uint8_t>(sum >> 8);
      frame[25] = static_cast<uint8_t>(sum & 0xFF);
    }
    return frame;
  };
  auto parse = [](const std::vector<uint8_t>& frame) {
    UdpFrame datagram{};
    return parseUdpFrame(frame.data(), frame.size(), frame.size(), datagram);
  };
  EXPECT_EQ(parse(good), FrameParse::datagram);
  EXPECT_EQ(parse(changed(14, 0x65)), FrameParse::malformed) << "IP version 6";
  EXPECT_EQ(parse(changed(14, 0x44)), FrameParse::malformed) << "a header of 16 bytes";
  EXPECT_EQ(parse(changed(14, 0x4F)), FrameParse::malformed) << "a header beyond the frame";
  EXPECT_EQ(parse(changed(17, static_cast<uint8_t>(good[17] + 1))), FrameParse::malformed)
      << "an IP length beyond the frame";
  EXPECT_EQ(parse(changed(17, static_cast<uint8_t>(good[17] - 1))), FrameParse::malformed)
      << "an IP length shorter than the UDP length";
  EXPECT_EQ(parse(changed(39, static_cast<uint8_t>(good[39] - 1), false)), FrameParse::malformed)
      << "a UDP length shorter than the IP payload";
  EXPECT_EQ(parse(changed(39, 4, false)), FrameParse::malformed) << "a UDP length below its header";
  EXPECT_EQ(parse(changed(30, 10, false)), FrameParse::malformed) << "a wrong header checksum";
  EXPECT_EQ(parse(changed(23, 6)), FrameParse::notUdp) << "TCP";
  EXPECT_EQ(parse(changed(13, 0xDD, false)), FrameParse::notUdp) << "another EtherType";
  std::vector<uint8_t> runt(good.begin(), good.begin() + 30);
  EXPECT_EQ(parse(runt), FrameParse::malformed);
  std::vector<uint8_t> shortFrame(good.begin(), good.begin() + 10);
  EXPECT_EQ(parse(shortFrame), FrameParse::notUdp);
}

}  // namespace
