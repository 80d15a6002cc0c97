#include "netinstall/discovery_payload.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

// The text and its terminating zero, as the payload carries them.
std::string terminated(const std::string& text) { return text + std::string(1, '\0'); }

std::string payloadOf(const NetMessage& message) {
  return std::string(message.payloadText(), message.payloadLength());
}

TEST(DiscoveryPayloadTest, DiscoveryCarriesItsFourLinesAndTheTerminatorCounted) {
  NetMessage message;
  message.clear();
  message.setSequence(7);  // the buffer is cleared first
  composeDiscovery(message, "short", "a longer text", "korvanel");
  EXPECT_EQ(payloadOf(message), terminated("DSCV\nshort\na longer text\nkorvanel\ni386\n"));
  EXPECT_EQ(message.payloadLength(), 40);
  EXPECT_EQ(message.sequence(), 0);

  composeDiscovery(message, "", "", "");
  EXPECT_EQ(payloadOf(message), terminated("DSCV\n\n\n\ni386\n"));
}

TEST(DiscoveryPayloadTest, OverlongDiscoveryTextsAreCutToTheirFields) {
  NetMessage message;
  std::string longText(5000, 'L');
  composeDiscovery(message, "0123456789ABC", longText.c_str(), std::string(40, 'x').c_str());
  std::string expected =
      "DSCV\n012345678\n" + std::string(511, 'L') + "\n" + std::string(31, 'x') + "\ni386\n";
  EXPECT_EQ(payloadOf(message), terminated(expected));
}

TEST(DiscoveryPayloadTest, DriverRequestNamesTheRelease) {
  NetMessage message;
  composeDriverRequest(message, "6.1.0-28-686");
  EXPECT_EQ(payloadOf(message), terminated("DRVR\n6.1.0-28-686"));
}

struct OfferCase {
  const char* what;
  std::string payload;
  size_t capacity;
  bool taken;
  const char* offer;
  bool keep;
};

TEST(DiscoveryPayloadTest, OfferIsReadByItsLines) {
  const OfferCase cases[] = {
      {"plain offer", "OFFR\nwelcome\n", 512, true, "welcome", false},
      {"keep", "OFFR\nwelcome\nkeep\n", 512, true, "welcome", true},
      {"keep without its newline", "OFFR\nwelcome\nkeep", 512, true, "welcome", false},
      {"a longer word beginning with keep", "OFFR\nwelcome\nkeeper\n", 512, true, "welcome", false},
      {"keep with a blank", "OFFR\nwelcome\nkeep \n", 512, true, "welcome", false},
      {"empty offer text", "OFFR\n\nkeep\n", 512, true, "", true},
      {"no line end after the tag", "OFFR", 512, false, "", false},
      {"no line end after the offer", "OFFR\nwelcome", 512, false, "", false},
      {"511 characters fit 512 bytes", "OFFR\n" + std::string(511, 'o') + "\n", 512, true,
       nullptr, false},
      {"512 characters do not", "OFFR\n" + std::string(512, 'o') + "\n", 512, false, "", false},
  };
  for (const OfferCase& c : cases) {
    char offer[600];
    strcpy(offer, "untouched");
    bool keep = false;
    bool taken = parseOffer(c.payload.data(), c.payload.size(), offer, c.capacity, keep);
    EXPECT_EQ(taken, c.taken) << c.what;
    if (!c.taken) {
      EXPECT_STREQ(offer, "untouched") << c.what;
      continue;
    }
    EXPECT_EQ(keep, c.keep) << c.what;
    if (c.offer != nullptr) {
      EXPECT_STREQ(offer, c.offer) << c.what;
    } else {
      EXPECT_EQ(strlen(offer), 511u) << c.what;
    }
  }
}

TEST(DiscoveryPayloadTest, OfferIsReadWithinItsLengthOnly) {
  // The bytes behind the payload (a stale buffer) hold a line end that the
  // payload itself lacks.
  const char buffer[] = "OFFR\nwelcome\nkeep\n";
  char offer[512];
  bool keep = false;
  EXPECT_FALSE(parseOffer(buffer, 12, offer, sizeof offer, keep));
  EXPECT_TRUE(parseOffer(buffer, 17, offer, sizeof offer, keep));
  EXPECT_FALSE(keep) << "the newline after keep lies beyond the payload";
}

TEST(DiscoveryPayloadTest, OfferTextMayReplaceTheDiscoveryTextItCameFor) {
  // The network flow hands the same buffer as opaqueLong and as offerText.
  char shared[512] = "first discovery";
  NetMessage message;
  composeDiscovery(message, "", shared, "label");
  const char offerPayload[] = "OFFR\nserver's own words\n";
  bool keep = true;
  ASSERT_TRUE(parseOffer(offerPayload, strlen(offerPayload), shared, sizeof shared, keep));
  EXPECT_FALSE(keep);
  composeDiscovery(message, "", shared, "label");
  EXPECT_EQ(payloadOf(message), terminated("DSCV\n\nserver's own words\nlabel\ni386\n"));
}

}  // namespace
