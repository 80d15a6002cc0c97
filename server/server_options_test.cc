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
  ASSERT_TRUE(parse({"--keep", "--root", "r", "--block-size", "1468", "--interface", "e"}, all,
                    error));
  EXPECT_TRUE(all.keep);
  EXPECT_EQ(all.blockSize, 1468u);

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
  };
  for (const Case& c : cases) {
    ServerOptions options;
    std::string error;
    EXPECT_FALSE(parse(c.args, options, error)) << c.reason;
    EXPECT_EQ(error.rfind(c.reason, 0), 0u) << error;
  }
}

}  // namespace
