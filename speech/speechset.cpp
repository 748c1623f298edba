#include "speech/speechset.h"

#include <QFile>
#include <QStringDecoder>

namespace {

constexpr char kEndOfText = 0x1a;

// Windows-1252 differs from Latin-1 only in 0x80 to 0x9F; the five codes it
// leaves undefined are taken as the C1 controls of the same value.
constexpr char16_t kWindows1252High[32] = {0x20ac, 0x0081, 0x201a, 0x0192, 0x201e, 0x2026, 0x2020, 0x2021,
                                           0x02c6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008d, 0x017d, 0x008f,
                                           0x0090, 0x2018, 0x2019, 0x201c, 0x201d, 0x2022, 0x2013, 0x2014,
                                           0x02dc, 0x2122, 0x0161, 0x203a, 0x0153, 0x009d, 0x017e, 0x0178};

QString FromWindows1252(const QByteArray& line) {
  QString text;
  text.reserve(line.size());
  for (char c : line) {
    const auto byte = static_cast<unsigned char>(c);
    text += (byte >= 0x80 && byte < 0xa0) ? QChar(kWindows1252High[byte - 0x80]) : QChar(byte);
  }
  return text;
}

}  // namespace

QString SpeechSetLineText(const QByteArray& line) {
  QStringDecoder utf8(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
  QString text = utf8.decode(line);
  return utf8.hasError() ? FromWindows1252(line) : text;
}

QStringList SpeechSetLines(const QByteArray& contents) {
  const qsizetype endOfText = contents.indexOf(kEndOfText);
  const QByteArray text = endOfText < 0 ? contents : contents.left(endOfText);
  QStringList lines;
  qsizetype start = 0;
  for (qsizetype i = 0; i < text.size(); ++i) {
    if (text[i] != '\r' && text[i] != '\n') continue;
    lines << SpeechSetLineText(text.mid(start, i - start));
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    start = i + 1;
  }
  // Text after the last line end is a last line without an end.
  if (start < text.size()) lines << SpeechSetLineText(text.mid(start));
  return lines;
}

bool ReadSpeechSet(const QString& path, QStringList& lines) {
  lines.clear();
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return false;
  const QByteArray contents = file.readAll();
  if (file.error() != QFileDevice::NoError) return false;
  lines = SpeechSetLines(contents);
  return true;
}

QStringList BuildCopyList(const QStringList& speechSetLines, const QStringList& alarmSounds) {
  QStringList copyList;
  for (const QString& line : speechSetLines) copyList << kSpeechSetFolder + line;
  for (const QString& name : alarmSounds) copyList << kAlarmSoundFolder + name;
  return copyList;
}
