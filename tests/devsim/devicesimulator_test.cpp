#include "devsim/devicesimulator.h"

#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <thread>

#include "slaveclient.h"
#include "tests/support/slowbuild.h"

using namespace std::chrono_literals;
using devsim::Clock;
using devsim::DeviceSimulator;

namespace {

// Only a fault waits this long: the simulator not answering, the pty not passing bytes on.
constexpr auto kFault = 20s;

devsim::Options QuickOptions() {
  devsim::Options options;
  options.processingTime = 50ms;
  return options;
}

class DeviceSimulatorTest : public ::testing::Test {
 protected:
  DeviceSimulator device{QuickOptions()};
  SlaveClient client{device.PortPath()};

  // Sends one command and returns what came back: once the simulator has taken the
  // command and has nothing left to send, every byte it wrote for it (it logs a
  // piece under the lock it writes under), however late the pty passes them on,
  // and whatever else is already there. Nothing can come after that.
  std::string Ask(const std::string& command) {
    const size_t before = device.Log().size();
    const size_t sentBefore = BytesSent();
    EXPECT_TRUE(client.Write(command));
    EXPECT_TRUE(device.WaitForReceived(before + command.size(), kFault));
    EXPECT_TRUE(device.WaitForIdle(kFault));
    std::string answer = client.Read(BytesSent() - sentBefore, kFault);
    return answer + client.ReadAll(0ms);
  }
  size_t BytesSent() const {
    size_t bytes = 0;
    for (const devsim::SentPiece& piece : device.SentLog()) bytes += piece.bytes.size();
    return bytes;
  }
};

TEST_F(DeviceSimulatorTest, HealthyDeviceAnswersQueriesWithCrLfAndSendOnlyCommandsWithNothing) {
  ASSERT_TRUE(client.IsOpen());
  EXPECT_EQ(Ask("A"), "512\r\n");
  EXPECT_EQ(Ask("B"), "150\r\n");
  EXPECT_EQ(Ask("I"), "+\r\n");
  EXPECT_EQ(Ask("J"), "+\r\n");
  EXPECT_EQ(Ask("K"), "+\r\n");
  EXPECT_EQ(Ask(std::string("*CDEF\x05GH{", 9)), "");
  EXPECT_EQ(device.Received(), std::string("ABIJK*CDEF\x05GH{", 14));
}

TEST_F(DeviceSimulatorTest, TracksServiceModeClockTestRecordingAndSegment) {
  client.Write("*DI");
  ASSERT_TRUE(device.WaitForReceived(3, kFault));
  devsim::DeviceState s = device.State();
  EXPECT_TRUE(s.serviceMode);
  EXPECT_TRUE(device.InServiceMode());
  EXPECT_TRUE(s.rtcTest);
  EXPECT_TRUE(s.recording);
  EXPECT_EQ(s.lastSegmentByte, -1);

  client.Write(std::string("EJF\0", 4) + "CGH{");  // "\x00C" would read as one hex escape
  ASSERT_TRUE(device.WaitForReceived(11, kFault));
  s = device.State();
  EXPECT_FALSE(s.serviceMode);
  EXPECT_FALSE(s.rtcTest);
  EXPECT_FALSE(s.recording);
  EXPECT_EQ(s.lastSegmentByte, 0);
  EXPECT_EQ(s.dimThresholdStores, 1);
  EXPECT_EQ(s.copySessions, 1);
  EXPECT_EQ(s.processingStarts, 1);
}

TEST_F(DeviceSimulatorTest, SegmentByteInALaterWriteIsTakenAsTheArgumentNotAsACommand) {
  client.Write("F");
  ASSERT_TRUE(device.WaitForReceived(1, kFault));
  EXPECT_EQ(device.State().lastSegmentByte, -1);
  // 0x41 is "A": as F's argument it must not be answered as a light query.
  EXPECT_EQ(Ask("A"), "");
  EXPECT_EQ(device.State().lastSegmentByte, 0x41);
  EXPECT_EQ(Ask("A"), "512\r\n");
}

TEST_F(DeviceSimulatorTest, ValueSequenceIsConsumedOnePerQueryAndTheLastRepeats) {
  device.SetValues('B', {5, 70, 120});
  EXPECT_EQ(Ask("B"), "5\r\n");
  EXPECT_EQ(Ask("B"), "70\r\n");
  EXPECT_EQ(Ask("B"), "120\r\n");
  EXPECT_EQ(Ask("B"), "120\r\n");
  EXPECT_EQ(Ask("A"), "512\r\n");  // the other converter keeps its own answer
  device.SetValues('B', {});
  EXPECT_EQ(Ask("B"), "150\r\n");
}

TEST_F(DeviceSimulatorTest, ScriptedAnswersReplaceTheHealthyOnes) {
  device.SetAnswer('I', "-");
  device.SetAnswerBytes('J', "+x");
  device.SetAnswer('A', " 512");
  device.SetAnswer('K', std::nullopt);
  EXPECT_EQ(Ask("I"), "-\r\n");
  EXPECT_EQ(Ask("J"), "+x");
  EXPECT_EQ(Ask("A"), " 512\r\n");
  EXPECT_EQ(Ask("K"), "");
  device.ResetAnswer('I');
  EXPECT_EQ(Ask("I"), "+\r\n");
  device.SetAnswer('C', "?");  // even a send-only command can be made to answer
  EXPECT_EQ(Ask("C"), "?\r\n");
}

TEST_F(DeviceSimulatorTest, DelayAndProcessingTimeHoldTheAnswerBack) {
  device.SetDelay('A', 200ms);
  const auto sent = Clock::now();
  client.Write("A");
  EXPECT_EQ(client.Read(5, kFault), "512\r\n");
  EXPECT_GE(Clock::now() - sent, 200ms);
  ASSERT_TRUE(device.WaitForIdle(kFault));
  ASSERT_EQ(device.SentLog().size(), 1u);
  EXPECT_GE(device.SentLog()[0].time - device.Log()[0].time, 200ms) << "held back from the command's arrival";

  device.SetProcessingTime(250ms);
  device.SetDelay('K', 50ms);
  // The client may read an answer before the simulator has logged it as sent.
  ASSERT_TRUE(device.WaitForIdle(kFault));
  device.ClearLogs();
  client.Write("K");
  EXPECT_EQ(client.Read(3, kFault), "+\r\n");
  ASSERT_TRUE(device.WaitForIdle(kFault));
  ASSERT_EQ(device.Log().size(), 1u);
  ASSERT_EQ(device.SentLog().size(), 1u);
  EXPECT_GE(device.SentLog()[0].time - device.Log()[0].time, 300ms);
  // Not the delay and the processing time each on its own, nor one of them twice
  // (600 ms): an upper bound, which a sanitizer's slowness would measure instead.
  if (!kSanitizedBuild) {
    EXPECT_LT(device.SentLog()[0].time - device.Log()[0].time, 500ms);
  }
}

TEST_F(DeviceSimulatorTest, SplitAnswerArrivesInTwoPiecesWithTheGap) {
  device.SetValues('B', {512});
  device.SetSplit('B', 1, 300ms);
  client.Write("B");
  EXPECT_EQ(client.Read(1, kFault), "5");
  EXPECT_EQ(client.Read(4, kFault), "12\r\n");
  const std::vector<devsim::SentPiece> pieces = device.SentLog();
  ASSERT_EQ(pieces.size(), 2u);
  EXPECT_EQ(pieces[0].bytes, "5");
  EXPECT_EQ(pieces[1].bytes, "12\r\n");
  // The rest is due the gap after the command arrived; the first piece's own write
  // may return late on a loaded machine, so the gap is counted from the command.
  EXPECT_GE(pieces[1].time - device.Log()[0].time, 300ms);
  // Due 300 ms after the command, not 300 ms after a late first piece: an upper bound.
  if (!kSanitizedBuild) {
    EXPECT_LT(pieces[1].time - pieces[0].time, 500ms);
  }

  device.SetSplit('B', 10, 300ms);  // longer than the answer: sent whole
  EXPECT_EQ(Ask("B"), "512\r\n");
}

TEST_F(DeviceSimulatorTest, RawBytesAreSentUnaskedAfterTheirDelay) {
  const auto start = Clock::now();
  device.SendRaw("late", 200ms);
  device.SendRaw(std::string("\x00now", 4));
  EXPECT_EQ(client.Read(4, kFault), std::string("\x00now", 4));
  EXPECT_EQ(client.Read(4, kFault), "late");
  EXPECT_GE(Clock::now() - start, 200ms);
  EXPECT_TRUE(device.WaitForIdle(kFault));
  EXPECT_EQ(device.Received(), "");
}

TEST(DeviceSimulatorRaw, BytesSentBeforeAnyClientAreNotEchoedBackAndWaitForTheClient) {
  DeviceSimulator device;
  device.SendRaw("AB\r\n");
  ASSERT_TRUE(device.WaitForIdle(kFault));
  EXPECT_FALSE(device.WaitForReceived(1, 100ms)) << devsim::Printable(device.Received());
  // A tty processes input when it arrives: under the fresh settings (ICRNL) the CR
  // had already become a LF before the client switched to raw.
  SlaveClient client(device.PortPath());
  EXPECT_EQ(client.Read(4, kFault), "AB\n\n");
}

TEST_F(DeviceSimulatorTest, LogStampsEachReadWithItsTime) {
  // Each byte's stamp lies between its write and the moment it was seen logged.
  const auto before = Clock::now();
  client.Write("*");
  ASSERT_TRUE(device.WaitForReceived(1, kFault));
  const auto between = Clock::now();
  client.Write("AB");
  ASSERT_TRUE(device.WaitForReceived(3, kFault));
  const auto after = Clock::now();
  const std::vector<devsim::LoggedByte> log = device.Log();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0].value, '*');
  EXPECT_EQ(log[2].value, 'B');
  EXPECT_GE(log[0].time, before);
  EXPECT_LE(log[0].time, between);
  EXPECT_GE(log[1].time, between);
  EXPECT_LE(log[1].time, log[2].time);
  EXPECT_LE(log[2].time, after);
}

