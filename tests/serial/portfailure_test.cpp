// The status bar's reasons for a port that is not connected, in the user's words.
#include "serial/portfailure.h"

#include <gtest/gtest.h>

#include <cerrno>

TEST(OpenFailureText, NamesTheCauseInTheUsersWords) {
  const QString port = "/dev/ttyACM0";
  EXPECT_TRUE(PortFailure::OpenFailureText(port, ENOENT).contains("gibt es nicht"));
  EXPECT_TRUE(PortFailure::OpenFailureText(port, ENXIO).contains("gibt es nicht"));
  const QString denied = PortFailure::OpenFailureText(port, EACCES, "dialout");
  EXPECT_TRUE(denied.contains("Zugriff verweigert"));
  EXPECT_TRUE(denied.contains("\"dialout\""));
  EXPECT_TRUE(denied.contains("anmelden"));
  EXPECT_TRUE(PortFailure::OpenFailureText(port, EACCES, "uucp").contains("\"uucp\""));
  EXPECT_TRUE(PortFailure::OpenFailureText(port, EACCES).contains("\"dialout\""));
  EXPECT_TRUE(PortFailure::OpenFailureText(port, EBUSY).contains("anderes Programm"));
  EXPECT_TRUE(PortFailure::OpenFailureText(port, ENOTTY).contains("kein serieller Port"));
  EXPECT_TRUE(PortFailure::OpenFailureText(port, EIO).contains("Fehler 5"));
  for (int code : {ENOENT, EACCES, EBUSY, EIO})
    EXPECT_TRUE(PortFailure::OpenFailureText(port, code).startsWith(port));
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
