#include "devsim/devicesimulator.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <system_error>

namespace devsim {

namespace {

[[noreturn]] void ThrowErrno(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

// A fresh Linux serial port before any program configured it, as `stty -a` shows
// for an unused /dev/ttyUSB0: 9600 baud, canonical input, but without echo: our
// own descriptor keeps the slave open, and with echo on, whatever the device sent
// while no client had the port open would come straight back as "received".
void SetFreshPortSettings(int fd) {
  termios t{};
  if (tcgetattr(fd, &t) != 0) ThrowErrno("tcgetattr on the pty slave");
  t.c_iflag = ICRNL | IXON;
  t.c_oflag = OPOST | ONLCR;
  t.c_cflag = CS8 | CREAD | HUPCL | CLOCAL;
  t.c_lflag = ISIG | ICANON | IEXTEN;
  cfsetispeed(&t, B9600);
  cfsetospeed(&t, B9600);
  if (tcsetattr(fd, TCSANOW, &t) != 0) ThrowErrno("tcsetattr on the pty slave");
}

std::string Hex(uint8_t b) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02x", b);
  return text;
}

std::string DescribeCommand(uint8_t command, int argument) {
  std::string text = "rx ";
  text += (command > 32 && command < 127) ? std::string(1, char(command)) : Hex(command);
  switch (command) {
    case '*':
      return text + " (enter service mode)";
    case '{':
      return text + " (leave service mode)";
    case 'A':
      return text + " (light level)";
    case 'B':
      return text + " (audio level)";
    case 'C':
      return text + " (store dim threshold)";
    case 'D':
      return text + " (start clock test)";
    case 'E':
      return text + " (stop clock test)";
    case 'F':
      return text + " " + Hex(uint8_t(argument)) + " (play segment " +
             std::to_string((argument + 255) % 256) + ")";
    case 'G':
      return text + " (begin copy session)";
    case 'H':
      return text + " (start processing)";
    case 'I':
      return text + " (start recording)";
    case 'J':
      return text + " (stop recording)";
    case 'K':
      return text + " (await processing result)";
    default:
      return text + " (unknown)";
  }
}

}  // namespace

std::string Printable(const std::string& bytes) {
  std::string text = "\"";
  for (unsigned char c : bytes) {
    switch (c) {
      case '\r':
        text += "\\r";
        break;
      case '\n':
        text += "\\n";
        break;
      case '\t':
        text += "\\t";
        break;
      case '"':
        text += "\\\"";
        break;
      case '\\':
        text += "\\\\";
        break;
      default:
        if (c >= 32 && c < 127) {
          text += char(c);
        } else {
          char hex[8];
          std::snprintf(hex, sizeof hex, "\\x%02x", c);
          text += hex;
        }
    }
  }
  return text + "\"";
}

DeviceSimulator::DeviceSimulator(Options options) : options_(std::move(options)) {
  // First, so that a sound server out of reach throws before anything else is opened.
  if (options_.hearing) {
    ear_ = std::make_unique<Ear>(*options_.hearing, [this](const HeardRecording& heard) {
      if (options_.observer) options_.observer(DescribeHeard(heard));
    });
  }
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0) ThrowErrno("posix_openpt");
  char name[128];
  if (grantpt(master_) != 0 || unlockpt(master_) != 0 || ptsname_r(master_, name, sizeof name) != 0) {
    const int code = errno;
    ::close(master_);
    throw std::system_error(code, std::generic_category(), "preparing the pty slave");
  }
  portPath_ = name;
  ownSlave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  // Opened after our own slave descriptor, so that only the clients' opens count.
  watchFd_ = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (ownSlave_ < 0 || wakeFd_ < 0 || watchFd_ < 0 ||
      inotify_add_watch(watchFd_, name, IN_OPEN | IN_CLOSE) < 0 ||
      fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK) != 0) {
    const int code = errno;
    for (int fd : {ownSlave_, wakeFd_, watchFd_, master_}) {
      if (fd >= 0) ::close(fd);
    }
    throw std::system_error(code, std::generic_category(), "opening the pty");
  }
  try {
    SetFreshPortSettings(ownSlave_);
  } catch (...) {
    for (int fd : {ownSlave_, wakeFd_, watchFd_, master_}) ::close(fd);
    throw;
  }
  thread_ = std::thread([this] { Serve(); });
}

