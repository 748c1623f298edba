#pragma once
// Only a fault waits this long for a condition: no delivery, no worker pass, no
// answer. A sanitizer build, several times slower on a busy machine, stays far below.
inline constexpr int kFaultMs = 20000;
