// The backend contract and the component on a port, over the Win32 backend. The
// port is the simulator's pty mapped as a COM port in Wine's prefix
// (scripts/test-windows), COM5 unless VELLAMO_TEST_PORT names another.
// --devsim-args prints the simulator's script (contractscript.h) as options of
// vellamo-devsim, one a line, for the script that starts it.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <gmock/gmock.h>

#include "serial/win32backend.h"
#include "tests/serial/backendcontract.h"
#include "tests/serial/contractscript.h"

namespace {

std::string TestPort() {
  const char* port = std::getenv("VELLAMO_TEST_PORT");
  return port && *port ? port : "COM5";
}

const BackendUnderTest kWin32{"Win32",
                              [] { return MakeWin32Backend(); },
                              TestPort,
                              "COM99",
                              ERROR_ACCESS_DENIED,
                              ERROR_FILE_NOT_FOUND,
                              ERROR_INVALID_HANDLE};

}  // namespace

INSTANTIATE_TEST_SUITE_P(Win32, BackendContract, testing::Values(kWin32), BackendName);
INSTANTIATE_TEST_SUITE_P(Win32, ComponentOnPort, testing::Values(kWin32), BackendName);

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--devsim-args") == 0) {
    std::fputs(ContractScriptArguments().c_str(), stdout);
    return 0;
  }
  testing::InitGoogleMock(&argc, argv);
  return RUN_ALL_TESTS();
}
