#include "tools/processlist.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <vector>

namespace {

// The kernel keeps at most 15 characters of a process name (TASK_COMM_LEN - 1).
constexpr size_t kCommLength = 15;

std::vector<uint32_t> ProcessIds(const std::string& procRoot) {
  std::vector<uint32_t> ids;
  DIR* dir = opendir(procRoot.c_str());
  if (!dir) return ids;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.empty() || !std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; }))
      continue;
    const unsigned long id = std::strtoul(name.c_str(), nullptr, 10);
    if (id > 0 && id <= UINT32_MAX) ids.push_back(static_cast<uint32_t>(id));
  }
  closedir(dir);
  // /proc lists processes by ascending id; a copied tree may come in any order.
  std::sort(ids.begin(), ids.end());
  return ids;
}

std::string Comm(const std::string& folder) {
  std::ifstream file(folder + "/comm");
  std::string name;
  std::getline(file, name);
  return name;
}

std::string ExeBaseName(const std::string& folder) {
  char target[4096];
  const ssize_t length = readlink((folder + "/exe").c_str(), target, sizeof target - 1);
  if (length <= 0) return {};  // a kernel thread, or another user's process
  const std::string path(target, static_cast<size_t>(length));
  return path.substr(path.rfind('/') + 1);
}

// A process that has ended but not been collected by its parent (an orphaned
// tool whose adopter is slow to reap it) keeps its folder and its name.
bool Ended(const std::string& folder) {
  std::ifstream file(folder + "/stat");
  std::string stat;
  std::getline(file, stat);
  const size_t nameEnd = stat.rfind(')');
  if (nameEnd == std::string::npos || nameEnd + 2 >= stat.size()) return false;
  const char state = stat[nameEnd + 2];
  return state == 'Z' || state == 'X';
}

bool NameContains(const std::string& folder, const std::string& text) {
  const std::string comm = Comm(folder);
  if (comm.find(text) != std::string::npos) return true;
  // A name of full length may have been cut: the executable's own name is whole.
  return comm.size() >= kCommLength && ExeBaseName(folder).find(text) != std::string::npos;
}

}  // namespace

uint32_t FindProcessIdIn(const std::string& procRoot, const std::string& text) {
  uint32_t found = 0;
  for (uint32_t id : ProcessIds(procRoot))
    if (const std::string folder = procRoot + "/" + std::to_string(id);
        NameContains(folder, text) && !Ended(folder))
      found = id;
  return found;
}

uint32_t FindProcessId(const std::string& text) { return FindProcessIdIn("/proc", text); }
