// The termios backend on a real pty: its emulation of the platform's port events,
// and how line settings land in the pty's termios. Modem lines, error counters and
// a refusing driver, which a pty cannot give, come from devsim::AdapterLines under
// the backend's device requests.
#include <gmock/gmock.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <chrono>

#include "devsim/adapterlines.h"
#include "tests/support/eventwait.h"
#include "serial/portbackend.h"
#include "tests/serial/ptypair.h"

namespace {

constexpr uint32_t kNoEvent = 0xFFFFFFFFu;

struct BackendOnPty {
  PtyPair pty;
  devsim::AdapterLines adapter;
  std::unique_ptr<PortBackend> backend;
  PortBackend::Handle handle = PortBackend::kNoPort;
  PortBackend::Event waitEvent = -1, writeEvent = -1, readEvent = -1;
  uint32_t mask = 0;

  explicit BackendOnPty(bool withAdapterLines = false)
      : backend(MakePosixBackend(withAdapterLines ? adapter.Requests() : DeviceRequests{})) {
    backend->CreateEvent(waitEvent);
    backend->CreateEvent(writeEvent);
    backend->CreateEvent(readEvent);
    EXPECT_EQ(backend->Open(pty.path, handle), 0u);
    EXPECT_EQ(backend->SetLineSettings(handle, LineSettings{}), 0u);
    EXPECT_EQ(backend->SetEventMask(handle, 0x1FF), 0u);
  }

  // One event wait, waited for in the worker's 75 ms steps: the events it ended
  // with, or kNoEvent when only a fault could have kept them away so long.
  uint32_t NextEvents() {
    const uint32_t code = backend->WaitCommEvent(handle, mask, waitEvent);
    if (code == 0) return mask;
    EXPECT_EQ(code, serialcodes::kIoPending);
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(kFaultMs);
    while (std::chrono::steady_clock::now() < giveUp)
      if (backend->WaitForEvents(&waitEvent, 1, 75) == 0) return mask;
    backend->SetEventMask(handle, 0);  // ends the wait before the mask goes away
    return kNoEvent;
  }

