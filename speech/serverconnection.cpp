#include "speech/serverconnection.h"

#include <pulse/pulseaudio.h>

#include <algorithm>

namespace {
using Clock = std::chrono::steady_clock;
}

ServerConnection::ServerConnection() : loop_(pa_mainloop_new()) {
  if (!loop_) return;
  context_ = pa_context_new(pa_mainloop_get_api(loop_), "Vellamo");
  if (!context_) return;
  if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0 ||
      !RunUntil([&] { return pa_context_get_state(context_) == PA_CONTEXT_READY; })) {
    pa_context_disconnect(context_);
    pa_context_unref(context_);
    context_ = nullptr;
  }
}

ServerConnection::~ServerConnection() {
  if (context_) {
    pa_context_disconnect(context_);
    pa_context_unref(context_);
  }
  if (loop_) pa_mainloop_free(loop_);
}

// Runs the loop until `done` says so; false when the connection failed or the
// server let the time-out pass.
template <typename Done>
bool ServerConnection::RunUntil(Done done) {
  const auto deadline = Clock::now() + kServerAnswerTimeout;
  while (!done()) {
    if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context_))) return false;
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    if (pa_mainloop_prepare(loop_, static_cast<int>(std::min<long long>(left, 50'000))) < 0 ||
        pa_mainloop_poll(loop_) < 0 || pa_mainloop_dispatch(loop_) < 0)
      return false;
  }
  return true;
}

bool ServerConnection::Wait(pa_operation* operation, const bool& finished) {
  if (!operation) return false;
  const bool done = context_ && RunUntil([&] { return finished; });
  if (!done) pa_operation_cancel(operation);
  pa_operation_unref(operation);
  return done;
}
