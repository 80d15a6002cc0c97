#include "netinstall/link_state.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

const uint8_t kClient[kMacSize] = {0x02, 0, 0, 0, 0, 0x01};
const uint8_t kServer[kMacSize] = {0x02, 0, 0, 0, 0, 0x02};
const uint8_t kOtherServer[kMacSize] = {0x02, 0, 0, 0, 0, 0x03};
const uint8_t kZero[kMacSize] = {};

// A reply as a server sends it: from `source` to `target`, numbered.
NetMessage reply(const uint8_t* source, const uint8_t* target, uint16_t sequence,
                 uint16_t acknowledgement, const char* payload = "OKAY") {
  NetMessage message;
  message.clear();
  message.setSource(source);
  message.setTarget(target);
  EXPECT_TRUE(message.setPayloadText(payload, false));
  message.setSequence(sequence);
  message.setAcknowledgement(acknowledgement);
  return message;
}

// A link to a known server that has sent 3 requests and accepted 3 replies.
LinkState establishedLink() {
  LinkState link;
  link.clear();
  memcpy(link.ownAddress, kClient, kMacSize);
  memcpy(link.peerAddress, kServer, kMacSize);
  link.sentCount = 3;
  link.receivedCount = 3;
  return link;
}

TEST(LinkStateTest, StampNumbersEachRequestAndAcknowledgesTheLastReply) {
  LinkState link = establishedLink();
  NetMessage message;
  message.clear();
  link.stamp(message, 4);
  EXPECT_EQ(message.sequence(), 4);
  EXPECT_EQ(message.acknowledgement(), 3);
  EXPECT_EQ(message.payloadLength(), 4);
  EXPECT_EQ(0, memcmp(message.source(), kClient, kMacSize));
  EXPECT_EQ(0, memcmp(message.target(), kServer, kMacSize));
  EXPECT_EQ(message.bytes[12], 0);
  EXPECT_EQ(message.bytes[13], 0);
  link.stamp(message, 4);
  EXPECT_EQ(message.sequence(), 5);
  EXPECT_EQ(link.sentCount, 5u);
}

TEST(LinkStateTest, AcceptsOnlyTheNextReplyOfItsServer) {
  LinkState link = establishedLink();
  NetMessage good = reply(kServer, kClient, 4, 3);
  EXPECT_TRUE(link.accept(good, static_cast<long>(good.datagramLength())));
  EXPECT_EQ(link.receivedCount, 4u);
  EXPECT_FALSE(link.accept(good, static_cast<long>(good.datagramLength())))
      << "the same reply twice (a duplicate, or the answer to a repetition) counts once";
  EXPECT_EQ(link.receivedCount, 4u);
}

// Every rule refuses on its own, and a refused message changes nothing.
TEST(LinkStateTest, RefusesMalformedForeignAndOutOfSequenceMessages) {
  struct Case {
    const char* what;
    NetMessage message;
    long length;  // 0: the message's own datagram length
  };
  NetMessage good = reply(kServer, kClient, 4, 3);
  Case cases[] = {
      {"shorter than a header", good, 19},
      {"length disagrees with payloadLength", good, static_cast<long>(good.datagramLength()) + 1},
      {"own broadcast looped back", reply(kClient, kClient, 4, 3), 0},
      {"for another station", reply(kServer, kOtherServer, 4, 3), 0},
      {"for nobody once the server is known", reply(kServer, kZero, 4, 3), 0},
      {"from another server", reply(kOtherServer, kClient, 4, 3), 0},
      {"acknowledges a request not yet sent", reply(kServer, kClient, 4, 4), 0},
      {"skips a number", reply(kServer, kClient, 5, 3), 0},
      {"an old reply", reply(kServer, kClient, 3, 3), 0},
  };
  for (Case& c : cases) {
    LinkState link = establishedLink();
    long length = c.length != 0 ? c.length : static_cast<long>(c.message.datagramLength());
    EXPECT_FALSE(link.accept(c.message, length)) << c.what;
    EXPECT_EQ(link.receivedCount, 3u) << c.what;
  }
}

TEST(LinkStateTest, WithoutAServerTakesMessagesForNobodyOrForItself) {
  LinkState link;
  link.clear();
  memcpy(link.ownAddress, kClient, kMacSize);
  NetMessage forNobody = reply(kServer, kZero, 1, 0);
  EXPECT_TRUE(link.accept(forNobody, static_cast<long>(forNobody.datagramLength())));
  link.resetCounters();
  NetMessage forUs = reply(kOtherServer, kClient, 1, 0);
  EXPECT_TRUE(link.accept(forUs, static_cast<long>(forUs.datagramLength())));
  link.resetCounters();
  NetMessage forOther = reply(kServer, kOtherServer, 1, 0);
  EXPECT_FALSE(link.accept(forOther, static_cast<long>(forOther.datagramLength())));
}

// A link that has carried 65,535 messages goes on: 65535 is followed by 0.
TEST(LinkStateTest, SequenceNumbersWrapOnBothCounters) {
  LinkState link = establishedLink();
  link.sentCount = 65534;
  link.receivedCount = 65534;
  NetMessage request;
  request.clear();
  link.stamp(request, 4);
  EXPECT_EQ(request.sequence(), 65535);
  NetMessage last = reply(kServer, kClient, 65535, 65535);
  ASSERT_TRUE(link.accept(last, static_cast<long>(last.datagramLength())));

  link.stamp(request, 4);
  EXPECT_EQ(request.sequence(), 0);
  EXPECT_EQ(request.acknowledgement(), 65535);
  NetMessage wrapped = reply(kServer, kClient, 0, 0);
  ASSERT_TRUE(link.accept(wrapped, static_cast<long>(wrapped.datagramLength())));
  EXPECT_EQ(link.receivedCount, 0u);

  link.stamp(request, 4);
  EXPECT_EQ(request.sequence(), 1);
  NetMessage stale = reply(kServer, kClient, 65535, 65535);
  EXPECT_FALSE(link.accept(stale, static_cast<long>(stale.datagramLength())))
      << "a reply from before the wrap stays old";
  NetMessage next = reply(kServer, kClient, 1, 1);
  EXPECT_TRUE(link.accept(next, static_cast<long>(next.datagramLength())));
}

}  // namespace