  std::string ReadAll() {
    char buffer[64];
    uint32_t got = 0;
    EXPECT_EQ(backend->Read(handle, buffer, sizeof buffer, got, readEvent), 0u);
    return std::string(buffer, got);
  }
};

TEST(PosixEvents, ReceivedBytesEndTheWaitAndTheEventCharacterAddsItsBit) {
  BackendOnPty p;
  LineSettings settings;
  settings.EvtChar = '\r';
  ASSERT_EQ(p.backend->SetLineSettings(p.handle, settings), 0u);
  ASSERT_TRUE(p.pty.Send("ab"));
  EXPECT_EQ(p.NextEvents(), 0x001u);
  ASSERT_TRUE(p.pty.Send("c\r"));
  EXPECT_EQ(p.NextEvents(), 0x001u | 0x002u);
}

TEST(PosixEvents, TheTransmitQueueRunningEmptyEndsTheWait) {
  BackendOnPty p;
  uint32_t written = 0;
  ASSERT_EQ(p.backend->Write(p.handle, "hello", 5, written, p.writeEvent), 0u);
  EXPECT_EQ(p.NextEvents(), 0x004u);
}

TEST(PosixEvents, EachModemInputLineChangeHasItsOwnEvent) {
  BackendOnPty p(true);
  const std::pair<int, uint32_t> lines[] = {{TIOCM_CTS, 0x008}, {TIOCM_DSR, 0x010}, {TIOCM_CD, 0x020}};
  for (const auto& [line, event] : lines) {
    p.adapter.lines ^= line;
    EXPECT_EQ(p.NextEvents(), event) << "line " << line;
  }
}

TEST(PosixEvents, EachErrorCounterGivesItsErrorBitAndTheBreakOrLineErrorEvent) {
  BackendOnPty p(true);
  struct Case {
    std::atomic<int>* counter;
    uint32_t event, error;
  };
  const Case cases[] = {{&p.adapter.breaks, 0x040, 0x10},
                        {&p.adapter.frames, 0x080, 0x08},
                        {&p.adapter.parities, 0x080, 0x04},
                        {&p.adapter.overruns, 0x080, 0x02},
                        {&p.adapter.bufOverruns, 0x080, 0x01}};
  for (const Case& c : cases) {
    ++*c.counter;
    EXPECT_EQ(p.NextEvents(), c.event) << "error bit " << c.error;
    uint32_t errors = 0;
    PortStatus status;
    ASSERT_EQ(p.backend->ClearCommError(p.handle, errors, status), 0u);
    EXPECT_EQ(errors, c.error);
    ASSERT_EQ(p.backend->ClearCommError(p.handle, errors, status), 0u);
    EXPECT_EQ(errors, 0u) << "the error word is cleared by the check that returned it";
  }
}

TEST(PosixEvents, AQuietWaitAsksTheModemLinesAtMostOnce) {
  BackendOnPty p(true);
  ASSERT_EQ(p.backend->WaitCommEvent(p.handle, p.mask, p.waitEvent), serialcodes::kIoPending);
  const int before = p.adapter.lineQueries;
  EXPECT_EQ(p.backend->WaitForEvents(&p.waitEvent, 1, 300), serialcodes::kWaitTimeout);
  EXPECT_LE(p.adapter.lineQueries - before, 1);
  p.backend->SetEventMask(p.handle, 0);
}

TEST(PosixEvents, AModemLineChangeEndsTheWaitItHappensIn) {
  BackendOnPty p(true);
  ASSERT_EQ(p.backend->WaitCommEvent(p.handle, p.mask, p.waitEvent), serialcodes::kIoPending);
  p.adapter.lines ^= TIOCM_CTS;
  // Shorter than a sample's life: only the look at the end of the wait can see it.
  EXPECT_EQ(p.backend->WaitForEvents(&p.waitEvent, 1, 50), 0u);
  EXPECT_EQ(p.mask, 0x008u);
}

TEST(PosixEvents, WhileBytesGoOutTheWaitLooksInSlicesAndNeverSpins) {
  BackendOnPty p(true);
  p.adapter.outQueue = 10;
  uint32_t written = 0;
  ASSERT_EQ(p.backend->Write(p.handle, "hello", 5, written, p.writeEvent), 0u);
  ASSERT_EQ(p.backend->WaitCommEvent(p.handle, p.mask, p.waitEvent), serialcodes::kIoPending);
  const int before = p.adapter.outQueueQueries;
  EXPECT_EQ(p.backend->WaitForEvents(&p.waitEvent, 1, 20), serialcodes::kWaitTimeout);
  const int looks = p.adapter.outQueueQueries - before;
  EXPECT_GE(looks, 2) << "the queue is looked at while the wait goes on";
  EXPECT_LE(looks, 6) << "one look per 5 ms slice and one at the end, none in a spin";
  p.adapter.outQueue = 0;
  EXPECT_EQ(p.NextEvents(), 0x004u);
}

TEST(PosixEvents, AWaitNeverEndsBeforeItsTime) {
  BackendOnPty p;
  ASSERT_EQ(p.backend->WaitCommEvent(p.handle, p.mask, p.waitEvent), serialcodes::kIoPending);
  for (int i = 0; i < 20; ++i) {
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(p.backend->WaitForEvents(&p.waitEvent, 1, 1), serialcodes::kWaitTimeout);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1));
  }
  p.backend->SetEventMask(p.handle, 0);
}

TEST(PosixLineControl, APtyHasNoLinesToDriveButARealPortThatRefusesABreakSaysSo) {
  BackendOnPty bare;
  EXPECT_EQ(bare.backend->ControlLine(bare.handle, LineControl::SetRts), 0u) << "ENOTTY on a pty is no error";
  BackendOnPty adapter(true);
  adapter.adapter.refused = TIOCSBRK;
  adapter.adapter.refusedErrno = EINVAL;
  EXPECT_EQ(adapter.backend->ControlLine(adapter.handle, LineControl::SetBreak), uint32_t(EINVAL));
}

TEST(PosixReceiveFilter, NullStrippingDropsNulBytes) {
  BackendOnPty p;
  LineSettings settings;
  settings.Flags = dcbflags::kNull;
  ASSERT_EQ(p.backend->SetLineSettings(p.handle, settings), 0u);
  ASSERT_TRUE(p.pty.Send(std::string("a\0b", 3)));
  ASSERT_EQ(p.NextEvents(), 0x001u);
  EXPECT_EQ(p.ReadAll(), "ab");
}