DeviceSimulator::~DeviceSimulator() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  Wake();
  // The serving thread asks the ear for its level and starts its recordings: it
  // ends before the ear goes.
  thread_.join();
  // The ear's thread may still call the observer, which may call us: end it while
  // everything else stands.
  ear_.reset();
  std::lock_guard lock(mutex_);
  CloseMasterLocked();
  ::close(wakeFd_);
  ::close(watchFd_);
}

const std::string& DeviceSimulator::PortPath() const { return portPath_; }

void DeviceSimulator::SetAnswer(char command, std::optional<std::string> text) {
  std::lock_guard lock(mutex_);
  Script& s = scripts_[uint8_t(command)];
  s.kind = text ? Script::Kind::Text : Script::Kind::Silent;
  s.bytes = text ? *text + "\r\n" : std::string();
  s.values.clear();
}

void DeviceSimulator::SetAnswerBytes(char command, std::string bytes) {
  std::lock_guard lock(mutex_);
  Script& s = scripts_[uint8_t(command)];
  s.kind = Script::Kind::Bytes;
  s.bytes = std::move(bytes);
  s.values.clear();
}

void DeviceSimulator::SetValues(char command, std::vector<int> values) {
  std::vector<std::string> texts;
  for (const int value : values) texts.push_back(std::to_string(value));
  SetAnswers(command, std::move(texts));
}

void DeviceSimulator::SetAnswers(char command, std::vector<std::string> texts) {
  std::lock_guard lock(mutex_);
  Script& s = scripts_[uint8_t(command)];
  s.kind = texts.empty() ? Script::Kind::Default : Script::Kind::Values;
  s.values = std::move(texts);
  s.nextValue = 0;
}

void DeviceSimulator::ResetAnswer(char command) {
  std::lock_guard lock(mutex_);
  Script& s = scripts_[uint8_t(command)];
  s.kind = Script::Kind::Default;
  s.values.clear();
}

void DeviceSimulator::SetDelay(char command, std::chrono::milliseconds delay) {
  std::lock_guard lock(mutex_);
  scripts_[uint8_t(command)].delay = delay;
}

void DeviceSimulator::SetSplit(char command, size_t firstPieceLength, std::chrono::milliseconds gap) {
  std::lock_guard lock(mutex_);
  Script& s = scripts_[uint8_t(command)];
  s.splitAt = firstPieceLength;
  s.gap = gap;
}

void DeviceSimulator::SetProcessingTime(std::chrono::milliseconds time) {
  std::lock_guard lock(mutex_);
  options_.processingTime = time;
}

void DeviceSimulator::SendRaw(const std::string& bytes, std::chrono::milliseconds after) {
  {
    std::lock_guard lock(mutex_);
    if (unplugged_ || unplugRequested_) return;
    Schedule(Clock::now() + after, bytes);
  }
  Wake();
}

void DeviceSimulator::Unplug() {
  std::unique_lock lock(mutex_);
  if (std::this_thread::get_id() == servingThread_) {
    // From the observer: the serving thread is not inside poll(), so it may close at once.
    CloseMasterLocked();
    changed_.notify_all();
    return;
  }
  // Only the serving thread closes the master: closing a descriptor that another
  // thread is polling neither wakes it nor is safe against the number's reuse.
  unplugRequested_ = true;
  lock.unlock();
  Wake();
  lock.lock();
  changed_.wait(lock, [this] { return unplugged_ || stop_; });
}

bool DeviceSimulator::Unplugged() const {
  std::lock_guard lock(mutex_);
  return unplugged_;
}

std::vector<LoggedByte> DeviceSimulator::Log() const {
  std::lock_guard lock(mutex_);
  return log_;
}

