#include "bench/net_namespace_check.h"

#include <gtest/gtest.h>

namespace {

TEST(NetNamespaceCheck, DecidesOnlyWhatItCanTell) {
  constexpr ino_t kOther = 0xF0000123;
  struct Case {
    const char* name;
    NamespaceFacts facts;
    bool own;
  };
  const Case cases[] = {
      {"the initial namespace by its fixed number", {true, 4, kInitialNetNamespaceInode, true, 4,
                                                     kInitialNetNamespaceInode, "6.18.1"}, false},
      {"process 1's namespace", {true, 4, kOther, true, 4, kOther, "5.10.0"}, false},
      {"another than process 1's", {true, 4, kOther, true, 4, kOther + 1, "5.10.0"}, true},
      {"process 1 hidden, fixed numbers: another", {true, 4, kOther, false, 0, 0, "6.18.44-fc"},
       true},
      {"process 1 hidden, fixed numbers: the initial",
       {true, 4, kInitialNetNamespaceInode, false, 0, 0, "7.0.0"}, false},
      {"process 1 hidden, an older kernel: nothing tells", {true, 4, kOther, false, 0, 0,
                                                            "6.17.9"}, false},
      {"process 1 hidden, no release", {true, 4, kOther, false, 0, 0, ""}, false},
      {"nothing known", {false, 0, 0, false, 0, 0, "6.18.0"}, false},
  };
  for (const Case& c : cases) EXPECT_EQ(inNetNamespaceOfItsOwn(c.facts), c.own) << c.name;
}

}  // namespace