TEST_F(DeviceSimulatorTest, WaitForReceivedTimesOutWhenNothingCame) {
  const auto start = Clock::now();
  EXPECT_FALSE(device.WaitForReceived(1, 100ms));
  EXPECT_GE(Clock::now() - start, 100ms);
}

TEST(DeviceSimulatorSettings, SlaveStartsLikeAFreshPortAndShowsTheClientsRawSettings) {
  DeviceSimulator device;
  termios fresh = device.SlaveSettings();
  EXPECT_EQ(cfgetospeed(&fresh), speed_t(B9600));
  EXPECT_TRUE(fresh.c_lflag & ICANON);
  EXPECT_FALSE(fresh.c_lflag & ECHO);

  SlaveClient client(device.PortPath());
  ASSERT_TRUE(client.IsOpen());
  termios mine{};
  ASSERT_EQ(tcgetattr(client.Fd(), &mine), 0);
  const termios seen = device.SlaveSettings();  // read through the master
  EXPECT_EQ(cfgetospeed(&seen), speed_t(B38400));
  EXPECT_EQ(cfgetispeed(&seen), speed_t(B38400));
  EXPECT_EQ(seen.c_cflag & CSIZE, tcflag_t(CS8));
  EXPECT_FALSE(seen.c_cflag & (PARENB | CSTOPB | CRTSCTS));
  EXPECT_FALSE(seen.c_lflag & (ICANON | ECHO | ISIG));
  EXPECT_FALSE(seen.c_iflag & (IXON | ICRNL));
  EXPECT_FALSE(seen.c_oflag & OPOST);
  EXPECT_EQ(seen.c_cflag, mine.c_cflag);
  EXPECT_EQ(seen.c_lflag, mine.c_lflag);
  EXPECT_EQ(seen.c_iflag, mine.c_iflag);
}

