#pragma once
// Which programs are running, by the name of their executable: the firmware
// update waits while the flashing tool runs. Read from /proc; nothing is opened
// but /proc's own files.

#include <cstdint>
#include <string>

// The id of a running process whose executable's name contains `text`
// (case-sensitive), the last such one in /proc's order (ascending ids); 0 when
// none does or /proc cannot be read. A process that has ended and waits to be
// collected (a zombie) no longer runs.
uint32_t FindProcessId(const std::string& text);

// The same over another proc root, for tests: a folder of numbered process
// folders, each with a "comm" file, an "exe" symlink and optionally "stat".
uint32_t FindProcessIdIn(const std::string& procRoot, const std::string& text);
