// Runs the audio operations in an environment the test chose and prints what
// they answered, one line, for the tests of a machine without a sound server
// and of a server that comes and goes while the program runs.
//
//   audio_probe none        no server can be found
//   audio_probe comeandgo   starts and stops a private PulseAudio itself
//                           (XDG_RUNTIME_DIR and HOME must be private folders)
//   audio_probe volumeloss  reads the level of a private PulseAudio, which then
//                           goes away before the level is put back
//   audio_probe stall FILE  plays FILE into a private PulseAudio, which then
//                           hangs (SIGSTOP) while the stream plays
//   audio_probe starve FILE plays FILE into the server of the environment,
//                           prints "heard" once some of it was heard and then
//                           waits to be stopped and continued (SIGSTOP, SIGCONT)

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
// Follows the stream until it stops counting as playing (a fault when not
// within 20 s): whether it says it was cut, and whether its position stayed
// below its length without moving back.
Loss FollowToItsEnd(StreamHandle stream) {
  Loss loss;
  std::uint32_t last = StreamPosition(stream);
  auto look = [&] {
    const std::uint32_t position = StreamPosition(stream);
    loss.monotone = loss.monotone && position >= last && position < StreamLength(stream);
    last = position;
  };
  const auto start = Clock::now();
  while (IsPlaying(stream) && Clock::now() - start < milliseconds(20000)) {
    look();
    std::this_thread::sleep_for(milliseconds(10));
  }
  loss.ended = !IsPlaying(stream);
  look();
  loss.early = EndedEarly(stream);
  std::fprintf(stderr, "ended at position %u of %u\n", last, StreamLength(stream));
  return loss;
}

Loss LoseServer(StreamHandle stream, pid_t server) {
  StopServer(server);
  return FollowToItsEnd(stream);
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
  std::system("pactl set-sink-volume @DEFAULT_SINK@ 150% >/dev/null 2>&1");
  const std::uint32_t overAmplified = GetOutputVolume();
  StopServer(server);
  const bool restored = RestoreOutputVolume(overAmplified);
  const bool set = SetOutputVolume(30000);
  std::printf("read=%u restore=%s set=%s\n", overAmplified, restored ? "true" : "false",
              set ? "true" : "false");
  return 0;
}
// The server hangs while the stream plays: it neither plays on nor says
// anything, and the connection stays open. The stream must not play forever.
int Stall(const QString& path) {
  pid_t server = -1;
  if (!StartServer(server)) {
    std::printf("server did not start\n");
    return 1;
  }
  StreamHandle stream = 0;
  PlayFile(stream, path);
  if (stream == 0 || !WaitUntilAQuarterIsHeard(stream)) {
    std::printf("not played\n");
    StopServer(server);
    return 1;
  }
  kill(server, SIGSTOP);
  const Loss hung = FollowToItsEnd(stream);
  StopPlayback(stream);
  kill(server, SIGCONT);
  StopServer(server);
  std::printf("ended=%s early=%s monotone=%s\n", YesNo(hung.ended), YesNo(hung.early), YesNo(hung.monotone));
  return 0;
}
// The whole process stalls while its stream plays, as on a starved machine,
// for longer than the server holds: the sound has a gap, which the stream
// must tell as a cut rather than play on.
int Starve(const QString& path) {
  StreamHandle stream = 0;
  PlayFile(stream, path);
  if (stream == 0 || !WaitUntilAQuarterIsHeard(stream)) {
    std::printf("not played\n");
    return 1;
  }
  std::printf("heard\n");
  std::fflush(stdout);
  // The test stops this process here for a while and lets it go on.
  char go = 0;
  if (std::fread(&go, 1, 1, stdin) != 1) return 1;
  const Loss gap = FollowToItsEnd(stream);
  std::printf("ended=%s early=%s monotone=%s\n", YesNo(gap.ended), YesNo(gap.early), YesNo(gap.monotone));
  StopPlayback(stream);
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
  if (mode == "stall" && argc > 2) return Stall(QString::fromLocal8Bit(argv[2]));
  if (mode == "starve" && argc > 2) return Starve(QString::fromLocal8Bit(argv[2]));
  std::fprintf(stderr, "usage: audio_probe none|comeandgo|volumeloss|stall FILE|starve FILE\n");
  return 2;
}
