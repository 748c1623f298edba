#include "speech/servervolume.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>

namespace {
// A short-lived connection, used on the calling thread only.
class ServerConnection {
 public:
  ServerConnection() : loop_(pa_mainloop_new()) {
    if (!loop_) return;
    context_ = pa_context_new(pa_mainloop_get_api(loop_), "Vellamo");
    if (context_ && pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
      pa_context_unref(context_);
      context_ = nullptr;
    }
  }
  ~ServerConnection() {
    if (context_) {
      pa_context_disconnect(context_);
      pa_context_unref(context_);
    }
    if (loop_) pa_mainloop_free(loop_);
  }
  ServerConnection(const ServerConnection&) = delete;
  ServerConnection& operator=(const ServerConnection&) = delete;

  pa_context* Context() const { return context_; }

  // Runs the loop until `done` says so; false when the connection failed or a
  // hung server let two seconds pass.
  template <typename Done>
  bool RunUntil(Done done) {
    if (!context_) return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (!done()) {
      if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context_))) return false;
      if (std::chrono::steady_clock::now() > deadline) return false;
      if (pa_mainloop_prepare(loop_, 50'000) < 0 || pa_mainloop_poll(loop_) < 0 ||
          pa_mainloop_dispatch(loop_) < 0)
        return false;
    }
    return true;
  }

  // Waits for an operation started with `Finish` as its callback.
  bool Wait(pa_operation* operation, bool& finished) {
    if (!operation) return false;
    const bool done = RunUntil([&] { return finished; });
    if (!done) pa_operation_cancel(operation);
    pa_operation_unref(operation);
    return done;
  }

 private:
  pa_mainloop* loop_ = nullptr;
  pa_context* context_ = nullptr;
};

struct SinkQuery {
  bool finished = false;
  std::string name;
  int channels = 0;
};

struct Result {
  bool finished = false;
  bool success = false;
};
}  // namespace

bool SetServerSinkVolume(const std::vector<long>& channels) {
  if (channels.empty() || channels.size() > PA_CHANNELS_MAX) return false;
  ServerConnection server;
  pa_context* context = server.Context();
  if (!server.RunUntil([&] { return pa_context_get_state(context) == PA_CONTEXT_READY; })) return false;

  SinkQuery sink;
  auto onServer = [](pa_context*, const pa_server_info* info, void* data) {
    auto* query = static_cast<SinkQuery*>(data);
    if (info && info->default_sink_name) query->name = info->default_sink_name;
    query->finished = true;
  };
  if (!server.Wait(pa_context_get_server_info(context, onServer, &sink), sink.finished) || sink.name.empty())
    return false;
  sink.finished = false;
  auto onSink = [](pa_context*, const pa_sink_info* info, int last, void* data) {
    auto* query = static_cast<SinkQuery*>(data);
    if (last) {
      query->finished = true;
      return;
    }
    if (info) query->channels = info->volume.channels;
  };
  if (!server.Wait(pa_context_get_sink_info_by_name(context, sink.name.c_str(), onSink, &sink),
                   sink.finished) ||
      sink.channels != int(channels.size()))
    return false;

  pa_cvolume volume;
  volume.channels = static_cast<std::uint8_t>(channels.size());
  for (std::size_t i = 0; i < channels.size(); ++i)
    volume.values[i] =
        static_cast<pa_volume_t>(std::clamp<long>(channels[i], PA_VOLUME_MUTED, PA_VOLUME_MAX));
  Result result;
  auto onDone = [](pa_context*, int success, void* data) {
    auto* done = static_cast<Result*>(data);
    done->success = success != 0;
    done->finished = true;
  };
  return server.Wait(pa_context_set_sink_volume_by_name(context, sink.name.c_str(), &volume, onDone, &result),
                     result.finished) &&
         result.success;
}
