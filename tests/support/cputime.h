#pragma once
// The processor time this process has used so far, all threads together: a
// spinning thread shows as a whole core, whatever the wall clock does.
#include <dirent.h>
#include <time.h>

#include <fstream>
#include <string>

inline double ProcessCpuMs() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

// The processor time so far of this process's threads called `name` (a worker
// names itself), from the scheduler's nanosecond count: a thread that wakes a
// dozen times a second uses far less than a clock tick in a second or two.
inline double ThreadCpuMs(const std::string& name) {
  double total = 0;
  DIR* tasks = opendir("/proc/self/task");
  if (!tasks) return 0;
  while (dirent* entry = readdir(tasks)) {
    if (entry->d_name[0] == '.') continue;
    const std::string base = std::string("/proc/self/task/") + entry->d_name;
    std::string comm;
    std::getline(std::ifstream(base + "/comm"), comm);
    if (comm != name) continue;
    double ns = 0;
    std::ifstream(base + "/schedstat") >> ns;
    total += ns / 1e6;
  }
  closedir(tasks);
  return total;
}
