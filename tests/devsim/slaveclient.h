#pragma once
// The program's side of the pty in tests: plain POSIX calls, raw 38400 8N1, as
// the serial component sets the port.

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>

class SlaveClient {
 public:
  explicit SlaveClient(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) return;
    termios t{};
    tcgetattr(fd_, &t);
    cfmakeraw(&t);
    t.c_cflag &= ~(PARENB | CSTOPB | CSIZE | CRTSCTS);
    t.c_cflag |= CS8 | CLOCAL | CREAD;
    cfsetispeed(&t, B38400);
    cfsetospeed(&t, B38400);
    tcsetattr(fd_, TCSANOW, &t);
  }
  ~SlaveClient() {
    if (fd_ >= 0) ::close(fd_);
  }
  SlaveClient(const SlaveClient&) = delete;
  SlaveClient& operator=(const SlaveClient&) = delete;

  bool IsOpen() const { return fd_ >= 0; }
  int Fd() const { return fd_; }
  bool Write(const std::string& bytes) {
    return ::write(fd_, bytes.data(), bytes.size()) == ssize_t(bytes.size());
  }

  // Reads until `count` bytes have come or `timeout` has passed, whichever is first.
  std::string Read(size_t count, std::chrono::milliseconds timeout) {
    std::string bytes;
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (bytes.size() < count) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, int(left.count())) <= 0) continue;
      char buffer[256];
      const ssize_t n = ::read(fd_, buffer, std::min(sizeof buffer, count - bytes.size()));
      if (n <= 0) break;
      bytes.append(buffer, size_t(n));
    }
    return bytes;
  }
  // Everything that arrives within `window`: for asserting that nothing (more) came.
  std::string ReadAll(std::chrono::milliseconds window) { return Read(size_t(-1) / 2, window); }

 private:
  int fd_ = -1;
};
