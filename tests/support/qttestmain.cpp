// gtest entry for tests that need Qt: a QApplication on the offscreen platform,
// so windows, timers and queued deliveries work without a display.
#include <gmock/gmock.h>

#include <QApplication>
#include <cstdio>

#include "ui/messagebox.h"
#include "tests/support/privatelockdir.h"

int main(int argc, char** argv) {
  const PrivateLockDir locks;
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  // A modal box would wait for ever for a click; tests that expect one set a
  // hook of their own.
  SetMessageHook([](const QString& text, MessageKind) {
    std::fprintf(stderr, "message box: %s\n", qPrintable(text));
  });
  testing::InitGoogleMock(&argc, argv);
  return RUN_ALL_TESTS();
}
