#pragma once
// The audio operations of the two speech dialogs: playing sound files as
// streams and reading and setting the sound card's output level.
//
// User-interface thread only. Every operation accepts handle 0 and then does
// nothing (queries answer false or 0). Paths are the program's texts
// ("speechset\…", "resources\tone.mp3"): "\" is a folder separator.

#include <QString>
#include <cstdint>

#include "speech/audiooutput.h"

class QWidget;

// Checks that the sound output can be opened; when it cannot, shows
// "Audioausgabe nicht gefunden" (once per call) and the program goes on without
// sound. A later PlayFile tries the output again. `window` is the calling
// dialog; nothing depends on it.
void InitAudio(QWidget* window = nullptr);

// Stops and frees the stream in `handle`, then starts `path` from its beginning
// at once and puts the new stream in `handle`: 0 when the file cannot be read or
// there is no sound output (no message).
void PlayFile(StreamHandle& handle, const QString& path);

// Stops the stream at once, frees it and sets `handle` to 0.
void StopPlayback(StreamHandle& handle);

// True only while the stream's sound is still playing: until its last sample
// has been heard (the sound server's latency included); false at its end.
bool IsPlaying(StreamHandle handle);

// True when the stream stopped before its decoded data had all been played
// (the sound output or its server went away): the sound was cut. False while
// it plays, after a normal end, and for handle 0.
bool EndedEarly(StreamHandle handle);

// Why the stream was cut (see audiooutput.h); None for handle 0.
CutCause StreamCutCause(StreamHandle handle);

// Another program that played on the stream's sink while it was heard; empty
// when none did, and for handle 0.
QString OtherProgramOnSink(StreamHandle handle);

// Length and position in bytes of the decoded 16-bit PCM, low 32 bits; the
// position is what has been heard: it never moves back, never exceeds the
// length and reaches it only at the end.
std::uint32_t StreamLength(StreamHandle handle);
std::uint32_t StreamPosition(StreamHandle handle);

// Milliseconds until streams already stopped can no longer be heard (the sound
// server's latency); 0 when nothing stopped still sounds.
int StoppedSoundEndsInMs();

// The output level of the sound card (the volume of the sound server's sink the
// program plays on): 0 is silence, 65536 is 100 %; larger values set 100 %, and
// a level above it (the servers allow 150 %) reads as 65536.
// ReadOutputVolume gives nothing when the level cannot be read (a failed read
// is no level of 0 %); it also chooses the sink read as the one the program's
// streams play on from now on. GetOutputVolume is its value, 0 on a failure.
// SetOutputVolume sets one value for all channels, also when it equals the last
// reading, and unmutes the sink: the level set is the level heard. False on any
// failure.
std::optional<UsersLevel> ReadOutputVolume();
std::uint32_t GetOutputVolume();
bool SetOutputVolume(std::uint32_t value);

// Puts back what the last reading read, channel by channel and exactly (above
// 100 % too), and its mute, when `saved` is that reading's value; any other
// value is set as by SetOutputVolume. False when the level could not be put
// back exactly. Every end of a copy restores through this.
bool RestoreOutputVolume(std::uint32_t saved);
