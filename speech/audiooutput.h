#pragma once
// The seam below the audio operations of audio.h: everything that makes sound.
// The program plays through the sound server (pulseoutput.h); tests of the callers put
// in a fake whose "playing" state they control, through UseAudioOutput.
//
// All members are called from the user-interface thread only; an output may
// run threads of its own behind them.

#include <cstdint>
#include <optional>
#include <string>

using StreamHandle = std::uint32_t;  // 0 = no stream

// Why a stream's sound did not all reach the sink.
enum class CutCause {
  None,
  Gone,          // the sink or the sound server went away, or the stream failed
  Switched,      // the stream was moved to another output
  ServerSilent,  // the sound server stopped answering
  Stopped,       // the sink stopped playing it: suspended, stalled or run dry
  Muted,         // the sink or the stream was muted
};

class AudioOutput {
 public:
  virtual ~AudioOutput() = default;

  // Makes sure the sound output is open, opening it if needed: false when there
  // is none. Called again later, it tries again.
  virtual bool Open() = 0;

  // Starts the file (a path of this system) from its beginning, at once.
  // 0 when there is no output or the file cannot be read.
  virtual StreamHandle Play(const std::string& path) = 0;

  // Stops the stream at once and forgets it. Unknown handles are ignored.
  virtual void Free(StreamHandle stream) = 0;

  // True while the stream's sound is still to be heard: false once its last
  // decoded sample has left the sound server (its latency included), once the
  // stream was cut, and for unknown handles.
  virtual bool IsPlaying(StreamHandle stream) = 0;

  // True when the stream stopped before its decoded data had all been played
  // (the output was lost). False while it plays, after a normal end, and for
  // unknown handles.
  virtual bool EndedEarly(StreamHandle stream) = 0;

  // Why the stream was cut; None while it plays, after a normal end, and for
  // unknown handles.
  virtual CutCause HowCut(StreamHandle stream) { return EndedEarly(stream) ? CutCause::Gone : CutCause::None; }

  // The name of another program whose sound played on the stream's sink while
  // the stream was being heard; empty when none did. Told, not acted on: only
  // a copy's recording must be heard alone.
  virtual std::string OtherProgram(StreamHandle /*stream*/) { return {}; }

  // Bytes of the decoded 16-bit PCM; Position is what has been heard, never
  // moves back, never exceeds Length and reaches it only at the end. 0 for
  // unknown handles.
  virtual std::uint64_t Length(StreamHandle stream) = 0;
  virtual std::uint64_t Position(StreamHandle stream) = 0;

  // Milliseconds until the sound of streams already stopped has been heard to
  // its end: Free stops mixing at once, but what the sound server holds still
  // sounds. 0 when nothing stopped is still to be heard.
  virtual int StoppedSoundEndsInMs() { return 0; }
};

// Puts `output` below the operations of audio.h (not owned; it must outlive its
// use); nullptr puts the program's own output back.
void UseAudioOutput(AudioOutput* output);

// The output in use: the one set by UseAudioOutput, else the sound server's.
AudioOutput& CurrentAudioOutput();

// The user's level as read before a copy: the program's value (see audio.h),
// the loudest channel in whole percent as the desktop shows it (above 100 %
// too), and whether the sink was muted.
struct UsersLevel {
  std::uint32_t value = 0;
  int percent = 0;
  bool muted = false;
};

// The seam below ReadOutputVolume, SetOutputVolume and RestoreOutputVolume
// (audio.h): the program uses the sound server's sink volume. Tests that do not look at
// the sound card's level put in a fake, so that they leave the one test sink's
// level alone while other tests listen to it.
class OutputLevel {
 public:
  virtual ~OutputLevel() = default;
  virtual std::optional<UsersLevel> Read() = 0;
  virtual bool Set(std::uint32_t value) = 0;
  virtual bool Restore(std::uint32_t saved) = 0;
};

// Puts `level` below the volume operations (not owned); nullptr puts the sound
// server's sink volume back.
void UseOutputLevel(OutputLevel* level);
