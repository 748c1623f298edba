#pragma once
// A connection to the sound server (PulseAudio, or PipeWire's PulseAudio
// service) made for one job and closed again, run on the calling thread.

#include <chrono>

struct pa_context;
struct pa_mainloop;
struct pa_operation;

// How long the program waits for the sound server to accept a connection or to
// answer a request. A server that is there answers within milliseconds; one
// that accepts and then says nothing must not freeze the program, which goes on
// as without a server.
constexpr std::chrono::seconds kServerAnswerTimeout{3};

class ServerConnection {
 public:
  // Connects and waits until the server is ready; Context() is nullptr when
  // there is no server, it refused, or it did not answer in time.
  ServerConnection();
  ~ServerConnection();
  ServerConnection(const ServerConnection&) = delete;
  ServerConnection& operator=(const ServerConnection&) = delete;

  pa_context* Context() const { return context_; }

  // Waits for an operation whose callback sets `finished`; false (the
  // operation cancelled) when the connection failed or the server did not
  // answer in time. Takes the operation's reference; nullptr gives false.
  bool Wait(pa_operation* operation, const bool& finished);

 private:
  template <typename Done>
  bool RunUntil(Done done);

  pa_mainloop* loop_ = nullptr;
  pa_context* context_ = nullptr;
};
