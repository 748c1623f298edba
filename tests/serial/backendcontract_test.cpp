// The port backend contract, one set for every backend (backendcontract.h).
#include "tests/serial/backendcontract.h"

namespace {

constexpr uint32_t kAllEvents = 0x1FF;
constexpr uint32_t kRxChar = 0x001, kRxFlag = 0x002, kTxEmpty = 0x004;
constexpr uint32_t kNoEvent = 0xFFFFFFFFu;
// The component's base time-outs: a read returns at once with what is queued.
const PortTimeouts kReadAtOnce{0xFFFFFFFFu, 0, 0, 0, 0};

// A port opened as the component opens it: 38400 8N1, every event, reads at once;
// whatever an earlier test left in the queues is purged.
struct OpenPort {
  std::unique_ptr<PortBackend> backend;
  PortBackend::Handle handle = PortBackend::kNoPort;
  PortBackend::Event waitEvent = -1, writeEvent = -1, readEvent = -1;
  uint32_t mask = 0;

  explicit OpenPort(const BackendUnderTest& b) : backend(b.make()) {
    EXPECT_EQ(backend->CreateEvent(waitEvent), 0u);
    EXPECT_EQ(backend->CreateEvent(writeEvent), 0u);
    EXPECT_EQ(backend->CreateEvent(readEvent), 0u);
    EXPECT_EQ(backend->Open(b.port(), handle), 0u);
    EXPECT_EQ(backend->SetupQueues(handle, 4096, 4096), 0u);
    LineSettings settings;
    settings.BaudRate = 38400;
    settings.Flags = dcbflags::kBinary;
    EXPECT_EQ(backend->SetLineSettings(handle, settings), 0u);
    EXPECT_EQ(backend->SetTimeouts(handle, kReadAtOnce), 0u);
    EXPECT_EQ(backend->SetEventMask(handle, kAllEvents), 0u);
    EXPECT_EQ(backend->Purge(handle), 0u);
  }
  ~OpenPort() {
    if (handle != PortBackend::kNoPort) {
      backend->SetEventMask(handle, 0);
      backend->Close(handle);
    }
    for (PortBackend::Event e : {waitEvent, writeEvent, readEvent}) backend->DestroyEvent(e);
  }

  void Send(const std::string& bytes) {
    uint32_t written = 0;
    uint32_t code = backend->Write(handle, bytes.data(), uint32_t(bytes.size()), written, writeEvent);
    if (code == serialcodes::kIoPending) {
      ASSERT_EQ(backend->WaitForEvents(&writeEvent, 1, kFaultMs), 0u);
      code = backend->GetResult(handle, writeEvent, written);
    }
    ASSERT_EQ(code, 0u);
    ASSERT_EQ(written, bytes.size());
  }

  // One event wait, waited for in the worker's 75 ms steps: the events it ended
  // with, or kNoEvent when only a fault could have kept them away so long.
  uint32_t NextEvents() {
    mask = 0;
    const uint32_t code = backend->WaitCommEvent(handle, mask, waitEvent);
    if (code == 0) return mask;
    EXPECT_EQ(code, serialcodes::kIoPending);
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(kFaultMs);
    while (std::chrono::steady_clock::now() < giveUp) {
      if (backend->WaitForEvents(&waitEvent, 1, 75) == 0) {
        uint32_t unused = 0;
        EXPECT_EQ(backend->GetResult(handle, waitEvent, unused), 0u);
        return mask;
      }
    }
    backend->SetEventMask(handle, 0);  // ends the wait before the mask goes away
    return kNoEvent;
  }

  // Waits until the waits have ended with all of `events`; the union of what came.
  uint32_t EventsUntil(uint32_t events) {
    uint32_t seen = 0;
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(kFaultMs);
    while ((seen & events) != events && std::chrono::steady_clock::now() < giveUp) {
      const uint32_t got = NextEvents();
      if (got == kNoEvent) return seen;
      seen |= got;
    }
    return seen;
  }

  uint32_t InQueue() {
    uint32_t errors = 0;
    PortStatus status;
    EXPECT_EQ(backend->ClearCommError(handle, errors, status), 0u);
    return status.InQueue;
  }

