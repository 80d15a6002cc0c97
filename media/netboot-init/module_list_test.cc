#include "module_list.h"

#include <gtest/gtest.h>

namespace {

TEST(ModuleList, EntriesInOrderWithoutCommentsBlankLinesOrBlanks) {
  std::string text =
      "# network cards\n"
      "kernel/drivers/net/ethernet/intel/e1000/e1000.ko\n"
      "\n"
      "   \t\n"
      "  kernel/drivers/block/floppy.ko \r\n"
      "\t# kernel/drivers/net/ethernet/realtek/8139too.ko\n"
      "last-without-newline.ko";
  EXPECT_EQ(parseModuleList(text),
            (std::vector<std::string>{"kernel/drivers/net/ethernet/intel/e1000/e1000.ko",
                                      "kernel/drivers/block/floppy.ko", "last-without-newline.ko"}));
  EXPECT_TRUE(parseModuleList("").empty());
}

}  // namespace
