// The backend contract and the component on a port, over the POSIX backend: the
// simulator runs in-process on a pty, scripted from contractscript.h.
#include <cerrno>

#include "devsim/devicesimulator.h"
#include "tests/serial/backendcontract.h"
#include "tests/serial/contractscript.h"

namespace {

// One simulator for the whole run, as scripts/test-windows has one for Wine.
std::string SimulatorPort() {
  static devsim::DeviceSimulator simulator;
  static const bool scripted = [] {
    for (const ScriptedAnswer& answer : ContractScript()) simulator.SetAnswerBytes(answer.command, answer.bytes);
    return true;
  }();
  (void)scripted;
  return simulator.PortPath();
}

const BackendUnderTest kPosix{"Posix",          [] { return MakePosixBackend(); },
                              SimulatorPort,    "/dev/vellamo-no-such-port",
                              EBUSY,            ENOENT,
                              EBADF};

}  // namespace

INSTANTIATE_TEST_SUITE_P(Posix, BackendContract, testing::Values(kPosix), BackendName);
INSTANTIATE_TEST_SUITE_P(Posix, ComponentOnPort, testing::Values(kPosix), BackendName);
