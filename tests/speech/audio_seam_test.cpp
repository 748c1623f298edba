// The rules of the audio operations, on a fake output whose state the test sets.

#include <gtest/gtest.h>

#include <vector>

#include "speech/audio.h"
#include "tests/speech/fakeaudiooutput.h"
#include "ui/messagebox.h"

namespace {

class AudioOnFakeOutput : public ::testing::Test {
 protected:
  void SetUp() override {
    UseAudioOutput(&fake_);
    previousHook_ = SetMessageHook([this](const QString& text, MessageKind kind) {
      messages_.push_back(text);
      kinds_.push_back(kind);
    });
  }
  void TearDown() override {
    UseAudioOutput(nullptr);
    SetMessageHook(previousHook_);
  }
  MessageHook previousHook_;

  FakeAudioOutput fake_;
  std::vector<QString> messages_;
  std::vector<MessageKind> kinds_;
};

TEST_F(AudioOnFakeOutput, InitAudioWithoutOutputSaysSoOncePerCallAndRetriesEachTime) {
  fake_.available = false;
  InitAudio();
  InitAudio();
  ASSERT_EQ(messages_.size(), 2u);
  EXPECT_EQ(messages_[0], QString("Audioausgabe nicht gefunden"));
  EXPECT_EQ(kinds_[0], MessageKind::Error);
  EXPECT_EQ(fake_.openCalls, 2);

  // A sound server started later is used by the next PlayFile.
  fake_.available = true;
  StreamHandle stream = 0;
  PlayFile(stream, "resources\\tone.mp3");
  EXPECT_NE(stream, 0u);
  EXPECT_EQ(messages_.size(), 2u) << "PlayFile never shows a message";
}

TEST_F(AudioOnFakeOutput, InitAudioWithOutputShowsNothing) {
  InitAudio();
  EXPECT_TRUE(messages_.empty());
}

TEST_F(AudioOnFakeOutput, PlayFileFreesThePreviousStreamFirstAndOpensBackslashPathsAsFolders) {
  StreamHandle stream = 0;
  PlayFile(stream, "/prog/speechset\\deutsch\\es_ist.wav");
  const StreamHandle first = stream;
  ASSERT_NE(first, 0u);
  EXPECT_TRUE(fake_.freed.empty()) << "handle 0 frees nothing";

  PlayFile(stream, "/prog/resources\\tone.mp3");
  EXPECT_EQ(fake_.freed, std::vector<StreamHandle>{first});
  EXPECT_NE(stream, first);
  EXPECT_EQ(fake_.played,
            (std::vector<std::string>{"/prog/speechset/deutsch/es_ist.wav", "/prog/resources/tone.mp3"}));
  EXPECT_EQ(fake_.streams.size(), 1u) << "a dialog never sounds twice";
}

TEST_F(AudioOnFakeOutput, UnplayableFileLeavesHandleZeroAfterStoppingTheOldStream) {
  StreamHandle stream = 0;
  PlayFile(stream, "/prog/a.wav");
  const StreamHandle old = stream;
  fake_.unreadable.insert("/prog/b.wav");
  PlayFile(stream, "/prog/b.wav");
  EXPECT_EQ(stream, 0u);
  EXPECT_EQ(fake_.freed, std::vector<StreamHandle>{old});
  EXPECT_FALSE(IsPlaying(stream));
}

TEST_F(AudioOnFakeOutput, PlayingLengthAndPositionFollowTheOutput) {
  StreamHandle stream = 0;
  PlayFile(stream, "/prog/a.wav");
  fake_.streams[stream].length = 80000;
  fake_.streams[stream].position = 20000;
  EXPECT_TRUE(IsPlaying(stream));
  EXPECT_EQ(StreamLength(stream), 80000u);
  EXPECT_EQ(StreamPosition(stream), 20000u);
  fake_.Finish(stream);
  EXPECT_FALSE(IsPlaying(stream));
  EXPECT_EQ(StreamPosition(stream), 80000u);
}

TEST_F(AudioOnFakeOutput, EndedEarlyTellsACutStreamFromOneThatFinished) {
  StreamHandle cut = 0;
  StreamHandle finished = 0;
  PlayFile(cut, "/prog/a.wav");
  PlayFile(finished, "/prog/b.wav");
  EXPECT_FALSE(EndedEarly(cut)) << "a playing stream was not cut";
  fake_.Cut(cut);
  fake_.Finish(finished);
  EXPECT_FALSE(IsPlaying(cut));
  EXPECT_TRUE(EndedEarly(cut));
  EXPECT_FALSE(EndedEarly(finished));
  EXPECT_FALSE(EndedEarly(0));
}

TEST_F(AudioOnFakeOutput, LengthAndPositionKeepTheirLow32Bits) {
  StreamHandle stream = 0;
  PlayFile(stream, "/prog/long.wav");
  fake_.streams[stream].length = 0x1'0000'0300ull;
  fake_.streams[stream].position = 0x1'0000'0100ull;
  EXPECT_EQ(StreamLength(stream), 0x300u);
  EXPECT_EQ(StreamPosition(stream), 0x100u);
}

TEST_F(AudioOnFakeOutput, StopPlaybackFreesAndClearsAndIgnoresZero) {
  StreamHandle stream = 0;
  StopPlayback(stream);
  EXPECT_TRUE(fake_.freed.empty());
  PlayFile(stream, "/prog/a.wav");
  const StreamHandle old = stream;
  StopPlayback(stream);
  EXPECT_EQ(stream, 0u);
  EXPECT_EQ(fake_.freed, std::vector<StreamHandle>{old});
}

}  // namespace
