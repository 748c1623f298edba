// Runs the audio operations once with whatever sound server the environment
// leads to and prints what they answered, for the test of a machine without one.

#include <QTextStream>
#include <cstdio>

#include "app/messagebox.h"
#include "app/programfolder.h"
#include "speech/audio.h"

int main() {
  QString messages;
  SetMessageHook([&](const QString& text, MessageKind kind) {
    messages += text + (kind == MessageKind::Error ? "|" : "(not an error)|");
  });
  OverrideProgramFolder(qEnvironmentVariable("VELLAMO_PROGRAM_DIR"));
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
