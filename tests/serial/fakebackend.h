#pragma once
// A port backend for the failures a real device can't be made to produce on
// demand: any operation can fail with a chosen code, writes and reads can be
// held outstanding, and the test sets what the status checks report.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "serial/portbackend.h"

struct FakeState {
  std::mutex mutex;
  std::condition_variable changed;

  std::map<std::string, uint32_t> failures;  // operation name -> error code
  std::vector<std::string> calls;            // every operation by name, in order
  int32_t platformFamily = 2;
  bool eventExists = false;                  // CreateEvent says it existed already
  // Added to the steady clock's milliseconds: moves the port's time on without waiting.
  std::atomic<uint32_t> clockShift{0};

  // Port state as the status checks see it.
  std::string rx;           // bytes in the receive queue
  uint32_t lineErrors = 0;  // returned by the next lineErrorCalls ClearCommErrors, then cleared
  int lineErrorCalls = 1;   // 1 as on the platforms; more for a line fault that lasts
  uint8_t holdFlags = 0;
  uint32_t outQueue = 0;
  uint32_t modem = 0;
  LineSettings lineSettings;
  PortTimeouts timeouts;
  uint32_t eventMask = 0;
  std::vector<std::string> written;
  std::vector<uint32_t> waitTimeouts;  // of every WaitForEvents

  // Outstanding operations.
  std::atomic<bool> holdWrites{false};  // Write answers kIoPending
  uint32_t writeResult = serialcodes::kIoIncomplete;  // GetResult of a held write
  uint32_t writeTransferred = 0;
  // Lets a held one-byte write finish well: the worker sees it done on its next look.
  void FinishHeldWrite() {
    std::lock_guard lock(mutex);
    writeResult = 0;
    writeTransferred = 1;
    holdWrites = false;
  }
  // The next write that begins with this byte is held as holdWrites holds
  // every write, until FinishHeldWrite; 0 for none.
  char holdNextWriteOf = 0;
  void HoldNextWriteOf(char first) {
    std::lock_guard lock(mutex);
    holdNextWriteOf = first;
    writeResult = serialcodes::kIoIncomplete;
    writeTransferred = 0;
  }
  std::atomic<bool> holdReads{false};   // Read answers kIoPending
  uint32_t readResult = serialcodes::kIoIncomplete;
  uint32_t waitResultOverride = 0;  // non-zero: WaitForEvents returns it
  bool commWaitAtOnce = false;      // the next WaitCommEvent completes at once with pendingMask
  // The next WaitCommEvent blocks until a Purge and then returns waitResultAtPurge:
  // by default it fails as on a cleared event mask (a close overtaking the worker
  // between its look at Active and the call); 0 completes it with pendingMask.
  bool waitEndsAtPurge = false;
  uint32_t waitResultAtPurge = 22;   // EINVAL
  // What a Purge does to a held read: abort it (as the platforms do), complete it
  // with the queued bytes (it ended well just then), or leave it running.
  enum class ReadAtPurge { Abort, Complete, Leave } readAtPurge = ReadAtPurge::Abort;
  bool waitingForPurge = false;      // such a call is blocked now
  int purges = 0;
  uint32_t pendingMask = 0;
  // As the platforms do: an event wait with no event selected is refused.
  bool refuseWaitWithoutMask = false;
  // A user-interface thread held up right after it set the event mask to 0, as
  // a loaded machine may hold it: SetEventMask(0) returns only once the worker
  // has tried a new event wait, or once this says so.
  std::function<bool()> holdAfterMaskZeroUntil;

  // Event objects: signalled flags, plus what a read or event wait delivers.
  std::map<int, bool> signalled;
  int nextEvent = 1;
  int writeEvent = -1, readEvent = -1, waitEvent = -1;
  uint32_t* waitMask = nullptr;
  char* readBuffer = nullptr;
  uint32_t readCount = 0;
  uint32_t* readGot = nullptr;

