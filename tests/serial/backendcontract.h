#pragma once
// What every port backend promises (serial/portbackend.h), tested against a real
// port with the device simulator at its far end: the POSIX backend on a pty, the
// Win32 backend under Wine on the same kind of pty mapped as a COM port. Each
// platform instantiates the tests with its backend (contract_posix.cpp,
// tests/windows/contract_win32.cpp); codes are the platform's own, so the few
// that a test names come with the backend.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <thread>

#include "serial/portbackend.h"
#include "tests/support/faulttime.h"

struct BackendUnderTest {
  std::string name;
  std::function<std::unique_ptr<PortBackend>()> make;
  // The port with the simulator at its far end, scripted as contractscript.h says.
  std::function<std::string()> port;
  std::string missingPort;  // a name no port has
  uint32_t busyCode;        // opening a port that is open already
  uint32_t missingCode;     // opening missing_port
  uint32_t noPortCode;      // any operation on kNoPort
};

inline void PrintTo(const BackendUnderTest& b, std::ostream* out) { *out << b.name; }

// Names the instantiated cases after their backend.
inline std::string BackendName(const testing::TestParamInfo<BackendUnderTest>& info) { return info.param.name; }

class BackendContract : public testing::TestWithParam<BackendUnderTest> {};
// The serial component over the backend, delivering through a PlainDelivery.
class ComponentOnPort : public testing::TestWithParam<BackendUnderTest> {};

// Polls until the condition holds; false when only a fault could take this long.
inline bool WaitFor(const std::function<bool()>& condition, int timeoutMs = kFaultMs) {
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > giveUp) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}
