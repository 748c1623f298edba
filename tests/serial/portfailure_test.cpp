// The status bar's reasons for a port that is not connected, in the user's words.
#include "serial/portfailure.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QTemporaryDir>
#include <cerrno>

TEST(OpenFailureText, NamesTheCauseInTheUsersWords) {
  const QString port = "/dev/ttyACM0";
  EXPECT_TRUE(PortFailure::OpenFailureText(port, ENOENT).contains("gibt es nicht"));
  EXPECT_TRUE(PortFailure::OpenFailureText(port, ENXIO).contains("gibt es nicht"));
  EXPECT_TRUE(PortFailure::OpenFailureText(port, EBUSY).contains("anderes Programm"));
  EXPECT_TRUE(PortFailure::OpenFailureText(port, ENOTTY).contains("kein serieller Port"));
  EXPECT_TRUE(PortFailure::OpenFailureText(port, EIO).contains("Fehler 5"));
  for (int code : {ENOENT, EACCES, EBUSY, EIO})
    EXPECT_TRUE(PortFailure::OpenFailureText(port, code).startsWith(port));
}

// A refused open is explained by the device file's real owner, group and
// mode: joining a group is advised only where that group may read and write,
// and never the group root.
TEST(OpenFailureText, ARefusedAccessIsExplainedByTheNodesOwnerGroupAndMode) {
  struct Case {
    const char* name;
    PortFailure::DeviceNode node;
    const char* said;     // in the text
    const char* notSaid;  // never in it
  };
  const Case cases[] = {
      {"group may use it",
       {true, "root", "dialout", S_IFCHR | 0660},
       "Mitglied der Gruppe \"dialout\"",
       "Administrator"},
      {"another group", {true, "root", "uucp", S_IFCHR | 0660}, "sudo adduser $USER uucp", "dialout"},
      {"group root", {true, "root", "root", S_IFCHR | 0660}, "Gruppe root, Rechte crw-rw----", "adduser"},
      {"mode 000", {true, "root", "root", S_IFCHR | 0000}, "Rechte c---------", "dialout"},
      {"group may only read", {true, "clock", "dialout", S_IFCHR | 0640}, "Besitzer clock", "adduser"},
      {"not looked at", {}, "Zugriff verweigert.", "dialout"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const QString text = PortFailure::OpenFailureText("/dev/ttyACM0", EACCES, c.node);
    EXPECT_TRUE(text.contains("Zugriff verweigert")) << text.toStdString();
    EXPECT_TRUE(text.contains(c.said)) << text.toStdString();
    EXPECT_FALSE(text.contains(c.notSaid)) << text.toStdString();
  }
}

TEST(DeviceNodeOf, ReadsTheFilesOwnerGroupAndModeThroughALink) {
  QTemporaryDir folder;
  const QString file = folder.filePath("node");
  QFile(file).open(QIODevice::WriteOnly);
  ASSERT_EQ(chmod(QFile::encodeName(file).constData(), 0604), 0);
  ASSERT_TRUE(QFile::link(file, folder.filePath("link")));
  const PortFailure::DeviceNode node = PortFailure::NodeOf(folder.filePath("link"));
  ASSERT_TRUE(node.found);
  EXPECT_EQ(PortFailure::ModeText(node.mode), "-rw----r--");
  EXPECT_EQ(node.owner, QString::fromLocal8Bit(getpwuid(getuid())->pw_name));
  EXPECT_EQ(node.group, QString::fromLocal8Bit(getgrgid(getgid())->gr_name));
  EXPECT_FALSE(PortFailure::NodeOf(folder.filePath("none")).found);
}

TEST(DeviceGone, IsTheStatusCheckFailingWithAnInputOutputError) {
  EXPECT_TRUE(PortFailure::IsDeviceGone(PortFailure::kStatusCheckPlace, EIO));
  EXPECT_FALSE(PortFailure::IsDeviceGone(PortFailure::kStatusCheckPlace, EBADF));
  EXPECT_FALSE(PortFailure::IsDeviceGone(9804, EIO));
  const QString text = PortFailure::DisconnectedText("/dev/ttyUSB0");
  EXPECT_TRUE(text.contains("/dev/ttyUSB0"));
  EXPECT_TRUE(text.contains("getrennt"));
  EXPECT_TRUE(text.contains("von selbst wieder"));
  EXPECT_TRUE(text.contains("Einstellungen > Com Port"));
}
