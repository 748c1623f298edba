// What a clock still owes, kept beside its port for the next run: it binds the
// device node it was written for, not the name, so that a clock swapped in
// under the same name (or a pty handed out again) starts with nothing owed.

#include "link/owedstore.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

class OwedStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "vellamo-owed-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    folder_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }
  std::string MakeNode(const std::string& name) const {
    const std::string path = folder_ + "/" + name;
    std::ofstream(path) << name;
    return path;
  }
  std::string folder_;
};

TEST_F(OwedStoreTest, ARecordHoldsForItsOwnNodeOnlyAndUntilItExpires) {
  const std::string port = MakeNode("ttyACM0");
  const OwedStore store(folder_ + "/records");
  ASSERT_TRUE(store.Save(port, {{'K', 1000, 5000}, {'A', 1000, 2000}}));

  const auto owed = store.Load(port, 3000);
  ASSERT_EQ(owed.size(), 1u);  // the short debt has expired by then
  EXPECT_EQ(owed[0].letter, 'K');
  EXPECT_EQ(owed[0].expiresMs, 5000);

  // Another clock appears under the same name: both nodes exist at once here,
  // so they cannot share an identity by chance.
  const std::string other = MakeNode("swapped");
  std::filesystem::rename(other, port);
  EXPECT_TRUE(store.Load(port, 3000).empty());
}

TEST_F(OwedStoreTest, NothingIsRecordedForANodeThatIsGone) {
  const std::string port = MakeNode("ttyACM1");
  const OwedStore store(folder_ + "/records");
  ASSERT_TRUE(store.Save(port, {{'K', 1000, 5000}}));
  std::filesystem::remove(port);
  EXPECT_FALSE(store.Save(port, {{'K', 1000, 6000}}));
  EXPECT_FALSE(std::filesystem::exists(store.FileFor(port)));
}

}  // namespace
