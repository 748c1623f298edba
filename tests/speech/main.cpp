#include <gtest/gtest.h>

#include <QCoreApplication>

#include "tests/support/privatelockdir.h"

int main(int argc, char** argv) {
  const PrivateLockDir locks;
  // QProcess and the program folder want an application object; no window is
  // shown, message boxes are intercepted by the tests.
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