  void Fail(const std::string& op, uint32_t code) {
    std::lock_guard lock(mutex);
    failures[op] = code;
  }
  void Clear(const std::string& op) {
    std::lock_guard lock(mutex);
    failures.erase(op);
  }
  void Receive(const std::string& bytes) {
    std::lock_guard lock(mutex);
    rx += bytes;
  }
  // A line error that the status checks see for `calls` calls, arriving with `bytes`.
  void LineError(uint32_t bits, int calls, const std::string& bytes) {
    std::lock_guard lock(mutex);
    lineErrors = bits;
    lineErrorCalls = calls;
    rx += bytes;
  }
  // Ends the outstanding event wait with the given events.
  void FireEvents(uint32_t mask) {
    std::lock_guard lock(mutex);
    if (waitMask) *waitMask = mask;
    if (waitEvent >= 0) signalled[waitEvent] = true;
    changed.notify_all();
  }
  // Completes a held read with what is queued.
  void CompleteRead(uint32_t result) {
    std::lock_guard lock(mutex);
    CompleteReadLocked(result);
  }
  void CompleteReadLocked(uint32_t result) {
    readResult = result;
    if (result == 0 && readBuffer) {
      const uint32_t n = std::min<uint32_t>(readCount, rx.size());
      std::copy_n(rx.data(), n, readBuffer);
      rx.erase(0, n);
      if (readGot) *readGot = n;
    }
    if (readEvent >= 0) signalled[readEvent] = true;
    changed.notify_all();
  }
  bool RxEmpty() {
    std::lock_guard lock(mutex);
    return rx.empty();
  }
  std::vector<std::string> Calls() {
    std::lock_guard lock(mutex);
    return calls;
  }
  size_t CountZeroWaits() {
    std::lock_guard lock(mutex);
    return std::count(waitTimeouts.begin(), waitTimeouts.end(), 0u);
  }
  size_t CountCalls(const std::string& op) {
    std::lock_guard lock(mutex);
    return std::count(calls.begin(), calls.end(), op);
  }
  std::vector<std::string> Written() {
    std::lock_guard lock(mutex);
    return written;
  }
};

class FakeBackend final : public PortBackend {
 public:
  explicit FakeBackend(std::shared_ptr<FakeState> state) : s_(std::move(state)) {}

