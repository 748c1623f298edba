#include "serial/virtualportfolder.h"

#include <unistd.h>

#include <cstdlib>

std::string VirtualPortFolderFor(const char* xdgRuntimeDir, unsigned uid) {
  if (xdgRuntimeDir && xdgRuntimeDir[0] == '/') {
    std::string folder = xdgRuntimeDir;
    if (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    return folder + "/vellamo-ports";
  }
  return "/tmp/vellamo-ports-" + std::to_string(uid);
}

std::string VirtualPortFolder() { return VirtualPortFolderFor(std::getenv("XDG_RUNTIME_DIR"), getuid()); }
