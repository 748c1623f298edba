// Waiting for a pulled device's path to come back, in a temporary folder that
// stands in for /dev, /dev/serial/by-id and the virtual-port folder.
#include "serial/portreturn.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <filesystem>
#include <fstream>

#include "tests/support/eventwait.h"

namespace fs = std::filesystem;

namespace {

struct ReturnWatch {
  QTemporaryDir dir;
  fs::path root = dir.path().toStdString();
  int calls = 0;
  std::unique_ptr<PortReturnWatch> watch;

  void Watch(const fs::path& path) {
    watch = std::make_unique<PortReturnWatch>(path.string(), [this] { ++calls; });
  }
  static void Touch(const fs::path& path) { std::ofstream(path) << ""; }
};

TEST(PortReturn, AMissingPathIsReportedOnceItIsThere) {
  ReturnWatch r;
  r.Watch(r.root / "ttyACM0");
  ReturnWatch::Touch(r.root / "ttyUSB0");  // another device
  EXPECT_FALSE(ProcessUntil([&] { return r.calls > 0; }, 300));
  ReturnWatch::Touch(r.root / "ttyACM0");
  EXPECT_TRUE(ProcessUntil([&] { return r.calls > 0; }, kFaultMs));
}

TEST(PortReturn, ANodeStillThereCountsOnlyAfterItHasGoneAndComeBack) {
  ReturnWatch r;
  const fs::path node = r.root / "ttyACM0";
  ReturnWatch::Touch(node);
  r.Watch(node);
  fs::permissions(node, fs::perms::owner_read, fs::perm_options::replace);  // a change, still there
  EXPECT_FALSE(ProcessUntil([&] { return r.calls > 0; }, 300));
  fs::remove(node);
  ReturnWatch::Touch(node);
  EXPECT_TRUE(ProcessUntil([&] { return r.calls > 0; }, kFaultMs));
}

TEST(PortReturn, ALinkWhoseTargetIsGoneIsMissingUntilItLeadsToADeviceAgain) {
  ReturnWatch r;
  const fs::path link = r.root / "vellamo-devsim-1";
  fs::create_symlink(r.root / "pts-gone", link);
  r.Watch(link);
  ReturnWatch::Touch(r.root / "pts-new");
  fs::create_symlink(r.root / "pts-new", r.root / "fresh");
  fs::rename(r.root / "fresh", link);
  EXPECT_TRUE(ProcessUntil([&] { return r.calls > 0; }, kFaultMs));
}

TEST(PortReturn, AFolderOnTheWayThatIsMissingIsWaitedForToo) {
  ReturnWatch r;
  // As udev removes /dev/serial/by-id with the last link in it.
  const fs::path link = r.root / "serial/by-id/usb-Clock_1234-if00";
  r.Watch(link);
  fs::create_directories(link.parent_path());
  ReturnWatch::Touch(r.root / "ttyACM0");
  fs::create_symlink(r.root / "ttyACM0", link);
  EXPECT_TRUE(ProcessUntil([&] { return r.calls > 0; }, kFaultMs));
}

}  // namespace
