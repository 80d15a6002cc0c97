#include "packages/package_set.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "output_capture.h"
#include "package_builder.h"
#include "packages/package_fixtures.h"

namespace {

using package_testing::TempDir;

std::vector<std::string> namesOf(const PackageSet& set) {
  std::vector<std::string> names;
  for (const auto& item : set.items) names.push_back(item->name);
  return names;
}

std::vector<std::string> selectedOf(const PackageSet& set) {
  std::vector<std::string> names;
  for (const auto& item : set.items) {
    if (item->selected) names.push_back(item->name);
  }
  return names;
}

using Names = std::vector<std::string>;

// Scans a medium of packages with these names; returns the printed output.
std::string scan(PackageSet& set, const TempDir& dir, const std::vector<FixturePackage>& packages,
                 bool* ok) {
  std::string made = makeMedium(dir.path(), packages);
  EXPECT_EQ(made, "");
  return captureStdout([&] { *ok = set.scanDirectory(dir.path().c_str()); });
}

TEST(ScanDirectory, SortsByNameThenMovesThePreferredPackagesToTheirPlaces) {
  struct Case {
    Names files;
    Names expected;
  };
  const Case cases[] = {
      {{"b", "a", "system", "dhcp"}, {"system", "a", "dhcp", "b"}},
      {{"ppp", "x", "y"}, {"x", "ppp", "y"}},
      {{"dhcp"}, {"dhcp"}},
      {{"zz", "dhcp", "ppp", "system", "aa"}, {"system", "ppp", "dhcp", "aa", "zz"}},
  };
  for (const Case& c : cases) {
    TempDir dir;
    std::vector<FixturePackage> packages;
    for (const std::string& name : c.files) packages.push_back({name, {}, "", ""});
    PackageSet set;
    bool ok = false;
    EXPECT_EQ(scan(set, dir, packages, &ok), "");
    EXPECT_TRUE(ok);
    EXPECT_EQ(namesOf(set), c.expected);
    EXPECT_EQ(set.cursor, 0u);
    EXPECT_TRUE(selectedOf(set).empty()) << "nothing chosen without defpacks";
  }
}

TEST(ScanDirectory, OnlyNamesEndingInDotBdlAreReadAndMetadataIsFilled) {
  TempDir dir;
  PackageSet set;
  bool ok = false;
  for (const char* ignored : {"upper.BDL", "noextension", "bdl", "notes.txt"}) {
    package_testing::writeFile(dir / ignored, "not a package");
  }
  mkdir((dir / "subdir").c_str(), 0755);
  EXPECT_EQ(scan(set, dir,
                 {{"ppp", {"system"}, "Point-to-point protocol", ""},
                  {"odd", {}, "", ".bdl"}},  // a name that is exactly ".bdl" is taken
                 &ok),
            "");
  ASSERT_TRUE(ok);
  ASSERT_EQ(namesOf(set), (Names{"odd", "ppp"}));
  const PackageItem& ppp = *set.items[1];
  EXPECT_EQ(ppp.description, "Point-to-point protocol");
  ASSERT_EQ(ppp.dependencies.size(), 1u);
  EXPECT_EQ(ppp.dependencies[0].name, "system");
  EXPECT_EQ(ppp.path, dir / "ppp.bdl");
  EXPECT_EQ(set.items[0]->path, dir / ".bdl");
}

TEST(ScanDirectory, FailuresPrintOneFatalLine) {
  {
    PackageSet set;
    bool ok = true;
    EXPECT_EQ(captureStdout([&] { ok = set.scanDirectory("/nonexistent/medium"); }),
              "FATAL ERROR: No packages found\n");
    EXPECT_FALSE(ok);
  }
  {
    TempDir dir;
    package_testing::writeFile(dir / "README", "no packages here");
    PackageSet set;
    bool ok = true;
    EXPECT_EQ(captureStdout([&] { ok = set.scanDirectory(dir.path().c_str()); }),
              "FATAL ERROR: No packages found\n");
    EXPECT_FALSE(ok);
  }
  {
    TempDir dir;
    package_testing::writeFile(dir / "broken.bdl", "garbage");
    PackageSet set;
    bool ok = true;
    EXPECT_EQ(captureStdout([&] { ok = set.scanDirectory(dir.path().c_str()); }),
              "FATAL ERROR: Bad package broken.bdl\n");
    EXPECT_FALSE(ok);
    EXPECT_EQ(set.items.size(), 1u) << "what was read stays in the set";
  }
}

TEST(ScanDirectory, DefpacksSelectsTheNamedPackagesOnly) {
  TempDir dir;
  package_testing::writeFile(dir / "defpacks", "ppp  dhcp\nnosuch\n" + std::string(100, 'x') +
                                                   "system\n\tsys");
  PackageSet set;
  bool ok = false;
  EXPECT_EQ(scan(set, dir, {{"system", {}, "", ""}, {"ppp", {}, "", ""}, {"dhcp", {}, "", ""},
                            {"sys", {}, "", ""}},
                 &ok),
            "");
  ASSERT_TRUE(ok);
  EXPECT_EQ(selectedOf(set), (Names{"ppp", "dhcp", "sys"}))
      << "an overlong word is skipped whole, not cut into a name";
}

TEST(PackageSet, LookupIsExactAndFindsTheFirstOfTwins) {
  TempDir dir;
  PackageSet set;
  bool ok = false;
  EXPECT_EQ(scan(set, dir, {{"ppp", {}, "first", "a.bdl"}, {"ppp", {}, "second", "b.bdl"}}, &ok),
            "");
  ASSERT_TRUE(ok);
  EXPECT_EQ(set.findByName("ppp"), 0);
  EXPECT_EQ(set.findByName("PPP"), -1);
  EXPECT_EQ(set.findByName(""), -1);
}

TEST(PackageSet, InstallOrderPutsNeedsFirstAndHoldsOnlyTheSelected) {
  TempDir dir;
  PackageSet set;
  bool ok = false;
  EXPECT_EQ(scan(set, dir,
                 {{"system", {}, "", ""}, {"web", {"zlib"}, "", ""}, {"zlib", {"system"}, "", ""},
                  {"extra", {}, "", ""}},
                 &ok),
            "");
  ASSERT_TRUE(ok);
  ASSERT_EQ(namesOf(set), (Names{"system", "extra", "web", "zlib"}));

  std::list<PackageFile*> order = {set.items[1].get()};
  set.installOrder(order);
  EXPECT_TRUE(order.empty()) << "nothing selected: an emptied list";

  set.items[2]->selected = true;  // web
  set.items[3]->selected = true;  // zlib
  set.items[0]->selected = true;  // system
  set.installOrder(order);
  Names installed;
  for (PackageFile* p : order) installed.push_back(p->name);
  EXPECT_EQ(installed, (Names{"system", "zlib", "web"}));

  set.selectAll();
  set.installOrder(order);
  EXPECT_EQ(order.size(), 4u);
}

}  // namespace
