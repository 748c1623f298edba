// Port enumeration over a fake sysfs tree: which ttys count as serial ports,
// in what order they are appended, and what is never listed.

#include "serial/portenum.h"

#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cstdlib>

#include "tests/app/faketree.h"

using Names = std::vector<std::string>;

namespace {

// Names every file opened in a folder while it lives, through inotify.
class OpenWatch {
 public:
  explicit OpenWatch(const std::string& folder) {
    fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ >= 0) inotify_add_watch(fd_, folder.c_str(), IN_OPEN);
  }
  ~OpenWatch() {
    if (fd_ >= 0) close(fd_);
  }
  Names Opened() const {
    Names names;
    alignas(inotify_event) char buffer[4096];
    ssize_t n;
    while ((n = read(fd_, buffer, sizeof buffer)) > 0)
      for (char* p = buffer; p < buffer + n;) {
        auto* event = reinterpret_cast<inotify_event*>(p);
        names.push_back(event->len ? event->name : "(the folder)");
        p += sizeof(inotify_event) + event->len;
      }
    return names;
  }

 private:
  int fd_ = -1;
};

}  // namespace

TEST(PortEnumeration, ListsTtysWithADriverAsFullPathsInNameOrder) {
  FakePortTree tree;
  tree.AddTty("ttyUSB1", "ftdi_sio");
  tree.AddTty("ttyACM0", "cdc_acm");
  tree.AddTty("ttyUSB0", "pl2303");
  tree.AddTty("tty0", "");
  tree.AddTty("tty1", "");
  Names list;
  EnumSerialPorts(list, tree.Roots());
  EXPECT_EQ(list, (Names{tree.Dev("ttyACM0"), tree.Dev("ttyUSB0"), tree.Dev("ttyUSB1")}));
}

TEST(PortEnumeration, AppendsBehindWhatTheListHoldsAndSkipsNamesHeldInAnotherCase) {
  FakePortTree tree;
  tree.AddTty("ttyACM0", "cdc_acm");
  tree.AddTty("ttyUSB0", "ftdi_sio");
  std::string held = tree.Dev("TTYacm0");
  Names list{"zzz", held};
  EnumSerialPorts(list, tree.Roots());
  EXPECT_EQ(list, (Names{"zzz", held, tree.Dev("ttyUSB0")}));
}

TEST(PortEnumeration, FindingNothingLeavesTheListUnchanged) {
  FakePortTree tree;
  tree.AddTty("tty0", "");
  Names list{"kept"};
  EnumSerialPorts(list, tree.Roots());
  EXPECT_EQ(list, Names{"kept"});

  PortEnumRoots missing;
  missing.Sysfs = "/nonexistent/sys";
  missing.VirtualFolder = "/nonexistent/ports";
  EnumSerialPorts(list, missing);
  EXPECT_EQ(list, Names{"kept"});
}

TEST(PortEnumeration, Serial8250PortsAreListedByTheirSysfsUartTypeWithoutOpeningAnything) {
  FakePortTree tree;
  tree.AddTty("ttyS1", "serial8250");
  tree.AddTty("ttyS2", "serial8250");
  tree.AddTty("ttyS3", "serial8250", /*serialBase=*/true);
  tree.AddTty("ttyS4", "serial8250", /*serialBase=*/true);
  tree.AddTty("ttyS5", "serial");      // a UART found by PnP: listed without a look at its type
  tree.AddTty("ttyS6", "serial8250");  // no type to read: nothing known to be there
  tree.AddTty("ttyUSB0", "ftdi_sio");
  tree.SetUartType("ttyS1", 0);
  tree.SetUartType("ttyS2", 4);
  tree.SetUartType("ttyS3", 0);
  tree.SetUartType("ttyS4", 4);
  OpenWatch opens(tree.Dev(""));
  Names list;
  EnumSerialPorts(list, tree.Roots());
  EXPECT_EQ(list, (Names{tree.Dev("ttyS2"), tree.Dev("ttyS4"), tree.Dev("ttyS5"), tree.Dev("ttyUSB0")}));
  EXPECT_EQ(opens.Opened(), Names{});
}

TEST(PortEnumeration, TheActiveConsoleIsNeverListed) {
  FakePortTree tree;
  tree.SetConsole("tty0 ttyS0");
  tree.AddTty("tty0", "");
  tree.AddTty("ttyS0", "serial8250", /*serialBase=*/true);
  tree.AddTty("ttyUSB0", "ftdi_sio");
  tree.SetUartType("ttyS0", 4);
  Names list;
  EnumSerialPorts(list, tree.Roots());
  EXPECT_EQ(list, Names{tree.Dev("ttyUSB0")});
}

TEST(PortEnumeration, DriverNameLooksPastTheSerialBasePort) {
  FakePortTree tree;
  tree.AddTty("ttyS0", "serial8250", /*serialBase=*/true);
  tree.AddTty("ttyUSB0", "ftdi_sio");
  tree.AddTty("tty7", "");
  std::string sysfs = tree.Roots().Sysfs;
  EXPECT_EQ(TtyDriverName(sysfs, "ttyS0"), "serial8250");
  EXPECT_EQ(TtyDriverName(sysfs, "ttyUSB0"), "ftdi_sio");
  EXPECT_EQ(TtyDriverName(sysfs, "tty7"), "");
  EXPECT_EQ(TtyDriverName(sysfs, "ttyNone"), "");
}

TEST(PortEnumeration, AnnouncedVirtualPortsFollowTheRealOnesByTheirLinkPath) {
  FakePortTree tree;
  tree.AddTty("ttyACM0", "cdc_acm");
  std::string sim2 = tree.AddVirtual("devsim-2");
  std::string sim1 = tree.AddVirtual("devsim-1");
  tree.AddVirtual("gone", /*dangling=*/true);
  std::ofstream(tree.PortsFolder() + "/not-a-link") << "";
  Names list;
  EnumSerialPorts(list, tree.Roots());
  EXPECT_EQ(list, (Names{tree.Dev("ttyACM0"), sim1, sim2}));
}

TEST(PortEnumeration, AVirtualPortWhosePathIsLongerThanTheComponentOpensIsNotListed) {
  FakePortTree tree;
  const std::string folder = tree.PortsFolder() + "/";
  const std::string fits = tree.AddVirtual(std::string(kLongestPortPath - folder.size(), 'a'));
  tree.AddVirtual(std::string(kLongestPortPath - folder.size() + 1, 'b'));
  ASSERT_EQ(fits.size(), kLongestPortPath);
  Names list;
  EnumSerialPorts(list, tree.Roots());
  EXPECT_EQ(list, Names{fits});
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
  Names list;
  EnumSerialPorts(list, tree.Roots());
  EXPECT_TRUE(list.empty());
}
