#include "devsim/virtualports.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace fs = std::filesystem;

namespace {

class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/vellamo-devsim-test-XXXXXX";
    path_ = mkdtemp(pattern);
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

TEST(VirtualPortFolder, FollowsXdgRuntimeDirAndFallsBackToAPerUserTmpFolder) {
  EXPECT_EQ(devsim::VirtualPortFolderFor("/run/user/1000", 1000), "/run/user/1000/vellamo-ports");
  EXPECT_EQ(devsim::VirtualPortFolderFor("/run/user/1000/", 1000), "/run/user/1000/vellamo-ports");
  EXPECT_EQ(devsim::VirtualPortFolderFor(nullptr, 1000), "/tmp/vellamo-ports-1000");
  EXPECT_EQ(devsim::VirtualPortFolderFor("", 0), "/tmp/vellamo-ports-0");
  EXPECT_EQ(devsim::VirtualPortFolderFor("relative/dir", 7), "/tmp/vellamo-ports-7");
}

TEST(VirtualPortFolder, IsCreatedPrivateAndRefusedWhenOthersCouldWriteIt) {
  TempDir temp;
  const std::string folder = temp.Path() + "/vellamo-ports";
  ASSERT_EQ(devsim::EnsureVirtualPortFolder(folder), 0);
  struct stat st {};
  ASSERT_EQ(stat(folder.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_EQ(devsim::EnsureVirtualPortFolder(folder), 0);  // already there: fine

  chmod(folder.c_str(), 0777);
  EXPECT_EQ(devsim::EnsureVirtualPortFolder(folder), EPERM);

  const std::string redirected = temp.Path() + "/redirected";
  ASSERT_EQ(symlink(temp.Path().c_str(), redirected.c_str()), 0);
  EXPECT_EQ(devsim::EnsureVirtualPortFolder(redirected), ENOTDIR);
}

TEST(PortAnnouncement, LinkLivesAsLongAsTheObjectAndReplacesALeftOver) {
  TempDir temp;
  const std::string folder = temp.Path() + "/ports";
  std::string link;
  {
    devsim::PortAnnouncement first(folder, "sim", "/dev/pts/98");
    link = first.LinkPath();
    EXPECT_EQ(fs::read_symlink(link), "/dev/pts/98");
    // A second announcement under the same name (a crashed run with the same pid) takes the link over.
    devsim::PortAnnouncement second(folder, "sim", "/dev/pts/99");
    EXPECT_EQ(fs::read_symlink(link), "/dev/pts/99");
    // The first one must not remove a link that is no longer its own.
    first.Withdraw();
    EXPECT_TRUE(fs::is_symlink(link));
  }
  EXPECT_FALSE(fs::is_symlink(link));
}

TEST(PortAnnouncement, FailsLoudlyWhenTheFolderIsUnusable) {
  TempDir temp;
  const std::string file = temp.Path() + "/plainfile";
  ASSERT_TRUE(std::ofstream(file).good()) << file;
  EXPECT_THROW(devsim::PortAnnouncement(file, "sim", "/dev/pts/1"), std::system_error);
}

TEST(PortAnnouncement, StaleLinksOfEndedProcessesAreRemovedOthersKept) {
  TempDir temp;
  const std::string own = "vellamo-devsim-" + std::to_string(getpid());
  // The largest pid the kernel hands out is below 2^22; this one cannot be alive.
  const std::string gone = "vellamo-devsim-99999999";
  const std::string foreign = "other-sim-99999999";
  for (const std::string& name : {own, gone, foreign}) {
    ASSERT_EQ(symlink("/dev/pts/1", (temp.Path() + "/" + name).c_str()), 0);
  }
  EXPECT_EQ(devsim::RemoveStaleAnnouncements(temp.Path(), "vellamo-devsim-"), 1);
  EXPECT_TRUE(fs::is_symlink(temp.Path() + "/" + own));
  EXPECT_FALSE(fs::is_symlink(temp.Path() + "/" + gone));
  EXPECT_TRUE(fs::is_symlink(temp.Path() + "/" + foreign));
}

}  // namespace
