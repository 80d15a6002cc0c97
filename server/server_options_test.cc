#include "server/server_options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

bool parse(std::vector<const char*> args, ServerOptions& options, std::string& error) {
  args.insert(args.begin(), "netinstall-server");
  return parseServerOptions(static_cast<int>(args.size()), args.data(), options, error);
}

TEST(ServerOptionsTest, InterfaceAndRootAreEnough) {
  ServerOptions options;
  std::string error;
  ASSERT_TRUE(parse({"--interface", "eth1", "--root", "/srv/korvanel"}, options, error)) << error;
  EXPECT_EQ(options.interfaceNames, std::vector<std::string>{"eth1"});
  EXPECT_EQ(options.root, "/srv/korvanel");
  EXPECT_FALSE(options.keep);
  EXPECT_EQ(options.blockSize, 4076u);

  ServerOptions all;
  ASSERT_TRUE(parse({"--keep", "--root", "r", "--block-size", "1468", "--interface", "e",
                     "--threads", "3"},
                    all, error));
  EXPECT_TRUE(all.keep);
  EXPECT_EQ(all.blockSize, 1468u);
  EXPECT_EQ(all.threads, 3u);
  EXPECT_EQ(options.threads, 0u);  // one per processor

  ServerOptions segments;
  ASSERT_TRUE(parse({"--interface", "lab0", "--root", "r", "--interface", "lab1"}, segments,
                    error));
  EXPECT_EQ(segments.interfaceNames, (std::vector<std::string>{"lab0", "lab1"}));
}

TEST(ServerOptionsTest, RefusesWhatItCannotUseWithAReason) {
  struct Case {
    std::vector<const char*> args;
    const char* reason;
  };
  const Case cases[] = {
      {{"--root", "r"}, "--interface is required"},
      {{"--interface", "e"}, "--root is required"},
      {{"--interface"}, "--interface needs a value"},
      {{"--interface", "", "--root", "r"}, "--interface needs a value"},
      {{"--interface", "e", "--root", "r", "--verbose"}, "unknown option --verbose"},
      {{"--interface", "e", "--interface", "e", "--root", "r"}, "--interface e given twice"},
      {{"--interface", "e", "--root", "r", "--root", "s"}, "--root given twice"},
      {{"--interface", "e", "--root", "r", "--block-size", "0"}, "--block-size must be"},
      {{"--interface", "e", "--root", "r", "--block-size", "4077"}, "--block-size must be"},
      {{"--interface", "e", "--root", "r", "--block-size", "12k"}, "--block-size must be"},
      {{"--interface", "e", "--root", "r", "--block-size", "-5"}, "--block-size must be"},
      {{"--interface", "e", "--root", "r", "--threads", "0"}, "--threads must be"},
      {{"--interface", "e", "--root", "r", "--threads", "65"}, "--threads must be"},
      {{"--interface", "e", "--root", "r", "--threads", "2", "--threads", "2"},
       "--threads given twice"},
  };
  for (const Case& c : cases) {
    ServerOptions options;
    std::string error;
    EXPECT_FALSE(parse(c.args, options, error)) << c.reason;
    EXPECT_EQ(error.rfind(c.reason, 0), 0u) << error;
  }
}

}  // namespace

namespace {

TEST(ServerOptionsTest, StatusAndEventsAreTheOperatorsChoice) {
  struct Case {
    std::vector<const char*> view;
    bool accepted;
    const char* address;
    uint16_t port;
  };
  const Case cases[] = {
      {{"--status", "8080"}, true, "127.0.0.1", 8080},
      {{"--status", "0.0.0.0:80"}, true, "0.0.0.0", 80},
      {{"--status", "10.1.2.3:0"}, true, "10.1.2.3", 0},
      {{"--status", "65536"}, false, "", 0},
      {{"--status", "host:80"}, false, "", 0},
      {{"--status", "1.2.3.4:"}, false, "", 0},
      {{"--status", "-1"}, false, "", 0},
      {{"--status", "80", "--status", "81"}, false, "", 0},
      {{"--status"}, false, "", 0},
  };
  for (const Case& c : cases) {
    std::vector<const char*> args = {"--interface", "e", "--root", "r"};
    args.insert(args.end(), c.view.begin(), c.view.end());
    ServerOptions options;
    std::string error;
    EXPECT_EQ(parse(args, options, error), c.accepted) << c.view.back() << ": " << error;
    if (!c.accepted) continue;
    EXPECT_TRUE(options.status);
    EXPECT_EQ(options.statusAddress, c.address);
    EXPECT_EQ(options.statusPort, c.port);
  }
  ServerOptions options;
  std::string error;
  ASSERT_TRUE(parse({"--events", "/var/log/k.jsonl", "--interface", "e", "--root", "r"}, options,
                    error));
  EXPECT_EQ(options.eventsPath, "/var/log/k.jsonl");
  EXPECT_FALSE(options.status);
  EXPECT_FALSE(parse({"--interface", "e", "--root", "r", "--events", "a", "--events", "b"}, options,
                     error));
  EXPECT_EQ(error, "--events given twice");
}

}  // namespace
