#include "speech/volumescale.h"

#include <algorithm>

// Rounded to the nearest step; 64-bit products cannot overflow for any range a
// mixer reports (value ≤ 2^16, span < 2^32 in practice).
long VolumeToElement(std::uint32_t value, long min, long max) {
  if (max <= min) return min;
  const std::int64_t span = static_cast<std::int64_t>(max) - min;
  const std::int64_t v = std::min(value, kVolumeTop);
  return static_cast<long>(min + (v * span + kVolumeTop / 2) / kVolumeTop);
}

std::uint32_t ElementToVolume(long raw, long min, long max) {
  if (max <= min) return 0;
  const std::int64_t span = static_cast<std::int64_t>(max) - min;
  const std::int64_t offset = std::clamp<std::int64_t>(static_cast<std::int64_t>(raw) - min, 0, span);
  return static_cast<std::uint32_t>((offset * kVolumeTop + span / 2) / span);
}
