#include "package_metadata.h"

#include <gtest/gtest.h>

namespace libinstall {
namespace {

TEST(Metadata, FormattedTextParsesBackAndUnknownKeysAreIgnored) {
  PackageMetadata m;
  m.name = "dhcp";
  m.version = "2.1-3";
  m.description = "DHCP server and client: hands out addresses";
  m.depends = {"system", "ppp"};
  PackageMetadata back;
  std::string error;
  ASSERT_TRUE(parseMetadata(formatMetadata(m) + "origin: lab\n", &back, &error)) << error;
  EXPECT_EQ(back.name, m.name);
  EXPECT_EQ(back.version, m.version);
  EXPECT_EQ(back.description, m.description);
  EXPECT_EQ(back.depends, m.depends);

  ASSERT_TRUE(parseMetadata("format: 1\nname: x\ndescription:\n", &back, &error)) << error;
  EXPECT_EQ(back.description, "");
  EXPECT_TRUE(back.depends.empty());
}

TEST(Metadata, InvalidTextsAreRefused) {
  PackageMetadata m;
  std::string error;
  const char* bad[] = {
      "name: x\n",                                 // no format
      "format: 2\nname: x\n",                      // unknown format
      "format: 1\n",                               // no name
      "format: 1\nname: x\nname: y\n",             // twice
      "format: 1\nname: ../etc\n",                 // name with a slash
      "format: 1\nname: .hidden\n",                // leading dot
      "format: 1\nname: a b\n",                    // blank
      "format: 1\nname: x\ndepends: /abs\n",       // bad dependency
      "format: 1\nname: x\nversion: 1 2\n",        // bad version
      "format: 1\nname: x\nno colon here\n",       // malformed line
  };
  for (const char* text : bad) EXPECT_FALSE(parseMetadata(text, &m, &error)) << text;
}

TEST(Metadata, NamesAreFitForFileNames) {
  EXPECT_TRUE(isValidPackageName("system"));
  EXPECT_TRUE(isValidPackageName("lib-c++_2.0"));
  EXPECT_FALSE(isValidPackageName(""));
  EXPECT_FALSE(isValidPackageName("."));
  EXPECT_FALSE(isValidPackageName(".."));
  EXPECT_FALSE(isValidPackageName("-x"));
  EXPECT_FALSE(isValidPackageName(std::string(65, 'a')));
  EXPECT_FALSE(isValidDescription("two\nlines"));
  EXPECT_TRUE(isValidDescription(std::string(1024, 'd')));
  EXPECT_FALSE(isValidDescription(std::string(1025, 'd')));
}

}  // namespace
}  // namespace libinstall
