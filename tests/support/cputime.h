#pragma once
// The processor time this process has used so far, all threads together: a
// spinning thread shows as a whole core, whatever the wall clock does.
#include <time.h>

inline double ProcessCpuMs() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}
