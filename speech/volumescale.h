#pragma once
// The program's output levels against a mixer control's range.
//
// 0 is the bottom of the range and 65536 its top (the copy's last step); larger
// values clamp to the top. With 65536 rather than 65535 as the top, a control
// of 65536 steps (PulseAudio's) maps one to one, and for every range of at most
// 65536 steps ElementToVolume followed by VolumeToElement gives back the raw
// value exactly. For small ranges 65535 reaches the top as well.

#include <cstdint>

constexpr std::uint32_t kVolumeTop = 65536;

long VolumeToElement(std::uint32_t value, long min, long max);
std::uint32_t ElementToVolume(long raw, long min, long max);
