#include "speech/monitorjudge.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

constexpr int kRate = 1000;  // one sample per millisecond keeps the cases readable

// The stream's data: `loudMs` of a half-scale tone, `pauseMs` of silence, repeated.
std::vector<std::int16_t> Data(int totalMs, int pauseAtMs = -1, int pauseMs = 0) {
  std::vector<std::int16_t> pcm(static_cast<std::size_t>(totalMs), 16384);
  for (int ms = pauseAtMs; pauseAtMs >= 0 && ms < pauseAtMs + pauseMs; ++ms) pcm[static_cast<std::size_t>(ms)] = 0;
  return pcm;
}

struct MonitorCase {
  const char* name;
  double volume;         // the sink's linear volume; negative: not yet known
  int pauseAtMs;         // a pause in the data, -1 for none
  int pauseMs;
  std::vector<int> silentRunsMs;  // monitor silences, each between sound
  bool interrupted;
};

class MonitorJudgeCase : public testing::TestWithParam<MonitorCase> {};

// The monitor is heard in 10 ms reads, each when the stream has played up to
// its end; the sound heard sits at 1000 ms of the data, far from its edges.
TEST_P(MonitorJudgeCase, TellsAnInterruptionOnlyWhereTheDataWasAudible) {
  const MonitorCase c = GetParam();
  MonitorJudge judge;
  const std::vector<std::int16_t> data = Data(5000, c.pauseAtMs, c.pauseMs);
  judge.Written(data.data(), data.size(), 1, kRate);
  judge.SetVolume(c.volume);
  std::int64_t played = 1000;
  const std::vector<float> sound(10, 0.25f), silence(10, 0.0f);
  auto hear = [&](const std::vector<float>& block) {
    judge.Heard(block.data(), block.size(), kRate, 1, played);
    played += 10;
  };
  for (const int run : c.silentRunsMs) {
    hear(sound);
    for (int ms = 0; ms < run; ms += 10) hear(silence);
  }
  hear(sound);
  EXPECT_EQ(judge.Interrupted(), c.interrupted);
}

INSTANTIATE_TEST_SUITE_P(
    , MonitorJudgeCase,
    testing::Values(
        MonitorCase{"FiftyMillisecondsOfSilenceAreAnInterruption", 1.0, -1, 0, {50}, true},
        MonitorCase{"LessIsNot", 1.0, -1, 0, {40}, false},
        MonitorCase{"SoundBetweenShortSilencesStartsTheCountAgain", 1.0, -1, 0, {40, 40, 40}, false},
        MonitorCase{"APauseInTheDataExplainsTheSilence", 1.0, 1000, 200, {300}, false},
        MonitorCase{"APauseJustBehindThePositionExplainsItToo", 1.0, 700, 50, {250}, false},
        MonitorCase{"DataTooQuietForTheSinksVolumeIsNotJudged", 0.0001, -1, 0, {300}, false},
        MonitorCase{"AtALowButAudibleVolumeItIs", 0.001, -1, 0, {50}, true},
        MonitorCase{"NothingIsJudgedBeforeTheVolumeIsKnown", -1.0, -1, 0, {300}, false},
        MonitorCase{"AMutedMonitorIsNotJudged", 0.0, -1, 0, {300}, false}),
    [](const testing::TestParamInfo<MonitorCase>& info) { return info.param.name; });

// Near the end of what has been written the data ahead is not known: a
// silence there may be the data's own end.
TEST(MonitorJudge, JudgesNothingBeyondWhatWasWritten) {
  MonitorJudge judge;
  const std::vector<std::int16_t> data = Data(1000);
  judge.Written(data.data(), data.size(), 1, kRate);
  judge.SetVolume(1.0);
  const std::vector<float> silence(500, 0.0f);
  EXPECT_FALSE(judge.Heard(silence.data(), silence.size(), kRate, 1, 900));
  EXPECT_TRUE(judge.Heard(silence.data(), silence.size(), kRate, 1, 700));
}

}  // namespace