std::string DeviceSimulator::Received() const {
  std::lock_guard lock(mutex_);
  std::string bytes;
  bytes.reserve(log_.size());
  for (const LoggedByte& b : log_) bytes += char(b.value);
  return bytes;
}

std::vector<SentPiece> DeviceSimulator::SentLog() const {
  std::lock_guard lock(mutex_);
  return sent_;
}

void DeviceSimulator::ClearLogs() {
  std::lock_guard lock(mutex_);
  log_.clear();
  sent_.clear();
}

bool DeviceSimulator::WaitForReceived(size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return log_.size() >= count; });
}

bool DeviceSimulator::WaitForIdle(std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return pending_.empty() && due_.empty(); });
}

termios DeviceSimulator::SlaveSettings() const {
  std::lock_guard lock(mutex_);
  termios t{};
  if (master_ < 0) throw std::system_error(ENODEV, std::generic_category(), "the device is unplugged");
  if (tcgetattr(master_, &t) != 0) ThrowErrno("tcgetattr on the pty master");
  return t;
}

DeviceState DeviceSimulator::State() const {
  std::lock_guard lock(mutex_);
  return state_;
}

bool DeviceSimulator::Hearing() const { return ear_ != nullptr; }

std::vector<HeardRecording> DeviceSimulator::HeardRecordings() const {
  return ear_ ? ear_->Recordings() : std::vector<HeardRecording>{};
}

bool DeviceSimulator::WaitForHeardRecordings(size_t count, std::chrono::milliseconds timeout) const {
  return ear_ ? ear_->WaitForRecordings(count, timeout) : count == 0;
}

int DeviceSimulator::PortOpenEvents() const {
  std::lock_guard lock(mutex_);
  return portOpenEvents_;
}

int DeviceSimulator::PortCloseEvents() const {
  std::lock_guard lock(mutex_);
  return portCloseEvents_;
}

bool DeviceSimulator::WaitForPortEvents(int opens, int closes, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout,
                           [&] { return portOpenEvents_ >= opens && portCloseEvents_ >= closes; });
}

bool DeviceSimulator::InServiceMode() const {
  std::lock_guard lock(mutex_);
  return state_.serviceMode;
}

void DeviceSimulator::Wake() const {
  const uint64_t one = 1;
  // A full counter (never reached) or EAGAIN still leaves the descriptor readable.
  [[maybe_unused]] ssize_t n = ::write(wakeFd_, &one, sizeof one);
}

void DeviceSimulator::Schedule(Clock::time_point due, std::string bytes, std::string followUp,
                               std::chrono::milliseconds followGap) {
  pending_.push_back(Pending{due, nextOrder_++, std::move(bytes), std::move(followUp), followGap});
}

void DeviceSimulator::CloseMasterLocked() {
  if (ownSlave_ >= 0) ::close(ownSlave_);
  if (master_ >= 0) ::close(master_);
  ownSlave_ = master_ = -1;
  unplugged_ = true;
  pending_.clear();
  due_.clear();
  frontWritten_ = 0;
}

std::optional<std::string> DeviceSimulator::AnswerFor(uint8_t command) {
  Script& s = scripts_[command];
  switch (s.kind) {
    case Script::Kind::Text:
    case Script::Kind::Bytes:
      return s.bytes;
    case Script::Kind::Silent:
      return std::nullopt;
    case Script::Kind::Values: {
      const std::string& text = s.values[std::min(s.nextValue, s.values.size() - 1)];
      if (s.nextValue < s.values.size()) ++s.nextValue;
      return text + "\r\n";
    }
    case Script::Kind::Default:
      break;
  }
  switch (command) {
    case 'A':
      return std::to_string(options_.lightLevel) + "\r\n";
    case 'B':
      return std::to_string(ear_ ? ear_->Level() : options_.audioLevel) + "\r\n";
    case 'I':
    case 'J':
    case 'K':
      return std::string("+\r\n");
    default:
      return std::nullopt;
  }
}

