#pragma once
// The per-user folder in which programs announce virtual ports to Vellamo, as
// symlinks to their device paths. The port enumeration reads it and the device
// simulator writes it, so the rule lives here once.

#include <string>

// $XDG_RUNTIME_DIR/vellamo-ports, or /tmp/vellamo-ports-<uid> when XDG_RUNTIME_DIR
// is unset, empty or not absolute (the XDG rule for an unusable value).
std::string VirtualPortFolder();
std::string VirtualPortFolderFor(const char* xdgRuntimeDir, unsigned uid);
