#pragma once
// A healthy clock device on the far side of a pty, for tests (in-process) and for
// the program vellamo-devsim.
//
// The simulator owns a pty pair: it keeps the master and offers the slave's path
// (PortPath) as the device's port. One thread of its own serves the master with
// poll(); it never touches Qt, so a test may run a Qt event loop beside it.
//
// Threading: every public member may be called from any thread. One mutex guards
// the script (answers, values, delays, splits), the device state, the logs and the
// queue of pending output; the serving thread holds it only for short bookkeeping
// and across the non-blocking write of an answer (so that an answer a client has
// read is always in SentLog()), never across a read, a poll or the observer callback.
//
// The slave starts as a fresh Linux serial port does (9600 baud, canonical input;
// only echo is off), not already raw, so SlaveSettings() and the received-byte log show
// whether the program under test really set 38400 8N1 raw. The simulator holds a
// slave descriptor of its own while plugged in: without it the master would poll
// hung up whenever no client has the port open. Because of that descriptor (and
// because a pty's tty lives as long as its master) the simulator ends a client's
// TIOCEXCL when the client closes the port, as a real port's last close does.
//
// Unlike a real port that nobody has open, bytes sent while no client holds the
// slave wait in the pty for the next client to read.

#include <termios.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "devsim/hearing.h"

namespace devsim {

using Clock = std::chrono::steady_clock;

struct Options {
  // How long "K" takes before it answers "+".
  std::chrono::milliseconds processingTime{100};
  // What "A" (light) and "B" (audio) answer until a test scripts otherwise. The
  // audio level lies above the copy sequence's "sufficient" mark of 120.
  int lightLevel = 512;
  int audioLevel = 150;
  // Hearing mode: "B" answers the level of what the sound server plays (see
  // hearing.h) instead of audioLevel, and each recording from "I" to "J" is
  // measured and reported to the observer. The constructor throws
  // HearingUnavailable when the sound server cannot be recorded.
  std::optional<HearingOptions> hearing;
  // Called on the serving thread, without the lock held, with one readable line
  // per completed command ("rx F 0x01 (play segment 0)"), per answer piece sent
  // ("tx \"+\\r\\n\"") and per client open or close ("port opened"). In hearing
  // mode also once per measured recording (DescribeHeard), on the ear's thread.
  // May call any member, Unplug included.
  std::function<void(const std::string&)> observer;
};

struct LoggedByte {
  uint8_t value;
  Clock::time_point time;  // when the read that brought it returned
};

struct SentPiece {
  std::string bytes;
  Clock::time_point time;  // when the write of its last byte returned
};

// What the device remembers from the commands it has seen.
struct DeviceState {
  bool serviceMode = false;    // "*" on, "{" off
  bool rtcTest = false;        // "D" on, "E" off
  bool recording = false;      // "I" on, "J" off
  int lastSegmentByte = -1;    // the byte after the last complete "F"; -1 before the first
  int dimThresholdStores = 0;  // "C"
  int copySessions = 0;        // "G"
  int processingStarts = 0;    // "H"
};

class DeviceSimulator {
 public:
  explicit DeviceSimulator(Options options = {});
  ~DeviceSimulator();
  DeviceSimulator(const DeviceSimulator&) = delete;
  DeviceSimulator& operator=(const DeviceSimulator&) = delete;

  // The slave's path, e.g. /dev/pts/7. Stays the same after Unplug.
  const std::string& PortPath() const;

  // --- script; each call replaces what was scripted before for that command ---
  // Answers `text` followed by CR LF; std::nullopt: answers nothing at all.
  void SetAnswer(char command, std::optional<std::string> text);
  // Answers exactly these bytes, no line end added (for malformed answers).
  void SetAnswerBytes(char command, std::string bytes);
  // Answers the values in turn as decimal numbers with CR LF, one per query; the
  // last one repeats. An empty list restores the default answer.
  void SetValues(char command, std::vector<int> values);
  // The same with texts: "-" and then "+" for a verdict that changes.
  void SetAnswers(char command, std::vector<std::string> texts);
  // Back to the healthy device's answer for this command (delay and split stay).
  void ResetAnswer(char command);
  // Waits this long before answering (for "K" on top of the processing time).
  // Answers to every command but "K" leave in the order of their commands, as
  // from a clock that serves one command at a time.
  void SetDelay(char command, std::chrono::milliseconds delay);
  // Sends the first `firstPieceLength` bytes of the answer, then the rest `gap`
  // after the first piece was written (however late that was). A length of 0
  // or at least the answer's length sends it whole.
  void SetSplit(char command, size_t firstPieceLength, std::chrono::milliseconds gap);
  void SetProcessingTime(std::chrono::milliseconds time);