TEST(DeviceSimulatorClients, OpenAndCloseAreSeenAndExclusivityEndsWithTheClose) {
  DeviceSimulator device;
  EXPECT_EQ(device.PortOpenEvents(), 0);
  int exclusive = -1;
  {
    SlaveClient first(device.PortPath());
    ASSERT_EQ(ioctl(first.Fd(), TIOCEXCL), 0);
    ASSERT_TRUE(device.WaitForPortEvents(1, 0, kFault));
    ASSERT_EQ(ioctl(first.Fd(), TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 1);
  }
  ASSERT_TRUE(device.WaitForPortEvents(1, 1, kFault));
  // Without this, a user other than root could not reopen the port after closing it.
  SlaveClient again(device.PortPath());
  ASSERT_TRUE(again.IsOpen());
  ASSERT_EQ(ioctl(again.Fd(), TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 0);
  EXPECT_TRUE(device.WaitForPortEvents(2, 1, kFault));
}

TEST(DeviceSimulatorUnplug, ClientSeesTheLineGoneAndThePathDisappears) {
  DeviceSimulator device;
  SlaveClient client(device.PortPath());
  ASSERT_TRUE(client.IsOpen());
  device.SetDelay('A', 500ms);
  client.Write("A");
  ASSERT_TRUE(device.WaitForReceived(1, kFault));

  device.Unplug();
  EXPECT_TRUE(device.Unplugged());
  pollfd p{client.Fd(), POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 20000), 1);
  EXPECT_TRUE(p.revents & POLLHUP);
  char byte;
  const ssize_t n = read(client.Fd(), &byte, 1);
  EXPECT_TRUE(n == 0 || (n < 0 && errno == EIO)) << n << " " << errno;
  EXPECT_LT(write(client.Fd(), "B", 1), 0);
  struct stat st {};
  EXPECT_NE(stat(device.PortPath().c_str(), &st), 0);
  EXPECT_EQ(errno, ENOENT);

  device.SendRaw("ignored");  // nothing left to send on, and no crash
  device.Unplug();            // a second pull changes nothing
  EXPECT_TRUE(device.WaitForIdle(kFault));
  EXPECT_THROW(device.SlaveSettings(), std::system_error);
  EXPECT_EQ(device.Received(), "A");
}

TEST(DeviceSimulatorObserver, ReportsCommandsAndAnswersAndMayUnplugFromTheCallback) {
  std::mutex mutex;
  std::vector<std::string> lines;
  std::atomic<DeviceSimulator*> self = nullptr;
  devsim::Options options;
  options.observer = [&](const std::string& line) {
    {
      std::lock_guard lock(mutex);
      lines.push_back(line);
    }
    if (line.rfind("rx {", 0) == 0) self.load()->Unplug();
  };
  DeviceSimulator device(options);
  self = &device;
  SlaveClient client(device.PortPath());
  client.Write("F");
  client.Write(std::string("\x01", 1));
  client.Write("B");
  EXPECT_EQ(client.Read(5, kFault), "150\r\n");
  client.Write("{");
  pollfd p{client.Fd(), POLLIN, 0};
  EXPECT_EQ(poll(&p, 1, 20000), 1);
  EXPECT_TRUE(device.Unplugged());
  std::lock_guard lock(mutex);
  EXPECT_EQ(lines,
            (std::vector<std::string>{"port opened", "rx F 0x01 (play segment 0)", "rx B (audio level)",
                                      "tx \"150\\r\\n\"", "rx { (leave service mode)"}));
}

TEST(DeviceSimulatorPrintable, EscapesLineEndsAndBinaryBytes) {
  EXPECT_EQ(devsim::Printable("+\r\n"), "\"+\\r\\n\"");
  EXPECT_EQ(devsim::Printable(std::string("F\x00\xff", 3)), "\"F\\x00\\xff\"");
}

}  // namespace
