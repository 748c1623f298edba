// Runs the audio operations in an environment the test chose and prints what
// they answered, one line, for the tests of a machine without a sound server
// and of a server that comes and goes while the program runs.
//
//   audio_probe none        no server can be found
//   audio_probe comeandgo   starts and stops a private PulseAudio itself
//                           (XDG_RUNTIME_DIR and HOME must be private folders)
//   audio_probe volumeloss  reads the level of a private PulseAudio, which then
//                           goes away before the level is put back

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "speech/audio.h"
#include "ui/messagebox.h"
#include "ui/programfolder.h"

namespace {
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

QString messages;

int NoServer() {
  // Both speech dialogs call it at start-up.
  InitAudio();
  InitAudio();
  std::uint32_t volume = GetOutputVolume();
  bool set = SetOutputVolume(30000);
  StreamHandle stream = 0;
  PlayFile(stream, ProgramFolder() + "resources\\tone.mp3");
  bool playing = IsPlaying(stream);
  StopPlayback(stream);
  std::printf("messages=%s get=%u set=%s play=%u playing=%s\n", messages.toUtf8().constData(), volume,
              set ? "true" : "false", stream, playing ? "true" : "false");
  return 0;
}

// A plain fork: QProcess may use vfork, which ThreadSanitizer cannot follow.
bool StartServer(pid_t& server) {
  server = fork();
  if (server == 0) {
    // Exits by itself two seconds after its last client, should this probe die.
    execlp("pulseaudio", "pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=2",
           "--load=module-native-protocol-unix auth-anonymous=1",
           "--load=module-null-sink sink_name=nullsink rate=44100", static_cast<char*>(nullptr));
    _exit(127);
  }
  if (server < 0) return false;
  for (int i = 0; i < 400; ++i) {
    if (std::system("pactl info >/dev/null 2>&1") == 0) return true;
    std::this_thread::sleep_for(milliseconds(50));
  }
  return false;
}

void StopServer(pid_t server) {
  kill(server, SIGKILL);
  waitpid(server, nullptr, 0);
}

// Waits until a quarter of the stream has been heard (a fresh null sink may hold
// back the first sound for up to 2 s); false when it has not after 20 s.
bool WaitUntilAQuarterIsHeard(StreamHandle stream) {
  const auto start = Clock::now();
  while (StreamPosition(stream) < StreamLength(stream) / 4 && Clock::now() - start < milliseconds(20000))
    std::this_thread::sleep_for(milliseconds(10));
  return StreamPosition(stream) >= StreamLength(stream) / 4;
}

// What a playing stream does when the server goes: whether it stops counting
// as playing (a fault when not within 20 s), says it was cut, and keeps its position from
// moving back, below its length.
struct Loss {
  bool ended = false;
  bool early = false;
  bool monotone = true;
};
Loss LoseServer(StreamHandle stream, pid_t server) {
  Loss loss;
  std::uint32_t last = StreamPosition(stream);
  auto look = [&] {
    const std::uint32_t position = StreamPosition(stream);
    loss.monotone = loss.monotone && position >= last && position < StreamLength(stream);
    last = position;
  };
  StopServer(server);
  const auto start = Clock::now();
  while (IsPlaying(stream) && Clock::now() - start < milliseconds(20000)) {
    look();
    std::this_thread::sleep_for(milliseconds(10));
  }
  loss.ended = !IsPlaying(stream);
  look();
  loss.early = EndedEarly(stream);
  std::fprintf(stderr, "lost at position %u of %u\n", last, StreamLength(stream));
  return loss;
}

const char* YesNo(bool value) { return value ? "yes" : "no"; }

int ComeAndGo() {
  const QString tone = ProgramFolder() + "resources\\tone.mp3";
  InitAudio();
  const bool messageWithoutServer = messages.contains("Audioausgabe nicht gefunden");

  pid_t server = -1;
  if (!StartServer(server)) {
    std::printf("server did not start\n");
    return 1;
  }
  const bool volumeAfterStart = GetOutputVolume() == 65536;
  StreamHandle stream = 0;
  PlayFile(stream, tone);
  const bool playedAfterStart = stream != 0 && IsPlaying(stream) && WaitUntilAQuarterIsHeard(stream);
  const Loss first = LoseServer(stream, server);

  if (!StartServer(server)) {
    std::printf("server did not start again\n");
    return 1;
  }
  PlayFile(stream, tone);
  const bool playedAfterRestart = stream != 0 && IsPlaying(stream);
  const bool advancing = WaitUntilAQuarterIsHeard(stream);
  const Loss second = LoseServer(stream, server);
  StopPlayback(stream);

  std::printf(
      "message=%s volume=%s played=%s ended=%s early=%s monotone=%s replayed=%s advancing=%s ended=%s "
      "early=%s "
      "monotone=%s\n",
      YesNo(messageWithoutServer), YesNo(volumeAfterStart), YesNo(playedAfterStart), YesNo(first.ended),
      YesNo(first.early), YesNo(first.monotone), YesNo(playedAfterRestart), YesNo(advancing),
      YesNo(second.ended), YesNo(second.early), YesNo(second.monotone));
  return 0;
}
int VolumeLoss() {
  pid_t server = -1;
  if (!StartServer(server)) {
    std::printf("server did not start\n");
    return 1;
  }
  std::system("pactl set-sink-volume nullsink 150% >/dev/null 2>&1");
  const std::uint32_t overAmplified = GetOutputVolume();
  StopServer(server);
  const bool restored = RestoreOutputVolume(overAmplified);
  const bool set = SetOutputVolume(30000);
  std::printf("read=%u restore=%s set=%s\n", overAmplified, restored ? "true" : "false",
              set ? "true" : "false");
  return 0;
}
}  // namespace

int main(int argc, char** argv) {
  SetMessageHook([](const QString& text, MessageKind kind) {
    messages += text + (kind == MessageKind::Error ? "|" : "(not an error)|");
  });
  OverrideProgramFolder(qEnvironmentVariable("VELLAMO_PROGRAM_DIR"));
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "none") return NoServer();
  if (mode == "comeandgo") return ComeAndGo();
  if (mode == "volumeloss") return VolumeLoss();
  std::fprintf(stderr, "usage: audio_probe none|comeandgo|volumeloss\n");
  return 2;
}
