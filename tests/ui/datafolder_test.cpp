// Where the program looks for its data: beside itself in a program folder,
// in the installed data folder when installed.
#include "ui/datafolder.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>

namespace {

class DataFolderTest : public ::testing::Test {
 protected:
  // Makes a folder below the temporary one and returns it with a trailing '/'.
  QString Make(const QString& relative) {
    EXPECT_TRUE(QDir(dir_.path()).mkpath(relative));
    return dir_.path() + '/' + relative + '/';
  }
  QTemporaryDir dir_;
};

TEST_F(DataFolderTest, InstalledExecutableUsesTheDataFolderOfItsPrefix) {
  const QString bin = Make("usr/bin");
  const QString data = Make("usr/share/vellamo");
  EXPECT_EQ(DataFolderFor(bin), data);
}

TEST_F(DataFolderTest, ProgramFolderUsesTheDataBesideItEvenNextToAnInstalledDataFolder) {
  // A program folder named "bin" whose prefix also has an installed share/vellamo/.
  const QString bin = Make("usr/bin");
  Make("usr/bin/speechset");
  Make("usr/share/vellamo");
  EXPECT_EQ(DataFolderFor(bin), bin);
}

TEST_F(DataFolderTest, WithoutDataAnywhereTheExecutablesFolderIsWhereFilesAreLookedFor) {
  const QString bin = Make("usr/bin");
  EXPECT_EQ(DataFolderFor(bin), bin);
}

}  // namespace
