#pragma once
// The port backend over the Win32 communications API: each operation is one API
// call, and its error code (GetLastError, or the wait function's own result) is
// returned unchanged. Only Windows targets build it.

#include <memory>

#include "serial/portbackend.h"

std::unique_ptr<PortBackend> MakeWin32Backend();
