#include "netinstall/net_message.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "netinstall/mac_address.h"

namespace {

const uint8_t kSource[kMacSize] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
const uint8_t kTarget[kMacSize] = {0x52, 0x54, 0x00, 0xAB, 0xCD, 0xEF};

TEST(NetMessageTest, HeaderFieldsSitAtTheirOffsetsLittleEndian) {
  NetMessage message;
  message.clear();
  message.setSource(kSource);
  message.setTarget(kTarget);
  message.setPayloadLength(0x0FEC);
  message.setSequence(0x1234);
  message.setAcknowledgement(0xBEEF);
  const uint8_t expected[kHeaderSize] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55, 0x52, 0x54, 0x00, 0xAB,
                                         0xCD, 0xEF, 0x00, 0x00, 0xEC, 0x0F, 0x34, 0x12, 0xEF, 0xBE};
  EXPECT_EQ(0, memcmp(message.bytes, expected, kHeaderSize));
  EXPECT_EQ(message.payloadLength(), 0x0FEC);
  EXPECT_EQ(message.sequence(), 0x1234);
  EXPECT_EQ(message.acknowledgement(), 0xBEEF);
  EXPECT_EQ(message.datagramLength(), kHeaderSize + 0x0FEC);
  EXPECT_EQ(message.payload(), message.bytes + 20);
}

TEST(NetMessageTest, TagTableHasTheInstallersElevenTagsAndTheUpReportsInTypeOrder) {
  const char* expected[kMessageTypeCount] = {"DSCV", "OFFR", "YACK", "NACK", "STRT", "TERM", "WTRM",
                                             "FILE", "RETR", "DRVR", "OFDR", "UPRP", "UPOK"};
  for (int type = 0; type < kMessageTypeCount; ++type) {
    EXPECT_STREQ(messageTag(static_cast<MessageType>(type)), expected[type]) << type;
  }
}

TEST(NetMessageTest, PayloadTextFitsUpTo4076BytesWithItsTerminatorCounted) {
  NetMessage message;
  message.clear();
  ASSERT_TRUE(message.setPayloadText("WTRM", /*withTerminator=*/false));
  EXPECT_EQ(message.payloadLength(), 4);
  ASSERT_TRUE(message.setPayloadText("DRVR\n6.1", /*withTerminator=*/true));
  EXPECT_EQ(message.payloadLength(), 9);
  EXPECT_EQ(message.payload()[8], 0);

  std::string largest(kMaxPayload, 'x');
  EXPECT_TRUE(message.setPayloadBytes(largest.data(), largest.size()));
  EXPECT_EQ(message.datagramLength(), kMessageSize);
  EXPECT_FALSE(message.setPayloadBytes(largest.data(), largest.size() + 1));
  EXPECT_FALSE(message.setPayloadText(largest.c_str(), /*withTerminator=*/true));
  EXPECT_EQ(message.payloadLength(), kMaxPayload) << "a refused payload leaves the message alone";
}

TEST(NetMessageTest, ShortPayloadNeverMatchesATagFromStaleBytes) {
  NetMessage message;
  message.clear();
  ASSERT_TRUE(message.setPayloadText("OFFR\nold offer\n", false));
  EXPECT_TRUE(message.payloadBeginsWith("OFFR"));
  // A later two-byte datagram in the same buffer leaves "FR" behind it.
  message.payload()[0] = 'O';
  message.payload()[1] = 'F';
  message.setPayloadLength(2);
  EXPECT_FALSE(message.payloadBeginsWith("OFFR"));
  message.setPayloadLength(0);
  EXPECT_FALSE(message.payloadBeginsWith("OFFR"));
}

TEST(NetMessageTest, SequenceNumbersWrapModulo65536) {
  EXPECT_EQ(nextSequence(0), 1);
  EXPECT_EQ(nextSequence(65534), 65535);
  EXPECT_EQ(nextSequence(65535), 0);
}

TEST(MacAddressTest, UpperCaseColonTextInOneSharedBuffer) {
  const char* first = formatMacAddress(kSource);
  EXPECT_STREQ(first, "02:11:22:33:44:55");
  const char* second = formatMacAddress(kTarget);
  EXPECT_STREQ(second, "52:54:00:AB:CD:EF");
  EXPECT_EQ(first, second) << "callers share one buffer";
  EXPECT_STREQ(first, "52:54:00:AB:CD:EF") << "the earlier text is overwritten";
  const uint8_t zero[kMacSize] = {};
  EXPECT_TRUE(isZeroMac(zero));
  EXPECT_FALSE(isZeroMac(kSource));
}

}  // namespace
