// The program's levels against mixer ranges of every size.

#include <gtest/gtest.h>

#include <cstdlib>
#include <ostream>
#include <string>

#include "speech/volumescale.h"

namespace {

struct Range {
  long min;
  long max;
};
void PrintTo(const Range& range, std::ostream* out) { *out << range.min << ".." << range.max; }

class VolumeScale : public ::testing::TestWithParam<Range> {};

TEST_P(VolumeScale, EndsOfTheRangeAndClamping) {
  const auto [min, max] = GetParam();
  EXPECT_EQ(VolumeToElement(0, min, max), min);
  EXPECT_EQ(VolumeToElement(65536, min, max), max);
  EXPECT_EQ(VolumeToElement(65537, min, max), max);
  EXPECT_EQ(VolumeToElement(0xffffffffu, min, max), max);
  EXPECT_EQ(ElementToVolume(min, min, max), 0u);
  EXPECT_EQ(ElementToVolume(max, min, max), 65536u);
  EXPECT_EQ(ElementToVolume(max + 5, min, max), 65536u);
  EXPECT_EQ(ElementToVolume(min - 5, min, max), 0u);
}

TEST_P(VolumeScale, EveryRawValueSurvivesTheRoundTrip) {
  const auto [min, max] = GetParam();
  for (long raw = min; raw <= max; ++raw)
    ASSERT_EQ(VolumeToElement(ElementToVolume(raw, min, max), min, max), raw) << raw;
}

TEST_P(VolumeScale, RisingValuesNeverLowerTheElement) {
  const auto [min, max] = GetParam();
  long previous = min;
  for (std::uint32_t value = 0; value <= 65536; value += 17) {
    long raw = VolumeToElement(value, min, max);
    ASSERT_GE(raw, previous) << value;
    previous = raw;
  }
}

INSTANTIATE_TEST_SUITE_P(MixerRanges, VolumeScale,
                         ::testing::Values(Range{0, 65536},  // PulseAudio's Master
                                           Range{0, 31}, Range{0, 87}, Range{0, 255}, Range{-46, 0},
                                           Range{100, 65635}, Range{0, 65535}),
                         [](const auto& info) {
                           return "From" + std::string(info.param.min < 0 ? "Minus" : "") +
                                  std::to_string(std::labs(info.param.min)) + "To" +
                                  std::to_string(info.param.max);
                         });

TEST(VolumeScaleOnPulseAudio, ValuesMapOneToOne) {
  for (std::uint32_t value : {0u, 1u, 4096u, 16384u, 32768u, 65535u, 65536u})
    EXPECT_EQ(VolumeToElement(value, 0, 65536), long(value));
}

TEST(VolumeScaleOnSmallRanges, AlmostTheTopStillReachesIt) {
  EXPECT_EQ(VolumeToElement(65535, 0, 87), 87);
  EXPECT_EQ(VolumeToElement(32768, 0, 100), 50);
}

}  // namespace