void DeviceSimulator::OnCommand(uint8_t command, int argument, Clock::time_point when,
                                std::vector<std::string>& notes) {
  switch (command) {
    case '*':
      state_.serviceMode = true;
      break;
    case '{':
      state_.serviceMode = false;
      break;
    case 'C':
      ++state_.dimThresholdStores;
      break;
    case 'D':
      state_.rtcTest = true;
      break;
    case 'E':
      state_.rtcTest = false;
      break;
    case 'F':
      state_.lastSegmentByte = argument;
      break;
    case 'G':
      ++state_.copySessions;
      break;
    case 'H':
      ++state_.processingStarts;
      break;
    case 'I':
      state_.recording = true;
      ++recordingsStarted_;
      if (ear_) ear_->StartRecording(recordingsStarted_, when);
      break;
    case 'J':
      state_.recording = false;
      if (ear_) ear_->StopRecording(when);
      break;
    default:
      break;
  }
  if (options_.observer) notes.push_back(DescribeCommand(command, argument));

  std::optional<std::string> answer = AnswerFor(command);
  if (!answer || answer->empty()) return;
  const Script& s = scripts_[command];
  Clock::time_point due = when + s.delay;
  const bool split = s.splitAt > 0 && s.splitAt < answer->size();
  if (command == 'K') {
    due += options_.processingTime;
  } else {
    // The clock serves one command at a time: an answer never overtakes the
    // one before it, however the delays are scripted. The processing runs on
    // its own and answers when it is done.
    due = std::max(due, lastAnswerDue_);
    lastAnswerDue_ = due + (split ? s.gap : std::chrono::milliseconds(0)) + std::chrono::milliseconds(1);
  }
  if (split) {
    Schedule(due, answer->substr(0, s.splitAt), answer->substr(s.splitAt), s.gap);
  } else {
    Schedule(due, *answer);
  }
}

void DeviceSimulator::OnBytes(const uint8_t* data, size_t count, Clock::time_point when,
                              std::vector<std::string>& notes) {
  for (size_t i = 0; i < count; ++i) {
    const uint8_t b = data[i];
    log_.push_back(LoggedByte{b, when});
    // "F" carries its segment in the next byte, which may come with a later read.
    if (awaitingSegment_) {
      awaitingSegment_ = false;
      OnCommand('F', b, when, notes);
    } else if (b == 'F') {
      awaitingSegment_ = true;
    } else {
      OnCommand(b, -1, when, notes);
    }
  }
}

void DeviceSimulator::OnWatchEvents(std::vector<std::string>& notes) {
  alignas(inotify_event) char buffer[4096];
  const ssize_t n = ::read(watchFd_, buffer, sizeof buffer);
  std::lock_guard lock(mutex_);
  for (ssize_t at = 0; at + ssize_t(sizeof(inotify_event)) <= n;) {
    const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
    at += ssize_t(sizeof(inotify_event) + event->len);
    if (event->mask & IN_OPEN) {
      ++portOpenEvents_;
      if (options_.observer) notes.push_back("port opened");
    } else if (event->mask & IN_CLOSE) {
      ++portCloseEvents_;
      if (options_.observer) notes.push_back("port closed");
      // A real port's tty goes away with its last close, and with it TIOCEXCL. A pty
      // pair lives on with its master (and our own descriptor), so a client that did
      // not clear exclusivity would lock every later open out (EBUSY) for all but
      // root. inotify cannot tell the last close (it merges identical events in a
      // row), so every close ends exclusivity; only root can hold a second
      // descriptor while another one is exclusive, so others hardly notice.
      if (ownSlave_ >= 0) ioctl(ownSlave_, TIOCNXCL);
    }
  }
  changed_.notify_all();
}

