// A drain the sound server answers with a failure. Neither server fails one on
// demand, so this test executable puts its own pa_stream_drain in front of
// libpulse's: it forwards every drain to the real one and, once armed, turns
// the answer into a failure. The sound itself still goes through the real
// server; only the answer is changed.

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <pulse/stream.h>
#include <sndfile.h>

#include <QTemporaryDir>
#include <atomic>
#include <chrono>
#include <thread>

#include "speech/audio.h"
#include "tests/speech/soundtestsupport.h"

namespace {

std::atomic<bool> drainsFail{false};
std::atomic<int> drainsFailed{0};

struct HeldAnswer {
  pa_stream_success_cb_t callback;
  void* userdata;
};

void AnswerAsFailed(pa_stream* stream, int, void* held) {
  const HeldAnswer answer = *static_cast<HeldAnswer*>(held);
  delete static_cast<HeldAnswer*>(held);
  ++drainsFailed;
  if (answer.callback) answer.callback(stream, 0, answer.userdata);
}

}  // namespace

extern "C" pa_operation* pa_stream_drain(pa_stream* stream, pa_stream_success_cb_t callback, void* userdata) {
  using Drain = pa_operation* (*)(pa_stream*, pa_stream_success_cb_t, void*);
  static const auto real = reinterpret_cast<Drain>(dlsym(RTLD_NEXT, "pa_stream_drain"));
  if (!drainsFail) return real(stream, callback, userdata);
  auto* held = new HeldAnswer{callback, userdata};
  pa_operation* operation = real(stream, &AnswerAsFailed, held);
  if (!operation) delete held;
  return operation;
}

namespace {

// A failed drain leaves open whether the end was played: a recording of the
// sound cannot be trusted, so the stream counts as cut.
TEST(DrainFailing, TheStreamEndsAsCut) {
  SKIP_WITHOUT_SOUND_SERVER();
  SinkLock sink(SinkLock::Shared);
  QTemporaryDir folder;
  ASSERT_TRUE(folder.isValid());
  const QString path = folder.filePath("kurz.wav");
  ASSERT_TRUE(WriteTone(path, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100 / 5));

  drainsFail = true;
  StreamHandle stream = 0;
  PlayFile(stream, path);
  ASSERT_NE(stream, 0u);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (IsPlaying(stream) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  drainsFail = false;

  EXPECT_FALSE(IsPlaying(stream)) << "still playing after 20 s";
  EXPECT_EQ(drainsFailed.load(), 1) << "the output asked for no drain";
  EXPECT_TRUE(EndedEarly(stream));
  StopPlayback(stream);
}

}  // namespace
