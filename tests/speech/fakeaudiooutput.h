#pragma once
// An audio output for tests of the audio layer's callers: nothing sounds, and
// the test decides which streams are playing and how far they have got.
//
//   FakeAudioOutput fake;
//   UseAudioOutput(&fake);      // ... and UseAudioOutput(nullptr) at the end
//   fake.Finish(handle);        // the stream has ended

#include <chrono>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "speech/audiooutput.h"

class FakeAudioOutput : public AudioOutput {
 public:
  struct Stream {
    std::string path;
    bool playing = true;
    bool endedEarly = false;
    std::uint64_t length = 0;
    std::uint64_t position = 0;
  };

  bool available = true;             // what Open answers
  std::set<std::string> unreadable;  // paths that Play refuses
  std::uint64_t lengthOfNewStreams = 44100 * 4;
  int openCalls = 0;
  std::vector<std::string> played;  // every path given to Play, in order
  // When each was given to Play, and when each stream that played to its end ended.
  std::vector<std::chrono::steady_clock::time_point> playedAt, finishedAt;
  std::vector<StreamHandle> freed;  // every handle given to Free, in order
  std::map<StreamHandle, Stream> streams;

  bool Open() override {
    ++openCalls;
    return available;
  }
  StreamHandle Play(const std::string& path) override {
    played.push_back(path);
    playedAt.push_back(std::chrono::steady_clock::now());
    if (!Open() || unreadable.count(path) != 0) return 0;
    StreamHandle handle = ++lastHandle_;
    streams[handle] = Stream{path, true, false, lengthOfNewStreams, 0};
    return handle;
  }
  void Free(StreamHandle stream) override {
    freed.push_back(stream);
    streams.erase(stream);
  }
  bool IsPlaying(StreamHandle stream) override {
    auto it = streams.find(stream);
    return it != streams.end() && it->second.playing;
  }
  bool EndedEarly(StreamHandle stream) override {
    auto it = streams.find(stream);
    return it != streams.end() && it->second.endedEarly;
  }
  std::uint64_t Length(StreamHandle stream) override {
    auto it = streams.find(stream);
    return it == streams.end() ? 0 : it->second.length;
  }
  std::uint64_t Position(StreamHandle stream) override {
    auto it = streams.find(stream);
    return it == streams.end() ? 0 : it->second.position;
  }

  // The stream has played to its end.
  void Finish(StreamHandle stream) {
    auto it = streams.find(stream);
    if (it == streams.end()) return;
    if (it->second.playing) finishedAt.push_back(std::chrono::steady_clock::now());
    it->second.playing = false;
    it->second.position = it->second.length;
  }

  // The output was lost halfway through the stream.
  void Cut(StreamHandle stream) {
    auto it = streams.find(stream);
    if (it == streams.end()) return;
    it->second.playing = false;
    it->second.endedEarly = true;
  }

 private:
  StreamHandle lastHandle_ = 0;
};

// The sound card's level for tests of the audio layer's callers that do not
// listen to the sink: every value set or restored is kept, in order.
//
//   FakeOutputLevel level;
//   UseOutputLevel(&level);     // ... and UseOutputLevel(nullptr) at the end
class FakeOutputLevel : public OutputLevel {
 public:
  std::uint32_t value = 30000;
  bool readable = true;      // false: every read fails
  int failingRestores = 0;   // this many restores fail, and change nothing, before they work again
  int restoreCalls = 0;
  std::vector<std::uint32_t> written;

  std::optional<UsersLevel> Read() override {
    if (!readable) return std::nullopt;
    return UsersLevel{value, static_cast<int>((std::uint64_t(value) * 100 + 32768) / 65536), false};
  }
  bool Set(std::uint32_t v) override {
    value = v;
    written.push_back(v);
    return true;
  }
  bool Restore(std::uint32_t saved) override {
    ++restoreCalls;
    if (failingRestores > 0) {
      --failingRestores;
      return false;
    }
    return Set(saved);
  }
};
