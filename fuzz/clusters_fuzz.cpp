// The serial worker's cluster forming with the real worker thread and Qt
// deliveries, fed through the test's fake backend: fuzzed receive counts, time
// jumps (the clock shift; wrap-around included), line error words, event masks
// and time-rule settings. Invariant: every received byte reaches the handler
// once, in order.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "serial/serialport.h"
#include "tests/serial/fakebackend.h"

namespace {

struct Session {
  std::shared_ptr<FakeState> state = std::make_shared<FakeState>();
  std::unique_ptr<TSerialPort> port;
  std::string delivered;
  QTimer wake;  // ends a blocking event wait now and then, so that loops look at their condition
};

Session* session = nullptr;

void Fail(const char* what) {
  std::fprintf(stderr, "clusters_fuzz: %s\n", what);
  std::abort();
}

// Runs Qt's event loop (and so the worker's deliveries) until `done`; a delivery
// that never comes is a finding, not a hang.
template <typename F>
void ProcessUntil(F done, const char* what) {
  QElapsedTimer since;
  since.start();
  while (!done()) {
    if (since.elapsed() > 20000) Fail(what);
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  }
}

class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool More() const { return pos_ < size_; }
  uint32_t Take(size_t bytes) {
    uint32_t value = 0;
    for (size_t i = 0; i < bytes && pos_ < size_; ++i) value = value << 8 | data_[pos_++];
    return value;
  }
  std::string Bytes(size_t count) {
    count = std::min(count, size_ - pos_);
    std::string out(reinterpret_cast<const char*>(data_ + pos_), count);
    pos_ += count;
    return out;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  new QCoreApplication(*argc, *argv);
  session = new Session;
  session->port = std::make_unique<TSerialPort>(std::make_unique<FakeBackend>(session->state));
  session->port->OnRxClusterEvent = [](TSerialPort* p) { session->delivered += p->ReadClusterText(); };
  session->wake.start(5);
  session->port->SetCommPort("ttyFUZZ");
  session->port->SetActive(true);
  ProcessUntil([] { return session->state->CountCalls("WaitCommEvent") > 0; }, "the worker never started");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Session& s = *session;
  TSerialPort& port = *s.port;
  FakeState& state = *s.state;
  s.delivered.clear();
  port.SetReadRequest(false);
  {
    std::lock_guard lock(state.mutex);
    state.lineErrors = 0;
    state.calls.clear();  // the fake's call log would grow for the whole run
  }
  std::string fed;
  Reader in(data, size);
  while (in.More()) {
    switch (in.Take(1) % 6) {
      case 0: {
        const std::string bytes = in.Bytes(in.Take(1) % 64);
        state.Receive(bytes);
        fed += bytes;
        break;
      }
      case 1:
        state.clockShift += in.Take(2) << (in.Take(1) % 17);
        break;
      case 2: {
        const uint32_t errors = in.Take(4);
        std::lock_guard lock(state.mutex);
        state.lineErrors = errors;
        break;
      }
      case 3:
        state.FireEvents(in.Take(2) & 0x1FF);
        break;
      case 4:
        port.SetRTOCharDelayTime(in.Take(4));
        port.SetRTOExtraDelayTime(static_cast<uint16_t>(in.Take(2)));
        port.SetClusterSize(static_cast<uint16_t>(in.Take(2)));
        break;
      case 5:
        port.SetReadRequest(true);
        break;
    }
    QCoreApplication::processEvents();
  }
  // Whatever is still queued is asked for until it has all arrived.
  ProcessUntil(
      [&] {
        if (s.delivered.size() >= fed.size()) return true;
        port.SetReadRequest(true);
        state.FireEvents(0x001);
        return false;
      },
      "received bytes were never delivered");
  if (s.delivered != fed) Fail("the delivered bytes differ from the received ones");
  if (!state.RxEmpty()) Fail("bytes were left in the receive queue");
  return 0;
}