  // --- actions ---
  // Sends bytes nobody asked for, `after` from now; ordered with the answers by due time.
  void SendRaw(const std::string& bytes, std::chrono::milliseconds after = std::chrono::milliseconds(0));
  // Closes the master (and the simulator's own slave descriptor) as a pulled
  // cable would: the client's reads return 0 / EIO and the path disappears.
  // Pending output is dropped. Idempotent.
  void Unplug();
  bool Unplugged() const;

  // --- observation ---
  std::vector<LoggedByte> Log() const;
  std::string Received() const;  // the bytes of Log(), in order
  std::vector<SentPiece> SentLog() const;
  void ClearLogs();
  // True as soon as at least `count` bytes have been received since the start
  // (or the last ClearLogs); false when the time-out passed first.
  bool WaitForReceived(size_t count, std::chrono::milliseconds timeout) const;
  // True when no output is pending any more (every scheduled answer written).
  bool WaitForIdle(std::chrono::milliseconds timeout) const;
  // The slave's termios as the client last set it, read through the master
  // (Linux answers termios requests on a pty master with the slave's settings).
  // Throws std::system_error after Unplug.
  termios SlaveSettings() const;
  DeviceState State() const;
  bool InServiceMode() const;
  // Opens and closes of the slave by clients, seen through inotify on its path:
  // they lag the client's call slightly, and inotify merges identical events in a
  // row, so two opens without anything between may count once. "At least one
  // since" is exact; use these to wait for "the program opened / closed the port".
  // Hearing mode: the recordings measured so far, oldest first (empty without
  // hearing), and a wait until `count` of them are measured.
  bool Hearing() const;
  std::vector<HeardRecording> HeardRecordings() const;
  bool WaitForHeardRecordings(size_t count, std::chrono::milliseconds timeout) const;
  int PortOpenEvents() const;
  int PortCloseEvents() const;
  bool WaitForPortEvents(int opens, int closes, std::chrono::milliseconds timeout) const;

 private:
  struct Script {
    enum class Kind { Default, Text, Bytes, Silent, Values } kind = Kind::Default;
    std::string bytes;
    std::vector<std::string> values;  // answered in turn, each with CR LF
    size_t nextValue = 0;
    std::chrono::milliseconds delay{0};
    size_t splitAt = 0;
    std::chrono::milliseconds gap{0};
  };
  struct Pending {
    Clock::time_point due;
    uint64_t order;
    std::string bytes;
    // The second piece of a split answer: scheduled `followGap` after these
    // bytes have been written, so that the gap holds even when they go out late.
    std::string followUp;
    std::chrono::milliseconds followGap{0};
  };

  void Serve();
  void Wake() const;
  void OnBytes(const uint8_t* data, size_t count, Clock::time_point when, std::vector<std::string>& notes);
  void OnWatchEvents(std::vector<std::string>& notes);
  void OnCommand(uint8_t command, int argument, Clock::time_point when, std::vector<std::string>& notes);
  std::optional<std::string> AnswerFor(uint8_t command);
  void Schedule(Clock::time_point due, std::string bytes, std::string followUp = {},
                std::chrono::milliseconds followGap = {});
  void CloseMasterLocked();

  Options options_;
  std::unique_ptr<Ear> ear_;  // hearing mode; not guarded by mutex_, never replaced
  int recordingsStarted_ = 0;
  std::string portPath_;
  int master_ = -1;
  int ownSlave_ = -1;
  int wakeFd_ = -1;   // eventfd: the API's way to end the serving thread's poll at once
  int watchFd_ = -1;  // inotify on the slave's path: clients opening and closing it

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::map<uint8_t, Script> scripts_;
  DeviceState state_;
  bool awaitingSegment_ = false;
  Clock::time_point lastAnswerDue_{};  // the latest due time of a short command's answer
  int portOpenEvents_ = 0;
  int portCloseEvents_ = 0;
  std::vector<LoggedByte> log_;
  std::vector<SentPiece> sent_;
  std::vector<Pending> pending_;  // not yet due, any order; the thread picks the earliest
  std::deque<Pending> due_;       // due, not yet (fully) accepted by the master; front partly written
  size_t frontWritten_ = 0;
  uint64_t nextOrder_ = 0;
  bool stop_ = false;
  bool unplugRequested_ = false;
  bool unplugged_ = false;
  bool masterBroken_ = false;  // read failed for good: stop polling it rather than spin

  std::thread::id servingThread_;  // set by the serving thread itself, under the lock
  std::thread thread_;
};

// Bytes as a quoted C string ("+\r\n", "\x00"): how the observer and the
// program's --verbose show them.
std::string Printable(const std::string& bytes);

}  // namespace devsim
