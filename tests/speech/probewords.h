#pragma once
// The program folder of a copy benchmark or test: the calibration tone and
// `count` words (a 1 kHz tone between pauses, the first `firstToneMs` long,
// each next `toneStepMs` longer), each with the span of sound the device
// should hear of it. And the commands lost and added between
// what should have reached a device and what did.
#include <QDir>
#include <QFile>
#include <QString>
#include <QStringList>
#include <algorithm>
#include <string>
#include <vector>

#include "tests/speech/soundtestsupport.h"

struct ProbeWords {
  QStringList entries;             // as the copy list names them
  std::vector<double> fileSpanMs;  // each word's span of sound
};

// False when the folder could not be made.
inline bool MakeProbeWords(const QString& folder, int count, int pauseMs, int threshold, ProbeWords& words,
                           int firstToneMs = 1000, int toneStepMs = 250) {
  QDir root(folder);
  if (!root.mkpath("speechset/probe") || !root.mkpath("resources") ||
      !QFile::copy(SourceDataFolder() + "resources/tone.mp3", root.filePath("resources/tone.mp3")))
    return false;
  for (int i = 0; i < count; ++i) {
    const QString name = QStringLiteral("speechset/probe/wort%1.wav").arg(i + 1);
    WriteToneBetweenSilences(root.filePath(name), 0.5, pauseMs, firstToneMs + toneStepMs * i, pauseMs);
    const LoudSpan span = FindLoudSpan(DecodeFirstChannel(root.filePath(name)), 0, threshold);
    words.fileSpanMs.push_back(double(span.last - span.first + 1) * 1000 / 44100);
    words.entries << QStringLiteral("speechset\\probe\\wort%1.wav").arg(i + 1);
  }
  return true;
}

// The two strings' lengths less their longest common subsequence.
struct Difference {
  size_t lost = 0;
  size_t extra = 0;
};
inline Difference Compare(const std::string& expected, const std::string& received) {
  std::vector<std::vector<size_t>> common(expected.size() + 1, std::vector<size_t>(received.size() + 1, 0));
  for (size_t i = 1; i <= expected.size(); ++i)
    for (size_t j = 1; j <= received.size(); ++j)
      common[i][j] = expected[i - 1] == received[j - 1] ? common[i - 1][j - 1] + 1
                                                         : std::max(common[i - 1][j], common[i][j - 1]);
  const size_t shared = common[expected.size()][received.size()];
  return {expected.size() - shared, received.size() - shared};
}
