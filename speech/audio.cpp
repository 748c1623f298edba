#include "speech/audio.h"

#include <QFile>

#include "speech/pulseoutput.h"
#include "ui/messagebox.h"
#include "ui/programfolder.h"

namespace {
AudioOutput*& ChosenOutput() {
  static AudioOutput* output = nullptr;
  return output;
}

AudioOutput& SoundServer() {
  static std::unique_ptr<AudioOutput> output = MakePulseOutput();
  return *output;
}
}  // namespace

void UseAudioOutput(AudioOutput* output) { ChosenOutput() = output; }

AudioOutput& CurrentAudioOutput() { return ChosenOutput() ? *ChosenOutput() : SoundServer(); }

void InitAudio(QWidget* window) {
  if (!CurrentAudioOutput().Open())
    ShowMessage(window, QStringLiteral("Audioausgabe nicht gefunden"), MessageKind::Error);
}

void PlayFile(StreamHandle& handle, const QString& path) {
  AudioOutput& output = CurrentAudioOutput();
  if (handle != 0) output.Free(handle);
  handle = output.Play(QFile::encodeName(LocalPath(path)).toStdString());
}

void StopPlayback(StreamHandle& handle) {
  if (handle == 0) return;
  CurrentAudioOutput().Free(handle);
  handle = 0;
}

int StoppedSoundEndsInMs() { return CurrentAudioOutput().StoppedSoundEndsInMs(); }

bool IsPlaying(StreamHandle handle) { return handle != 0 && CurrentAudioOutput().IsPlaying(handle); }

bool EndedEarly(StreamHandle handle) { return handle != 0 && CurrentAudioOutput().EndedEarly(handle); }

CutCause StreamCutCause(StreamHandle handle) {
  return handle == 0 ? CutCause::None : CurrentAudioOutput().HowCut(handle);
}

QString OtherProgramOnSink(StreamHandle handle) {
  return handle == 0 ? QString() : QString::fromStdString(CurrentAudioOutput().OtherProgram(handle));
}

std::uint32_t StreamLength(StreamHandle handle) {
  return handle == 0 ? 0 : static_cast<std::uint32_t>(CurrentAudioOutput().Length(handle));
}

std::uint32_t StreamPosition(StreamHandle handle) {
  return handle == 0 ? 0 : static_cast<std::uint32_t>(CurrentAudioOutput().Position(handle));
}
