// Data paths as the speech dialogs and stored speech sets write them, mapped to
// this system's files: "\" separates folders, and a name Windows would find in
// another case is found here too.

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "speech/audio.h"
#include "tests/speech/soundtestsupport.h"
#include "ui/programfolder.h"

namespace {

class LocalPathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(folder_.isValid());
    root_ = folder_.path() + '/';
  }
  void Make(const QString& relative) {
    const QString path = root_ + relative;
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
  }
  QTemporaryDir folder_;
  QString root_;
};

TEST_F(LocalPathTest, BackslashesBecomeFolderSeparators) {
  Make("speechset/deutsch/eins.wav");
  EXPECT_EQ(LocalPath(root_ + "speechset\\deutsch\\eins.wav"), root_ + "speechset/deutsch/eins.wav");
}

TEST_F(LocalPathTest, ANameInAnotherCaseIsFoundInEveryFolder) {
  Make("SpeechSet/Deutsch/Eins.WAV");
  EXPECT_EQ(LocalPath(root_ + "speechset\\deutsch\\eins.wav"), root_ + "SpeechSet/Deutsch/Eins.WAV");
}

TEST_F(LocalPathTest, TheExactNameWinsOverOneInAnotherCase) {
  Make("speechset/Eins.wav");
  Make("speechset/eins.wav");
  EXPECT_EQ(LocalPath(root_ + "speechset\\eins.wav"), root_ + "speechset/eins.wav");
  EXPECT_EQ(LocalPath(root_ + "speechset\\Eins.wav"), root_ + "speechset/Eins.wav");
}

TEST_F(LocalPathTest, AMissingFileComesBackAsWritten) {
  Make("speechset/deutsch/eins.wav");
  EXPECT_EQ(LocalPath(root_ + "SPEECHSET\\deutsch\\zwei.wav"), root_ + "SPEECHSET/deutsch/zwei.wav");
  EXPECT_EQ(LocalPath(root_ + "soundset\\a.wav"), root_ + "soundset/a.wav");
}

TEST(LocalPathOnSound, APathInMixedCaseWithBackslashesPlaysTheFileOfTheOtherCase) {
  SKIP_WITHOUT_SOUND_SERVER();
  SinkLock lock(SinkLock::Shared);
  QTemporaryDir folder;
  ASSERT_TRUE(folder.isValid());
  ASSERT_TRUE(QDir(folder.path()).mkpath("Speechset/Deutsch"));
  ASSERT_TRUE(QFile::copy(SourceDataFolder() + "speechset/deutsch/guten_morgen.wav",
                          folder.path() + "/Speechset/Deutsch/Guten_Morgen.WAV"));
  StreamHandle stream = 0;
  PlayFile(stream, folder.path() + "/speechset\\deutsch\\guten_morgen.wav");
  EXPECT_NE(stream, 0u);
  EXPECT_TRUE(IsPlaying(stream));
  EXPECT_GT(StreamLength(stream), 0u);
  StopPlayback(stream);
}

}  // namespace
