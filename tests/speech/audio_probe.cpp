// Runs the audio operations in an environment the test chose and prints what
// they answered, one line, for the tests of a machine without a sound server
// and of a server that comes and goes while the program runs.
//
//   audio_probe none        no server can be found
//   audio_probe comeandgo   starts and stops a private PulseAudio itself
//                           (XDG_RUNTIME_DIR and HOME must be private folders)

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
  for (int i = 0; i < 100; ++i) {
    if (std::system("pactl info >/dev/null 2>&1") == 0) return true;
    std::this_thread::sleep_for(milliseconds(50));
  }
  return false;
}

void StopServer(pid_t server) {
  kill(server, SIGKILL);
  waitpid(server, nullptr, 0);
}

// How long a playing stream takes to count as ended once the server is gone;
// -1 when it still counts as playing after 3 s.
long long EndAfterServerLoss(StreamHandle stream, pid_t server) {
  StopServer(server);
  auto start = Clock::now();
  while (IsPlaying(stream)) {
    if (Clock::now() - start > milliseconds(3000)) return -1;
    std::this_thread::sleep_for(milliseconds(10));
  }
  return std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
}

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
  const bool playedAfterStart = stream != 0 && IsPlaying(stream);
  const long long firstEnd = EndAfterServerLoss(stream, server);
  const bool positionWithinLength = StreamPosition(stream) <= StreamLength(stream);

  if (!StartServer(server)) {
    std::printf("server did not start again\n");
    return 1;
  }
  PlayFile(stream, tone);
  const bool playedAfterRestart = stream != 0 && IsPlaying(stream);
  // A fresh null sink may hold back the first sound for up to 2 s.
  const auto replayed = Clock::now();
  while (StreamPosition(stream) == 0 && Clock::now() - replayed < milliseconds(3000))
    std::this_thread::sleep_for(milliseconds(10));
  const bool advancing = StreamPosition(stream) > 0;
  std::fprintf(stderr, "position advancing after %lld ms\n",
               (long long)std::chrono::duration_cast<milliseconds>(Clock::now() - replayed).count());
  const long long secondEnd = EndAfterServerLoss(stream, server);
  StopPlayback(stream);

  std::printf("message=%s volume=%s played=%s ended=%s position=%s replayed=%s advancing=%s ended=%s\n",
              messageWithoutServer ? "yes" : "no", volumeAfterStart ? "yes" : "no",
              playedAfterStart ? "yes" : "no", firstEnd >= 0 ? "yes" : "no",
              positionWithinLength ? "ok" : "above", playedAfterRestart ? "yes" : "no",
              advancing ? "yes" : "no", secondEnd >= 0 ? "yes" : "no");
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
  std::fprintf(stderr, "usage: audio_probe none|comeandgo\n");
  return 2;
}