TEST(PosixReceiveFilter, WithErrorCharacterReplacementTheTtyMarksErrorsAndATrue0xFFStillArrivesOnce) {
  BackendOnPty p;
  LineSettings settings;
  settings.Parity = 2;
  settings.Flags = dcbflags::kParity | dcbflags::kErrorChar;
  settings.ErrorChar = '?';
  ASSERT_EQ(p.backend->SetLineSettings(p.handle, settings), 0u);
  EXPECT_EQ(p.pty.Termios().iflag & (INPCK | PARMRK), uint32_t(INPCK | PARMRK));
  ASSERT_TRUE(
      p.pty.Send("a\xFF"
                 "b"));
  ASSERT_EQ(p.NextEvents(), 0x001u);
  EXPECT_EQ(p.ReadAll(),
            "a\xFF"
            "b");
}

TEST(PosixLineSettings, ARateWithoutAStandardCodeGoesThroughBother) {
  BackendOnPty p;
  LineSettings settings;
  settings.BaudRate = 31250;
  ASSERT_EQ(p.backend->SetLineSettings(p.handle, settings), 0u);
  const PtyTermios tio = p.pty.Termios();
  EXPECT_TRUE(tio.otherRate);
  EXPECT_EQ(tio.ospeed, 31250u);
  settings.BaudRate = 38400;
  ASSERT_EQ(p.backend->SetLineSettings(p.handle, settings), 0u);
  EXPECT_EQ(p.pty.Termios().cflag & CBAUD, uint32_t(B38400));
}

TEST(PosixLineSettings, EachParityHasItsFlags) {
  // Read from the mapping: a pty clears PARENB whatever it is given.
  const std::pair<uint8_t, uint32_t> cases[] = {
      {0, 0}, {1, PARENB | PARODD}, {2, PARENB}, {3, PARENB | PARODD | CMSPAR}, {4, PARENB | CMSPAR}};
  for (const auto& [parity, cflag] : cases) {
    LineSettings settings;
    settings.Parity = parity;
    uint32_t code = 1;
    EXPECT_EQ(MappedTermios(settings, code).cflag & (PARENB | PARODD | CMSPAR), cflag) << int(parity);
    EXPECT_EQ(code, 0u);
  }
}

TEST(PosixLineSettings, FlowControlLandsInThePtysTermios) {
  BackendOnPty p;
  const std::pair<uint32_t, uint32_t> cases[] = {
      {dcbflags::kOutxCtsFlow | dcbflags::kRtsHandshake, CRTSCTS},
      {dcbflags::kOutX, IXON},
      {dcbflags::kInX | dcbflags::kTxContinueOnXoff, IXOFF},
  };
  for (const auto& [flags, expected] : cases) {
    LineSettings settings;
    settings.Flags = flags;
    ASSERT_EQ(p.backend->SetLineSettings(p.handle, settings), 0u);
    const PtyTermios tio = p.pty.Termios();
    EXPECT_EQ((tio.cflag & CRTSCTS) | (tio.iflag & (IXON | IXOFF)), expected) << "flags " << flags;
  }
}

TEST(PosixLineSettings, WhatTermiosCannotDoIsRefusedAndChangesNothing) {
  BackendOnPty p;
  const auto with = [](auto change) {
    LineSettings s;
    s.BaudRate = 1200;
    change(s);
    return s;
  };
  const LineSettings refused[] = {
      with([](LineSettings& s) { s.Flags = dcbflags::kRtsToggle; }),
      with([](LineSettings& s) { s.StopBits = 1; }),
      with([](LineSettings& s) { s.Flags = dcbflags::kDtrHandshake; }),
      with([](LineSettings& s) { s.Flags = dcbflags::kOutxDsrFlow; }),
      with([](LineSettings& s) { s.Flags = dcbflags::kOutxCtsFlow; }),
      with([](LineSettings& s) { s.Flags = dcbflags::kInX; }),
  };
  for (const LineSettings& s : refused) {
    EXPECT_EQ(p.backend->SetLineSettings(p.handle, s), serialcodes::kInvalidParameter) << "flags " << s.Flags;
    EXPECT_NE(p.pty.Termios().ospeed, 1200u) << "flags " << s.Flags;
  }
}

}  // namespace
