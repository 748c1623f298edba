#include "tests/speech/soundtestsupport.h"

#include <fcntl.h>
#include <sndfile.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <vector>

#include "speech/sounddecoder.h"
#include "ui/programfolder.h"

bool SoundServerReachable() {
  static const bool reachable = std::system("pactl info >/dev/null 2>&1") == 0;
  return reachable;
}

QString SourceDataFolder() { return QStringLiteral(VELLAMO_SOURCE_DATA); }

std::string RunCommand(const std::string& command) {
  std::string output;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return output;
  char buffer[4096];
  std::size_t got;
  while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, got);
  pclose(pipe);
  return output;
}

SinkLock::SinkLock(Mode mode) {
  QString folder = qEnvironmentVariable("XDG_RUNTIME_DIR", QDir::tempPath());
  std::string path = (folder + QStringLiteral("/vellamo-nullsink.lock")).toStdString();
  fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd_ >= 0) flock(fd_, mode == Exclusive ? LOCK_EX : LOCK_SH);
}

SinkLock::~SinkLock() {
  if (fd_ >= 0) close(fd_);
}

double RecordSinkLevel(int milliseconds) {
  // Counted in bytes rather than by a timer: parec may take a while to start on
  // a busy machine. The timeout only guards against a hang.
  const std::size_t wanted = std::size_t(milliseconds) * 441 / 10 * 2;
  const std::string command =
      "timeout 10 parec -d @DEFAULT_MONITOR@ --raw --format=s16le --channels=1 "
      "--rate=44100 --latency-msec=20 2>/dev/null | head -c " +
      std::to_string(wanted);
  std::string raw = RunCommand(command);
  std::size_t samples = raw.size() / 2;
  if (raw.size() < wanted) return -1;
  // The first part may still hold what the sink played before the call.
  std::size_t first = samples / 4;
  double sum = 0;
  for (std::size_t i = first; i < samples; ++i) {
    std::int16_t sample;
    std::memcpy(&sample, raw.data() + 2 * i, 2);
    sum += double(sample) * double(sample);
  }
  return std::sqrt(sum / double(samples - first)) / 32768.0;
}

DecodedSize DecodeWhole(const QString& path) {
  DecodedSize size;
  auto decoder = SoundDecoder::Open(LocalPath(path).toStdString());
  if (!decoder) return size;
  size.channels = decoder->Channels();
  size.rate = decoder->SampleRate();
  std::vector<std::int16_t> block(4096 * 2);
  while (std::size_t got = decoder->Read(block.data(), 4096)) size.frames += got;
  return size;
}

bool WriteTone(const QString& path, int format, int frames) {
  SF_INFO info{};
  info.samplerate = 44100;
  info.channels = 2;
  info.format = format;
  SNDFILE* file = sf_open(path.toLocal8Bit().constData(), SFM_WRITE, &info);
  if (!file) return false;
  // A square wave of 490 Hz: every sample at half scale, none near zero. Both
  // channels alike, so that no channel mapping of the server changes the level.
  std::vector<std::int16_t> samples(2 * static_cast<std::size_t>(frames));
  for (int i = 0; i < 2 * frames; ++i) samples[std::size_t(i)] = (i / 90) % 2 == 0 ? 16384 : -16384;
  const bool written = sf_writef_short(file, samples.data(), frames) == frames;
  return sf_close(file) == 0 && written;
}

bool WriteToneBetweenSilences(const QString& path, double amplitude, int silenceMs, int toneMs, int afterMs) {
  SF_INFO info{};
  info.samplerate = 44100;
  info.channels = 2;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE* file = sf_open(QFile::encodeName(path).constData(), SFM_WRITE, &info);
  if (!file) return false;
  const std::size_t before = std::size_t(44100) * std::size_t(silenceMs) / 1000;
  const std::size_t tone = std::size_t(44100) * std::size_t(toneMs) / 1000;
  const std::size_t after = std::size_t(44100) * std::size_t(afterMs) / 1000;
  std::vector<std::int16_t> samples((before + tone + after) * 2, 0);
  for (std::size_t i = 0; i < tone; ++i) {
    const auto value =
        std::int16_t(std::lround(32767.0 * amplitude * std::sin(2 * M_PI * 1000.0 * double(i) / 44100.0)));
    samples[(before + i) * 2] = samples[(before + i) * 2 + 1] = value;
  }
  const sf_count_t frames = sf_count_t(samples.size() / 2);
  const bool written = sf_writef_short(file, samples.data(), frames) == frames;
  return sf_close(file) == 0 && written;
}

std::vector<std::int16_t> DecodeFirstChannel(const QString& path) {
  std::vector<std::int16_t> first;
  auto decoder = SoundDecoder::Open(LocalPath(path).toStdString());
  if (!decoder) return first;
  const auto channels = std::size_t(decoder->Channels());
  std::vector<std::int16_t> block(4096 * channels);
  while (std::size_t got = decoder->Read(block.data(), 4096))
    for (std::size_t i = 0; i < got; ++i) first.push_back(block[i * channels]);
  return first;
}

LoudSpan FindLoudSpan(const std::vector<std::int16_t>& samples, std::int64_t from, int threshold) {
  LoudSpan span;
  for (std::int64_t i = std::max<std::int64_t>(from, 0); i < std::int64_t(samples.size()); ++i) {
    if (std::abs(int(samples[std::size_t(i)])) <= threshold) continue;
    if (span.first < 0) span.first = i;
    span.last = i;
  }
  return span;
}

std::vector<long> SinkChannels() {
  std::vector<long> channels;
  const std::string text = RunCommand("pactl get-sink-volume @DEFAULT_SINK@ 2>/dev/null");
  static const std::regex value(R"(:\s*(\d+)\s*/)");
  for (auto it = std::sregex_iterator(text.begin(), text.end(), value); it != std::sregex_iterator(); ++it)
    channels.push_back(std::stol((*it)[1]));
  return channels;
}

void SetSinkChannels(const std::vector<long>& channels) {
  std::string command = "pactl set-sink-volume @DEFAULT_SINK@";
  for (long raw : channels) {
    command += ' ';
    command += std::to_string(raw);
  }
  RunCommand(command);
}

int SoundServerProcess(const char* socketName) {
  const QByteArray path = qgetenv("XDG_RUNTIME_DIR") + "/" + socketName;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= int(sizeof address.sun_path)) return 0;
  std::memcpy(address.sun_path, path.constData(), std::size_t(path.size()) + 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  ucred peer{};
  socklen_t size = sizeof peer;
  const bool known = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                     getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0;
  close(fd);
  return known ? peer.pid : 0;
}
