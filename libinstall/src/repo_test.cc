#include "libinstall/repo.h"

#include <gtest/gtest.h>

#include <list>
#include <memory>

#include "libinstall/package_info.h"
#include "package_builder.h"

namespace {

using package_testing::TempDir;
using package_testing::TestMember;

class Packages {
 public:
  PackageInfo* add(const std::string& name, std::vector<std::string> needs = {}) {
    auto p = std::make_unique<PackageInfo>();
    p->name = name;
    for (const std::string& n : needs) p->dependencies.emplace_back(n);
    owned_.push_back(std::move(p));
    return owned_.back().get();
  }
  static std::string names(const std::list<PackageInfo*>& list) {
    std::string text;
    for (PackageInfo* p : list) text += (text.empty() ? "" : " ") + p->name;
    return text;
  }

 private:
  std::vector<std::unique_ptr<PackageInfo>> owned_;
};

TEST(SortPackages, DependenciesFirstOtherwiseTheGivenOrder) {
  Packages p;
  std::list<PackageInfo*> list = {p.add("system"), p.add("a", {"b"}), p.add("x"),
                                  p.add("b", {"system", "absent"}), p.add("y")};
  EXPECT_TRUE(Repo::getRepo()->sortPackages(list, false, true));
  EXPECT_EQ(Packages::names(list), "system x b a y")
      << "the earliest package whose needs are placed goes next";

  std::list<PackageInfo*> chain = {p.add("c1", {"c2"}), p.add("c2", {"c3"}), p.add("c3")};
  EXPECT_TRUE(Repo::getRepo()->sortPackages(chain, false, true));
  EXPECT_EQ(Packages::names(chain), "c3 c2 c1");
  EXPECT_TRUE(Repo::getRepo()->sortPackages(chain, true, true));
  EXPECT_EQ(Packages::names(chain), "c1 c2 c3") << "removal order";

  std::list<PackageInfo*> empty;
  EXPECT_TRUE(Repo::getRepo()->sortPackages(empty, false, true));
  EXPECT_TRUE(empty.empty());
}

TEST(SortPackages, CyclesTerminateAndKeepEveryPackage) {
  Packages p;
  std::list<PackageInfo*> list = {p.add("first"), p.add("a", {"b"}), p.add("b", {"a"}),
                                  p.add("self", {"self"}), p.add("c", {"a"})};
  std::list<PackageInfo*> given = list;
  EXPECT_FALSE(Repo::getRepo()->sortPackages(list, false, false));
  EXPECT_EQ(list, given) << "left as given without breakCycles";
  EXPECT_FALSE(Repo::getRepo()->sortPackages(list, false, true));
  EXPECT_EQ(Packages::names(list), "first self a b c") << "self-needs are no cycle";
}

TEST(PackageInfo, RequiresIsDirectAndFullNamesNameWhatIsKnown) {
  Packages p;
  PackageInfo* a = p.add("a", {"b"});
  PackageInfo* b = p.add("b", {"c"});
  PackageInfo* c = p.add("c");
  EXPECT_TRUE(a->requires(*b));
  EXPECT_FALSE(a->requires(*c)) << "needs of needs are not followed";
  EXPECT_FALSE(c->requires(*a));
  EXPECT_EQ(c->getFullName(), "c");
  c->version = "2.0";
  EXPECT_EQ(c->getFullName(), "c-2.0");
  EXPECT_EQ(PackageInfo().getFullName(), "");
}

TEST(PackageFile, ReadFromReadsTheHeadOnlyAndNamesBadFiles) {
  TempDir tmp;
  std::string good = package_testing::buildPackage(
      package_testing::metadataNamed("dhcp", {"system", "ppp"}),
      {TestMember::file("big", std::string(1 << 20, 'q'))});
  package_testing::writeFile(tmp / "dhcp.bdl", good);
  // The tail is damaged: reading the metadata does not notice (installing does).
  package_testing::writeFile(tmp / "cut.bdl", good.substr(0, good.size() / 2));
  package_testing::writeFile(tmp / "text.bdl", "hello");

  PackageFile file;
  ASSERT_TRUE(file.readFrom(tmp / "dhcp.bdl"));
  EXPECT_EQ(file.name, "dhcp");
  EXPECT_EQ(file.version, "1.0");
  EXPECT_EQ(file.description, "test package dhcp");
  ASSERT_EQ(file.dependencies.size(), 2u);
  EXPECT_EQ(file.dependencies[1].name, "ppp");
  EXPECT_EQ(file.path, tmp / "dhcp.bdl");
  EXPECT_TRUE(file.readFrom(tmp / "cut.bdl"));

  EXPECT_FALSE(file.readFrom(tmp / "text.bdl"));
  EXPECT_EQ(file.name, "");
  EXPECT_EQ(file.path, "") << "a failed read leaves no path to install from";
  EXPECT_EQ(file.getFullName(), "text.bdl");
  EXPECT_FALSE(file.readFrom(tmp / "missing.bdl"));
  EXPECT_EQ(file.getFullName(), "missing.bdl");
}

}  // namespace
