#pragma once
// Each test process gets a lock folder of its own, unless one is given. CTest
// runs two tests at a time, and copies in both would otherwise hold the one
// sound output against each other (both play on the tests' sound server).
// The processes a test starts inherit it: a test of two copies refusing each
// other still sees one lock.

#include <QFile>
#include <QTemporaryDir>
#include <memory>

inline std::unique_ptr<QTemporaryDir> UsePrivateLockFolder() {
  if (qEnvironmentVariableIsSet("VELLAMO_LOCK_DIR")) return nullptr;
  auto folder = std::make_unique<QTemporaryDir>();
  if (folder->isValid()) qputenv("VELLAMO_LOCK_DIR", QFile::encodeName(folder->path()));
  return folder;
}