void DeviceSimulator::Serve() {
  {
    // Not thread_.get_id(): thread_ is still being assigned while this thread starts.
    std::lock_guard lock(mutex_);
    servingThread_ = std::this_thread::get_id();
  }
  std::vector<std::string> notes;
  for (;;) {
    // Bookkeeping under the lock: move what is due into the output queue and work
    // out how long poll may sleep.
    int master = -1;
    bool wantWrite = false;
    bool wantRead = false;
    std::string toWrite;
    timespec timeout{};
    timespec* timeoutPtr = nullptr;
    {
      std::lock_guard lock(mutex_);
      if (stop_) return;
      if (unplugRequested_ && !unplugged_) {
        CloseMasterLocked();
        changed_.notify_all();
      }
      const Clock::time_point now = Clock::now();
      std::sort(pending_.begin(), pending_.end(), [](const Pending& a, const Pending& b) {
        return a.due != b.due ? a.due < b.due : a.order < b.order;
      });
      size_t dueCount = 0;
      while (dueCount < pending_.size() && pending_[dueCount].due <= now) {
        due_.push_back(std::move(pending_[dueCount]));
        ++dueCount;
      }
      pending_.erase(pending_.begin(), pending_.begin() + dueCount);
      if (!pending_.empty()) {
        const auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(pending_.front().due - now);
        timeout.tv_sec = wait.count() / 1000000000;
        timeout.tv_nsec = wait.count() % 1000000000;
        timeoutPtr = &timeout;
      }
      master = master_;
      wantRead = master >= 0 && !masterBroken_;
      if (master >= 0 && !due_.empty()) {
        wantWrite = true;
        toWrite = due_.front().bytes.substr(frontWritten_);
      }
      if (due_.empty() && pending_.empty()) changed_.notify_all();
    }

    // Try the write before sleeping: the master almost always takes it whole. The
    // lock is held across this write (the master never blocks): a client that has
    // read the answer must find it in SentLog() already.
    if (wantWrite) {
      std::lock_guard lock(mutex_);
      const ssize_t n = ::write(master, toWrite.data(), toWrite.size());
      const int code = errno;
      if (n > 0) {
        frontWritten_ += size_t(n);
        if (frontWritten_ >= due_.front().bytes.size()) {
          Pending& piece = due_.front();
          const Clock::time_point written = Clock::now();
          sent_.push_back(SentPiece{piece.bytes, written});
          if (options_.observer) notes.push_back("tx " + Printable(piece.bytes));
          if (!piece.followUp.empty()) Schedule(written + piece.followGap, std::move(piece.followUp));
          due_.pop_front();
          frontWritten_ = 0;
          changed_.notify_all();
          timeout = {};
          timeoutPtr = &timeout;  // more may be due: go round at once
        }
      } else if (n < 0 && code != EAGAIN && code != EINTR) {
        // A master that refuses output for good: drop it rather than retry forever.
        due_.clear();
        frontWritten_ = 0;
        wantWrite = false;
      }
    }
    if (!notes.empty()) {
      for (const std::string& note : notes) options_.observer(note);
      notes.clear();
      continue;
    }

    // poll() skips entries with a negative descriptor.
    pollfd fds[3] = {{wakeFd_, POLLIN, 0},
                     {master >= 0 ? watchFd_ : -1, POLLIN, 0},
                     {(wantRead || wantWrite) ? master : -1,
                      short((wantRead ? POLLIN : 0) | (wantWrite ? POLLOUT : 0)), 0}};
    const int ready = ppoll(fds, 3, timeoutPtr, nullptr);
    if (ready < 0) continue;  // EINTR
    if (fds[0].revents & POLLIN) {
      uint64_t value;
      [[maybe_unused]] ssize_t n = ::read(wakeFd_, &value, sizeof value);
    }
    if (fds[1].revents & POLLIN) OnWatchEvents(notes);
    if (fds[2].revents & (POLLIN | POLLHUP | POLLERR)) {
      uint8_t buffer[256];
      const ssize_t n = ::read(master, buffer, sizeof buffer);
      const Clock::time_point when = Clock::now();
      const int code = errno;
      std::lock_guard lock(mutex_);
      if (n > 0) {
        OnBytes(buffer, size_t(n), when, notes);
        changed_.notify_all();
      } else if (n == 0 || (code != EAGAIN && code != EINTR)) {
        masterBroken_ = true;
      }
    }
    if (!notes.empty()) {
      for (const std::string& note : notes) options_.observer(note);
      notes.clear();
    }
  }
}

}  // namespace devsim
