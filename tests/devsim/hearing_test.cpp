// The simulator's hearing mode against the tests' private null sink: sound played
// through the real audio layer is what the simulated device hears on its input.
#include <gmock/gmock.h>

#include <QFile>
#include <QTemporaryDir>
#include <chrono>
#include <cmath>
#include <mutex>
#include <string>
#include <vector>

#include "devsim/devicesimulator.h"
#include "slaveclient.h"
#include "speech/audio.h"
#include "tests/speech/soundtestsupport.h"

using namespace std::chrono_literals;

namespace {

TEST(HearingMapping, SilenceReadsTheFloorAndFullScaleReadsAboutAThousand) {
  const devsim::HearingOptions defaults;
  EXPECT_EQ(devsim::LevelReading(0.0, defaults), 5);
  EXPECT_EQ(devsim::LevelReading(1.0, defaults), 1000);
  EXPECT_EQ(devsim::LevelReading(0.5, defaults), 503);
  // A tone at output volume 4096 reaches the input at (4096 / 65536)^3 of its level.
  EXPECT_EQ(devsim::LevelReading(std::pow(4096.0 / 65536.0, 3), defaults), 5);

  devsim::HearingOptions loud;
  loud.floorReading = 20;
  loud.fullScaleReading = 1023;
  EXPECT_EQ(devsim::LevelReading(0.0, loud), 20);
  EXPECT_EQ(devsim::LevelReading(1.0, loud), 1023);
  loud.fullScaleReading = 800;
  EXPECT_EQ(devsim::LevelReading(0.5, loud), 410);
}

class Hearing : public ::testing::Test {
 protected:
  std::unique_ptr<SinkLock> sink;
  std::uint32_t savedVolume = 0;
  QTemporaryDir folder;
  std::mutex notesMutex;
  std::vector<std::string> notes;
  std::unique_ptr<devsim::DeviceSimulator> sim;
  std::unique_ptr<SlaveClient> client;
  StreamHandle stream = 0;

  void SetUp() override {
    SKIP_WITHOUT_SOUND_SERVER();
    // The level heard depends on the output volume and on everything the sink plays.
    sink = std::make_unique<SinkLock>(SinkLock::Exclusive);
    savedVolume = GetOutputVolume();
    devsim::Options options;
    options.hearing.emplace();
    options.observer = [this](const std::string& line) {
      std::lock_guard lock(notesMutex);
      notes.push_back(line);
    };
    sim = std::make_unique<devsim::DeviceSimulator>(options);
    client = std::make_unique<SlaveClient>(sim->PortPath());
  }
  void TearDown() override {
    StopPlayback(stream);
    client.reset();
    sim.reset();
    if (sink) RestoreOutputVolume(savedVolume);
  }

  QString File(const char* name) const { return folder.filePath(name); }

  std::string Ask(char command) {
    client->Write(std::string(1, command));
    std::string answer;
    const auto end = std::chrono::steady_clock::now() + 3s;
    while (answer.find("\r\n") == std::string::npos && std::chrono::steady_clock::now() < end) {
      answer += client->Read(1, 100ms);
    }
    return answer;
  }
  int Level() { return std::stoi(Ask('B')); }

  // Plays `path` and waits until at least `ms` of it have sounded, so that the
  // last 200 ms heard lie inside it.
  void PlayFor(const QString& path, int ms) {
    PlayFile(stream, path);
    ASSERT_NE(stream, 0u);
    const std::uint32_t bytes = std::uint32_t(44100) * 4 * std::uint32_t(ms) / 1000;
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (StreamPosition(stream) < bytes && std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(5ms);
    }
    ASSERT_GE(StreamPosition(stream), bytes);
    ASSERT_TRUE(IsPlaying(stream));
  }
};

TEST_F(Hearing, SilenceReadsTheNoiseFloorNeverZero) {
  ASSERT_TRUE(SetOutputVolume(65536));
  ASSERT_TRUE(WriteToneBetweenSilences(File("silence.wav"), 0.0, 2000, 0, 0));
  PlayFor(File("silence.wav"), 600);
  EXPECT_EQ(Level(), 5);
}

TEST_F(Hearing, AFullScaleToneReadsHighAtFullVolumeAndFollowsTheCubeOfTheVolume) {
  ASSERT_TRUE(WriteToneBetweenSilences(File("tone.wav"), 1.0, 0, 20000, 0));
  ASSERT_TRUE(SetOutputVolume(65536));
  PlayFor(File("tone.wav"), 600);
  EXPECT_GE(Level(), 950);

  // Half the volume is an eighth of the level: 5 + 995 / 8.
  ASSERT_TRUE(SetOutputVolume(32768));
  const auto played = StreamPosition(stream);
  while (StreamPosition(stream) < played + 44100 * 4 / 2) std::this_thread::sleep_for(5ms);
  const int half = Level();
  EXPECT_GE(half, 110);
  EXPECT_LE(half, 150);

  ASSERT_TRUE(SetOutputVolume(4096));
  const auto playedLow = StreamPosition(stream);
  while (StreamPosition(stream) < playedLow + 44100 * 4 / 2) std::this_thread::sleep_for(5ms);
  EXPECT_LE(Level(), 6) << "far below the floor at the sequence's first trial volume";
  EXPECT_TRUE(IsPlaying(stream));
}

TEST_F(Hearing, ARecordingMeasuresTheSpanOfSoundBetweenIAndJ) {
  ASSERT_TRUE(SetOutputVolume(65536));
  ASSERT_TRUE(WriteToneBetweenSilences(File("word.wav"), 0.5, 400, 1200, 400));
  // What an earlier test played may still be sounding from the sink's buffers.
  const auto quiet = std::chrono::steady_clock::now() + 10s;
  while (Level() != 5 && std::chrono::steady_clock::now() < quiet) std::this_thread::sleep_for(20ms);
  ASSERT_EQ(Level(), 5);
  ASSERT_EQ(Ask('I'), "+\r\n");
  PlayFile(stream, File("word.wav"));
  ASSERT_NE(stream, 0u);
  const auto end = std::chrono::steady_clock::now() + 20s;
  while (IsPlaying(stream) && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(5ms);
  ASSERT_FALSE(IsPlaying(stream));
  ASSERT_EQ(Ask('J'), "+\r\n");

  // A second recording in which nothing plays.
  ASSERT_EQ(Ask('I'), "+\r\n");
  ASSERT_EQ(Ask('J'), "+\r\n");

  ASSERT_TRUE(sim->WaitForHeardRecordings(2, 10s));
  const std::vector<devsim::HeardRecording> heard = sim->HeardRecordings();
  ASSERT_EQ(heard.size(), 2u);
  EXPECT_EQ(heard[0].number, 1);
  EXPECT_TRUE(heard[0].soundHeard);
  EXPECT_NEAR(double(heard[0].span.count()), 1200.0, 100.0);
  EXPECT_GE(heard[0].firstSound, 300ms) << "the file's leading silence";
  EXPECT_EQ(heard[1].number, 2);
  EXPECT_FALSE(heard[1].soundHeard);

  std::lock_guard lock(notesMutex);
  EXPECT_THAT(notes, ::testing::Contains(::testing::StartsWith("heard recording 1: sound for 1.")));
  EXPECT_THAT(notes, ::testing::Contains(std::string("heard recording 2: no sound")));
}

TEST_F(Hearing, ScriptedLevelsStillWinOverWhatIsHeard) {
  sim->SetValues('B', {119});
  EXPECT_EQ(Level(), 119);
  sim->ResetAnswer('B');
  EXPECT_NE(Level(), 119);
}

}  // namespace
