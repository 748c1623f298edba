// Port enumeration's announced ports, over a fake virtual-port folder with
// udev left out: which links count, in what order they are appended, and what
// is never listed. The real ports are listed against umockdev's devices in
// portlist_test.cpp.

#include "serial/portenum.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>

#include "tests/app/faketree.h"

using Names = std::vector<std::string>;

namespace {

Names Paths(const std::vector<PortInfo>& list) {
  Names paths;
  for (const PortInfo& port : list) paths.push_back(port.Path);
  return paths;
}

}  // namespace

TEST(PortEnumeration, AppendsBehindWhatTheListHoldsAndSkipsNamesHeldInAnotherCase) {
  FakePortTree tree;
  const std::string one = tree.AddVirtual("devsim-1");
  const std::string two = tree.AddVirtual("devsim-2");
  std::string held = one;
  for (char& c : held) c = std::toupper(static_cast<unsigned char>(c));
  std::vector<PortInfo> list{PortInfo{"zzz", PortInfo::Kind::OnBoard, {}, {}, {}},
                             PortInfo{held, PortInfo::Kind::OnBoard, {}, {}, {}}};
  EnumSerialPorts(list, tree.Roots());
  EXPECT_EQ(Paths(list), (Names{"zzz", held, two}));
}

TEST(PortEnumeration, FindingNothingLeavesTheListUnchanged) {
  FakePortTree tree;
  std::vector<PortInfo> list{PortInfo{"kept", PortInfo::Kind::OnBoard, {}, {}, {}}};
  EnumSerialPorts(list, tree.Roots());
  EXPECT_EQ(Paths(list), Names{"kept"});

  PortEnumRoots missing = tree.Roots();
  missing.VirtualFolder = "/nonexistent/ports";
  EnumSerialPorts(list, missing);
  EXPECT_EQ(Paths(list), Names{"kept"});
}

TEST(PortEnumeration, AnnouncedVirtualPortsComeByTheirLinkPath) {
  FakePortTree tree;
  std::string sim2 = tree.AddVirtual("devsim-2");
  std::string sim1 = tree.AddVirtual("devsim-1");
  tree.AddVirtual("gone", /*dangling=*/true);
  std::ofstream(tree.PortsFolder() + "/not-a-link") << "";
  std::vector<PortInfo> list;
  EnumSerialPorts(list, tree.Roots());
  EXPECT_EQ(Paths(list), (Names{sim1, sim2}));
}

TEST(PortEnumeration, AVirtualPortWhosePathIsLongerThanTheComponentOpensIsNotListed) {
  FakePortTree tree;
  const std::string folder = tree.PortsFolder() + "/";
  const std::string fits = tree.AddVirtual(std::string(kLongestPortPath - folder.size(), 'a'));
  tree.AddVirtual(std::string(kLongestPortPath - folder.size() + 1, 'b'));
  ASSERT_EQ(fits.size(), kLongestPortPath);
  std::vector<PortInfo> list;
  EnumSerialPorts(list, tree.Roots());
  EXPECT_EQ(Paths(list), Names{fits});
}

TEST(VirtualPortFolder, IsBelowTheRuntimeFolderOrPerUserInTmp) {
  const char* saved = std::getenv("XDG_RUNTIME_DIR");
  std::string keep = saved ? saved : "";
  setenv("XDG_RUNTIME_DIR", "/run/user/1000", 1);
  EXPECT_EQ(VirtualPortFolder(), "/run/user/1000/vellamo-ports");
  setenv("XDG_RUNTIME_DIR", "", 1);
  EXPECT_EQ(VirtualPortFolder(), "/tmp/vellamo-ports-" + std::to_string(getuid()));
  unsetenv("XDG_RUNTIME_DIR");
  EXPECT_EQ(VirtualPortFolder(), "/tmp/vellamo-ports-" + std::to_string(getuid()));
  if (saved) setenv("XDG_RUNTIME_DIR", keep.c_str(), 1);
}

TEST(VirtualPortFolder, ARelativeRuntimeFolderIsUnusable) {
  const char* saved = std::getenv("XDG_RUNTIME_DIR");
  std::string keep = saved ? saved : "";
  setenv("XDG_RUNTIME_DIR", "run/user/1000", 1);
  EXPECT_EQ(VirtualPortFolder(), "/tmp/vellamo-ports-" + std::to_string(getuid()));
  setenv("XDG_RUNTIME_DIR", "/run/user/1000/", 1);
  EXPECT_EQ(VirtualPortFolder(), "/run/user/1000/vellamo-ports");
  saved ? setenv("XDG_RUNTIME_DIR", keep.c_str(), 1) : unsetenv("XDG_RUNTIME_DIR");
}

TEST(PortEnumeration, AVirtualPortFolderOthersCanWriteToIsIgnored) {
  FakePortTree tree;
  tree.AddVirtual("devsim-1");
  std::filesystem::permissions(tree.PortsFolder(), std::filesystem::perms::others_write,
                               std::filesystem::perm_options::add);
  std::vector<PortInfo> list;
  EnumSerialPorts(list, tree.Roots());
  EXPECT_TRUE(list.empty());
}
