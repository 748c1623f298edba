// Port enumeration's announced ports, over a fake virtual-port folder with
// udev left out: which links count, in what order they are appended, and what
// is never listed. The real ports are listed against umockdev's devices in
// portlist_test.cpp.

#include "serial/portenum.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>

#include "tests/app/faketree.h"

using Names = std::vector<std::string>;

namespace {

Names Paths(const std::vector<PortInfo>& list) {
  Names paths;
  for (const PortInfo& port : list) paths.push_back(port.Path);
  return paths;
}

}  // namespace

// Names are compared as the file system compares them: the same path is
// listed once, a name in another case is another port.
TEST(PortEnumeration, AppendsBehindWhatTheListHoldsAndSkipsOnlyTheSamePath) {
  struct Case {
    const char* name;
    std::function<std::string(const std::string&)> held;  // from the path found
    bool appended;
  };
  const Case cases[] = {
      {"the same path", [](const std::string& path) { return path; }, false},
      {"in upper case",
       [](std::string path) {
         for (char& c : path) c = std::toupper(static_cast<unsigned char>(c));
         return path;
       },
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakePortTree tree;
    const std::string one = tree.AddVirtual("devsim-1");
    const std::string two = tree.AddVirtual("devsim-2");
    const std::string held = c.held(one);
    std::vector<PortInfo> list{PortInfo{"zzz", PortInfo::Kind::OnBoard, {}, {}, {}},
                               PortInfo{held, PortInfo::Kind::OnBoard, {}, {}, {}}};
    EnumSerialPorts(list, tree.Roots());
    EXPECT_EQ(Paths(list), c.appended ? (Names{"zzz", held, one, two}) : (Names{"zzz", held, two}));
  }
}

TEST(PortNameOrder, IgnoresCaseButKeepsNamesThatDifferOnlyInCaseApart) {
  struct Case {
    const char* first;
    const char* second;
  };
  const Case cases[] = {
      {"/dev/ttyACM0", "/dev/ttyacm1"},  // case does not decide the order
      {"/dev/ttyacm0", "/dev/ttyACM1"},
      {"/x/Clock", "/x/clock"},  // it decides between names equal but for it
      {"/x/clock", "/x/clock2"},
      {"/x/CLOCK", "/x/clock2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.first) + " < " + c.second);
    EXPECT_TRUE(PortNameBefore(c.first, c.second));
    EXPECT_FALSE(PortNameBefore(c.second, c.first));
  }
  EXPECT_FALSE(PortNameBefore("/x/clock", "/x/clock"));
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