  // A read as the worker starts one; a read that the platform leaves pending is
  // collected when its event comes.
  std::string Read(uint32_t count) {
    std::string buffer(count, '\0');
    uint32_t got = 0;
    uint32_t code = backend->Read(handle, buffer.data(), count, got, readEvent);
    if (code == serialcodes::kIoPending) {
      EXPECT_EQ(backend->WaitForEvents(&readEvent, 1, kFaultMs), 0u);
      code = backend->GetResult(handle, readEvent, got);
    }
    EXPECT_EQ(code, 0u);
    buffer.resize(got);
    return buffer;
  }
};

TEST_P(BackendContract, APortOpensOnceAtATime) {
  const BackendUnderTest& b = GetParam();
  std::unique_ptr<PortBackend> backend = b.make();
  PortBackend::Handle first = PortBackend::kNoPort, second = PortBackend::kNoPort;
  ASSERT_EQ(backend->Open(b.port(), first), 0u);
  EXPECT_EQ(backend->Open(b.port(), second), b.busyCode);
  EXPECT_EQ(backend->Close(first), 0u);
  ASSERT_EQ(backend->Open(b.port(), first), 0u) << "closing gives the port back";
  EXPECT_EQ(backend->Close(first), 0u);
}

TEST_P(BackendContract, AMissingPortIsNamedByThePlatformsCode) {
  const BackendUnderTest& b = GetParam();
  std::unique_ptr<PortBackend> backend = b.make();
  PortBackend::Handle handle = PortBackend::kNoPort;
  EXPECT_EQ(backend->Open(b.missingPort, handle), b.missingCode);
}

TEST_P(BackendContract, EveryOperationOnNoPortFailsWithThePlatformsCode) {
  const BackendUnderTest& b = GetParam();
  std::unique_ptr<PortBackend> backend = b.make();
  const PortBackend::Handle none = PortBackend::kNoPort;
  LineSettings settings;
  PortTimeouts timeouts;
  uint32_t errors = 0, status = 0;
  PortStatus portStatus;
  EXPECT_EQ(backend->SetupQueues(none, 4096, 4096), b.noPortCode);
  EXPECT_EQ(backend->GetLineSettings(none, settings), b.noPortCode);
  EXPECT_EQ(backend->SetTimeouts(none, timeouts), b.noPortCode);
  EXPECT_EQ(backend->SetEventMask(none, 0), b.noPortCode);
  EXPECT_EQ(backend->Purge(none), b.noPortCode);
  EXPECT_EQ(backend->ClearCommError(none, errors, portStatus), b.noPortCode);
  EXPECT_EQ(backend->GetModemStatus(none, status), b.noPortCode);
  EXPECT_EQ(backend->ControlLine(none, LineControl::ClearDtr), b.noPortCode);
  // Not Close: on Windows the invalid handle value is also the current process's
  // pseudo-handle, which CloseHandle accepts. The component never closes it.
}

TEST_P(BackendContract, AnAnswerEndsTheEventWaitAndIsQueuedForAReadInParts) {
  OpenPort p(GetParam());
  p.Send("l");
  EXPECT_EQ(p.EventsUntil(kRxChar) & kRxChar, kRxChar);
  ASSERT_TRUE(WaitFor([&] { return p.InQueue() == 10; })) << p.InQueue();
  EXPECT_EQ(p.Read(4), "0123");
  EXPECT_EQ(p.InQueue(), 6u);
  EXPECT_EQ(p.Read(64), "456789");
}

TEST_P(BackendContract, AReadOfAnEmptyQueueReturnsAtOnceWithNothing) {
  OpenPort p(GetParam());
  static char buffer[8];  // outlives a read a faulty platform leaves running
  uint32_t got = 99;
  EXPECT_EQ(p.backend->Read(p.handle, buffer, sizeof buffer, got, p.readEvent), 0u);
  EXPECT_EQ(got, 0u);
}

TEST_P(BackendContract, ReceivedBytesEndOneWaitNotEveryWaitWhileTheyAreQueued) {
  OpenPort p(GetParam());
  p.Send("a");
  ASSERT_EQ(p.EventsUntil(kRxChar | kTxEmpty), kRxChar | kTxEmpty);  // the answer and the sending
  ASSERT_TRUE(WaitFor([&] { return p.InQueue() == 2; }));
  const uint32_t code = p.backend->WaitCommEvent(p.handle, p.mask, p.waitEvent);
  EXPECT_EQ(code, serialcodes::kIoPending) << "ended at once with events " << p.mask;
  if (code == serialcodes::kIoPending) {
    EXPECT_EQ(p.backend->WaitForEvents(&p.waitEvent, 1, 150), serialcodes::kWaitTimeout) << "events " << p.mask;
  }
}

TEST_P(BackendContract, TheEventCharacterAddsItsOwnEvent) {
  OpenPort p(GetParam());
  LineSettings settings;
  settings.BaudRate = 38400;
  settings.Flags = dcbflags::kBinary;
  settings.EvtChar = '\r';
  ASSERT_EQ(p.backend->SetLineSettings(p.handle, settings), 0u);
  p.Send("e");
  EXPECT_EQ(p.EventsUntil(kRxChar | kRxFlag) & (kRxChar | kRxFlag), kRxChar | kRxFlag);
  ASSERT_TRUE(WaitFor([&] { return p.InQueue() == 2; }));
  EXPECT_EQ(p.Read(2), "c\r");
}

TEST_P(BackendContract, TheTransmitQueueRunningEmptyEndsTheWait) {
  OpenPort p(GetParam());
  p.Send("z");  // no answer: only the sending ends a wait
  EXPECT_EQ(p.NextEvents(), kTxEmpty);
}

TEST_P(BackendContract, AMaskOfZeroEndsAnOutstandingWaitWithNoEvents) {
  OpenPort p(GetParam());
  p.mask = kNoEvent;
  ASSERT_EQ(p.backend->WaitCommEvent(p.handle, p.mask, p.waitEvent), serialcodes::kIoPending);
  uint32_t unused = 0;
  EXPECT_EQ(p.backend->GetResult(p.handle, p.waitEvent, unused), serialcodes::kIoIncomplete);
  ASSERT_EQ(p.backend->SetEventMask(p.handle, 0), 0u);
  ASSERT_EQ(p.backend->WaitForEvents(&p.waitEvent, 1, kFaultMs), 0u);
  EXPECT_EQ(p.backend->GetResult(p.handle, p.waitEvent, unused), 0u);
  EXPECT_EQ(p.mask, 0u);
}

TEST_P(BackendContract, PurgeEmptiesTheReceiveQueue) {
  OpenPort p(GetParam());
  p.Send("a");
  ASSERT_TRUE(WaitFor([&] { return p.InQueue() == 2; }));
  ASSERT_EQ(p.backend->Purge(p.handle), 0u);
  EXPECT_EQ(p.InQueue(), 0u);
  p.Send("l");
  ASSERT_TRUE(WaitFor([&] { return p.InQueue() == 10; }));
  EXPECT_EQ(p.Read(10), "0123456789") << "what comes after the purge is whole";
}

TEST_P(BackendContract, LineSettingsAndTimeOutsReadBackAsSet) {
  OpenPort p(GetParam());
  LineSettings settings;
  settings.BaudRate = 9600;
  settings.Flags = dcbflags::kBinary;
  settings.StopBits = 2;  // a pty keeps 8 data bits and no parity whatever it is given
  settings.XonChar = 0x11;
  settings.XoffChar = 0x13;
  ASSERT_EQ(p.backend->SetLineSettings(p.handle, settings), 0u);
  LineSettings back;
  ASSERT_EQ(p.backend->GetLineSettings(p.handle, back), 0u);
  EXPECT_EQ(back.BaudRate, 9600u);
  EXPECT_EQ(back.ByteSize, 8);
  EXPECT_EQ(back.StopBits, 2);
  EXPECT_EQ(back.XonChar, 0x11);
  EXPECT_EQ(back.XoffChar, 0x13);
  const PortTimeouts set{0xFFFFFFFFu, 0, 0, 0, 540};
  ASSERT_EQ(p.backend->SetTimeouts(p.handle, set), 0u);
  PortTimeouts got;
  ASSERT_EQ(p.backend->GetTimeouts(p.handle, got), 0u);
  EXPECT_EQ(got.ReadInterval, set.ReadInterval);
  EXPECT_EQ(got.WriteTotalConstant, set.WriteTotalConstant);
}

TEST_P(BackendContract, APtyHasNoModemLinesYetTakesLineControl) {
  OpenPort p(GetParam());
  uint32_t status = 0xFFFFFFFFu;
  EXPECT_EQ(p.backend->GetModemStatus(p.handle, status), 0u);
  EXPECT_EQ(status, 0u);
  for (LineControl what : {LineControl::SetDtr, LineControl::SetRts, LineControl::ClearDtr, LineControl::ClearRts,
                           LineControl::SetBreak, LineControl::ClearBreak})
    EXPECT_EQ(p.backend->ControlLine(p.handle, what), 0u) << static_cast<int>(what);
}

TEST_P(BackendContract, AnEventWaitReturnsTheFirstSignalledAndTimesOutNoSoonerThanTheTick) {
  const BackendUnderTest& b = GetParam();
  std::unique_ptr<PortBackend> backend = b.make();
  PortBackend::Event events[2] = {-1, -1};
  ASSERT_EQ(backend->CreateEvent(events[0]), 0u);
  ASSERT_EQ(backend->CreateEvent(events[1]), 0u);
  ASSERT_EQ(backend->SetEvent(events[1]), 0u);
  EXPECT_EQ(backend->WaitForEvents(events, 2, kFaultMs), 1u);
  ASSERT_EQ(backend->SetEvent(events[0]), 0u);
  EXPECT_EQ(backend->WaitForEvents(events, 2, kFaultMs), 0u) << "the first listed wins";
  EXPECT_EQ(backend->WaitForEvents(events, 2, kFaultMs), 0u) << "manual reset: still signalled";
  ASSERT_EQ(backend->ResetEvent(events[0]), 0u);
  ASSERT_EQ(backend->ResetEvent(events[1]), 0u);
  for (uint32_t timeout : {1u, 16u, 30u}) {
    const uint32_t start = backend->TickCount();
    EXPECT_EQ(backend->WaitForEvents(events, 2, timeout), serialcodes::kWaitTimeout);
    EXPECT_GE(backend->TickCount() - start, timeout);
  }
  for (PortBackend::Event e : events) backend->DestroyEvent(e);
}

}  // namespace