  int32_t PlatformFamily() override { return s_->platformFamily; }
  uint32_t TickCount() override {
    return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count()) +
           s_->clockShift;
  }

  uint32_t CreateEvent(Event& event) override {
    std::lock_guard lock(s_->mutex);
    if (uint32_t code = Failure("CreateEvent")) return code;
    event = s_->nextEvent++;
    s_->signalled[event] = false;
    // The component creates its records in the order write, read, event wait.
    if (s_->writeEvent < 0) s_->writeEvent = event;
    else if (s_->readEvent < 0) s_->readEvent = event;
    else s_->waitEvent = event;
    return s_->eventExists ? serialcodes::kAlreadyExists : 0;
  }
  void DestroyEvent(Event) override {}
  uint32_t SetEvent(Event event) override {
    std::lock_guard lock(s_->mutex);
    if (uint32_t code = Failure("SetEvent")) return code;
    s_->signalled[event] = true;
    s_->changed.notify_all();
    return 0;
  }
  uint32_t ResetEvent(Event event) override {
    std::lock_guard lock(s_->mutex);
    if (uint32_t code = Failure("ResetEvent")) return code;
    s_->signalled[event] = false;
    return 0;
  }
  uint32_t WaitForEvents(const Event* events, int count, uint32_t timeoutMs) override {
    std::unique_lock lock(s_->mutex);
    s_->waitTimeouts.push_back(timeoutMs);
    if (s_->waitResultOverride) return s_->waitResultOverride;
    uint32_t result = serialcodes::kWaitTimeout;
    // As a millisecond tick counter measures it: over when the tick has advanced by
    // timeoutMs, which in real time may be up to a millisecond less.
    const auto until = std::chrono::time_point_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now()) +
                       std::chrono::milliseconds(timeoutMs);
    s_->changed.wait_until(lock, until, [&] {
      for (int i = 0; i < count; ++i)
        if (s_->signalled[events[i]]) {
          result = static_cast<uint32_t>(i);
          return true;
        }
      return false;
    });
    return result;
  }

  uint32_t Open(const std::string& path, Handle& handle) override {
    std::lock_guard lock(s_->mutex);
    Record("Open:" + path);
    if (uint32_t code = Failure("Open")) return code;
    if (open_) return serialcodes::kBusy;  // opened exclusively, as the platforms open a port
    handle = 7;
    open_ = true;
    return 0;
  }
  uint32_t Close(Handle handle) override { return Simple("Close", handle, [&] { open_ = false; }); }
  uint32_t SetupQueues(Handle handle, uint32_t, uint32_t) override { return Simple("SetupQueues", handle); }
  uint32_t GetLineSettings(Handle handle, LineSettings& settings) override {
    return Simple("GetLineSettings", handle, [&] { settings = s_->lineSettings; });
  }
  uint32_t SetLineSettings(Handle handle, const LineSettings& settings) override {
    return Simple("SetLineSettings", handle, [&] { s_->lineSettings = settings; });
  }
  uint32_t GetTimeouts(Handle handle, PortTimeouts& timeouts) override {
    return Simple("GetTimeouts", handle, [&] { timeouts = s_->timeouts; });
  }
  uint32_t SetTimeouts(Handle handle, const PortTimeouts& timeouts) override {
    return Simple("SetTimeouts", handle, [&] { s_->timeouts = timeouts; });
  }
  uint32_t SetEventMask(Handle handle, uint32_t mask) override {
    const size_t waitsBefore = s_->CountCalls("WaitCommEvent");
    const uint32_t code = Simple("SetEventMask", handle, [&] {
      s_->eventMask = mask;
      if (mask == 0 && s_->waitMask) {
        *s_->waitMask = 0;
        s_->signalled[s_->waitEvent] = true;
        s_->changed.notify_all();
      }
    });
    if (code == 0 && mask == 0 && s_->holdAfterMaskZeroUntil) {
      const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
      while (s_->CountCalls("WaitCommEvent") == waitsBefore && !s_->holdAfterMaskZeroUntil() &&
             std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return code;
  }
  uint32_t Purge(Handle handle) override {
    return Simple("Purge", handle, [&] {
      ++s_->purges;
      s_->changed.notify_all();
      if (s_->holdReads && s_->readAtPurge == FakeState::ReadAtPurge::Complete) s_->CompleteReadLocked(0);
      s_->rx.clear();
      if (s_->holdWrites) s_->writeResult = serialcodes::kOperationAborted;
      if (s_->holdReads && s_->readAtPurge == FakeState::ReadAtPurge::Abort) {
        s_->readResult = serialcodes::kOperationAborted;
        s_->signalled[s_->readEvent] = true;
        s_->changed.notify_all();
      }
    });
  }
  uint32_t ControlLine(Handle handle, LineControl what) override {
    static const char* kNames[] = {"SetRts", "ClearRts", "SetDtr", "ClearDtr", "SetBreak", "ClearBreak"};
    return Simple(kNames[static_cast<int>(what)], handle);
  }

  // Every asynchronous operation resets its event as it starts, as the platforms do:
  // a signal left from the last one must not end the next at once.
  uint32_t Write(Handle handle, const char* data, uint32_t count, uint32_t& written, Event event) override {
    std::lock_guard lock(s_->mutex);
    Record("Write");
    if (uint32_t code = Failure("Write")) return code;
    if (!open_ || handle != 7) return serialcodes::kInvalidHandle;
    s_->signalled[event] = false;
    s_->written.emplace_back(data, count);
    if (s_->holdWrites) return serialcodes::kIoPending;
    if (count > 0 && s_->holdNextWriteOf != 0 && data[0] == s_->holdNextWriteOf) {
      s_->holdNextWriteOf = 0;
      return serialcodes::kIoPending;
    }
    written = count;
    return 0;
  }
  uint32_t Read(Handle handle, char* buffer, uint32_t count, uint32_t& got, Event event) override {
    std::lock_guard lock(s_->mutex);
    Record("Read");
    if (uint32_t code = Failure("Read")) return code;
    if (!open_ || handle != 7) return serialcodes::kInvalidHandle;
    s_->signalled[event] = false;
    if (s_->holdReads) {
      s_->readBuffer = buffer;
      s_->readCount = count;
      s_->readGot = &got;
      s_->readResult = serialcodes::kIoIncomplete;
      return serialcodes::kIoPending;
    }
    const uint32_t n = std::min<uint32_t>(count, s_->rx.size());
    std::copy_n(s_->rx.data(), n, buffer);
    s_->rx.erase(0, n);
    got = n;
    return 0;
  }
  uint32_t WaitCommEvent(Handle handle, uint32_t& mask, Event event) override {
    std::unique_lock lock(s_->mutex);
    Record("WaitCommEvent");
    if (uint32_t code = Failure("WaitCommEvent")) return code;
    if (!open_ || handle != 7) return serialcodes::kInvalidHandle;
    if (s_->refuseWaitWithoutMask && s_->eventMask == 0) return 22;  // EINVAL
    if (s_->waitEndsAtPurge) {
      s_->waitEndsAtPurge = false;
      s_->waitingForPurge = true;
      const int purges = s_->purges;
      s_->changed.wait(lock, [&] { return s_->purges != purges; });
      s_->waitingForPurge = false;
      if (s_->waitResultAtPurge == 0) mask = s_->pendingMask;
      return s_->waitResultAtPurge;
    }
    s_->signalled[event] = false;
    if (s_->commWaitAtOnce) {
      s_->commWaitAtOnce = false;
      mask = s_->pendingMask;
      return 0;
    }
    s_->waitMask = &mask;
    return serialcodes::kIoPending;
  }
  uint32_t GetResult(Handle, Event event, uint32_t& transferred) override {
    std::lock_guard lock(s_->mutex);
    Record("GetResult");
    if (event == s_->writeEvent) {
      transferred = s_->writeTransferred;
      return s_->writeResult;
    }
    if (event == s_->readEvent) {
      const uint32_t result = s_->readResult;
      if (result != serialcodes::kIoIncomplete) s_->readBuffer = nullptr;
      return result;
    }
    transferred = 0;
    return 0;
  }
  uint32_t ClearCommError(Handle handle, uint32_t& errors, PortStatus& status) override {
    std::lock_guard lock(s_->mutex);
    Record("ClearCommError");
    if (uint32_t code = Failure("ClearCommError")) return code;
    if (!open_ || handle != 7) return serialcodes::kInvalidHandle;
    errors = s_->lineErrors;
    if (--s_->lineErrorCalls <= 0) s_->lineErrors = 0;
    status.HoldFlags = s_->holdFlags;
    status.InQueue = static_cast<uint32_t>(s_->rx.size());
    status.OutQueue = s_->outQueue;
    return 0;
  }
  uint32_t GetModemStatus(Handle handle, uint32_t& status) override {
    return Simple("GetModemStatus", handle, [&] { status = s_->modem; });
  }

 private:
  uint32_t Failure(const std::string& op) {
    auto it = s_->failures.find(op);
    return it == s_->failures.end() ? 0 : it->second;
  }
  void Record(const std::string& op) { s_->calls.push_back(op); }
  template <typename F = void (*)()>
  uint32_t Simple(const std::string& op, Handle handle, F&& action = [] {}) {
    std::lock_guard lock(s_->mutex);
    Record(op);
    if (uint32_t code = Failure(op)) return code;
    if (!open_ || handle != 7) return serialcodes::kInvalidHandle;
    action();
    return 0;
  }

  std::shared_ptr<FakeState> s_;
  bool open_ = false;
};
