// Where the firmware hand-over happens: the program folder's firmware folder
// while it may be written, else the user's own; and the image placed there.

#include "tools/firmwarefolder.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QFile>
#include <QTemporaryDir>
#include <filesystem>
#include <functional>
#include <string>

#include "tests/app/testfiles.h"
#include "ui/programfolder.h"

namespace {

namespace fs = std::filesystem;

// Runs `check` as a user without privileges: root may write in any folder, so
// for root a child process gives them up first. Returns what `check` returned.
std::string RunUnprivileged(const std::function<std::string()>& check) {
  if (geteuid() != 0) return check();
  int channel[2];
  if (pipe(channel) != 0) return "no pipe";
  const pid_t child = fork();
  if (child == 0) {
    close(channel[0]);
    constexpr uid_t kNobody = 65534;
    if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0) _exit(1);
    const std::string result = check();
    (void)!write(channel[1], result.data(), result.size());
    _exit(0);
  }
  close(channel[1]);
  std::string result;
  char buffer[512];
  for (ssize_t n; (n = read(channel[0], buffer, sizeof buffer)) > 0;) result.append(buffer, size_t(n));
  close(channel[0]);
  waitpid(child, nullptr, 0);
  return result;
}

class FirmwareFolderTest : public testing::Test {
 protected:
  void SetUp() override {
    program = fs::path(programDir.path().toStdString());
    userData = fs::path(userDir.path().toStdString()) / "data";
    savedDataHome_ = qgetenv("XDG_DATA_HOME");
    qputenv("XDG_DATA_HOME", QFile::encodeName(QString::fromStdString(userData.string())));
    OverrideProgramFolder(QString::fromStdString(program.string()));
  }
  void TearDown() override {
    OverrideProgramFolder(QString());
    savedDataHome_.isNull() ? qunsetenv("XDG_DATA_HOME") : qputenv("XDG_DATA_HOME", savedDataHome_);
    fs::permissions(program, fs::perms::owner_all);
    if (fs::exists(program / "firmware")) fs::permissions(program / "firmware", fs::perms::owner_all);
  }

  // An installed program: its folder and the firmware folder in it are closed
  // to the user; the user's data folder is the user's own.
  void InstallReadOnly() {
    fs::create_directories(program / "firmware");
    WriteFile(program / "firmware/update.bat", "shipped script\n");
    const auto readOnly = fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                          fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec;
    fs::permissions(program / "firmware", readOnly);
    fs::permissions(program, readOnly);
    fs::permissions(userData.parent_path(), fs::perms::all);
  }

  static std::string Folder() { return FirmwareFolder().toStdString(); }

  QTemporaryDir programDir;
  QTemporaryDir userDir;
  fs::path program;
  fs::path userData;

 private:
  QByteArray savedDataHome_;
};

}  // namespace

TEST_F(FirmwareFolderTest, IsTheProgramFoldersOwnWhileItCanBeWritten) {
  fs::create_directories(program / "firmware");
  EXPECT_EQ(Folder(), (program / "firmware").string());
  EXPECT_FALSE(fs::exists(userData));
}

TEST_F(FirmwareFolderTest, IsMadeInTheProgramFolderWhenMissing) {
  EXPECT_EQ(Folder(), (program / "firmware").string());
  EXPECT_TRUE(fs::is_directory(program / "firmware"));
}

TEST_F(FirmwareFolderTest, OfAnInstalledProgramIsTheUsersOwnWithACopyOfTheShippedScript) {
  InstallReadOnly();
  EXPECT_EQ(RunUnprivileged(Folder), (userData / "vellamo/firmware").string());
  EXPECT_EQ(ReadFile(userData / "vellamo/firmware/update.bat"), "shipped script\n");
}

TEST_F(FirmwareFolderTest, KeepsAScriptTheUserAdaptedInTheUsersFolder) {
  InstallReadOnly();
  EXPECT_EQ(RunUnprivileged(Folder), (userData / "vellamo/firmware").string());
  fs::permissions(userData / "vellamo/firmware/update.bat", fs::perms::all);
  WriteFile(userData / "vellamo/firmware/update.bat", "my own flashing\n");
  EXPECT_EQ(RunUnprivileged(Folder), (userData / "vellamo/firmware").string());
  EXPECT_EQ(ReadFile(userData / "vellamo/firmware/update.bat"), "my own flashing\n");
}

TEST_F(FirmwareFolderTest, TheImageReplacesAnOlderLongerOneByteForByte) {
  fs::create_directories(program / "firmware");
  std::string image;
  for (int i = 0; i < 256; ++i) image += char(i);
  image += ":100000000C9434000C943E000C943E000C943E0082\r\n";
  WriteFile(program / "chosen.hex", image);
  WriteFile(program / "firmware/update.hex", std::string(4096, 'x'));
  EXPECT_TRUE(PlaceFirmwareImage(QString::fromStdString((program / "chosen.hex").string()),
                                 QString::fromStdString((program / "firmware").string())));
  EXPECT_EQ(ReadFile(program / "firmware/update.hex"), image);
}

TEST_F(FirmwareFolderTest, ChoosingThePlacedImageItselfKeepsIt) {
  fs::create_directories(program / "firmware");
  WriteFile(program / "firmware/update.hex", ":00000001FF\r\n");
  EXPECT_TRUE(PlaceFirmwareImage(QString::fromStdString((program / "firmware/update.hex").string()),
                                 QString::fromStdString((program / "firmware").string())));
  EXPECT_EQ(ReadFile(program / "firmware/update.hex"), ":00000001FF\r\n");
}

TEST_F(FirmwareFolderTest, AnImageThatCannotBeReadIsNotPlaced) {
  fs::create_directories(program / "firmware");
  EXPECT_FALSE(PlaceFirmwareImage(QString::fromStdString((program / "gone.hex").string()),
                                  QString::fromStdString((program / "firmware").string())));
  EXPECT_FALSE(fs::exists(program / "firmware/update.hex"));
}
