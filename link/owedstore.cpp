#include "link/owedstore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {
// A device path as a file name: every character but letters and digits
// escaped, so that two different paths never share a file.
std::string Escaped(const std::string& path) {
  std::string name;
  for (const unsigned char c : path) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
      name += static_cast<char>(c);
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "_%02x", c);
      name += hex;
    }
  }
  return name;
}

bool IsLong(const AnswerLedger::Debt& debt) {
  return AnswerLedger::TermsFor(debt.letter).expiresAfterMs > AnswerLedger::TermsFor('A').expiresAfterMs;
}

int64_t SystemNowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}
}  // namespace

std::string OwedStore::FileFor(const std::string& devicePath) const {
  return folder_ + "/owed-" + Escaped(devicePath);
}

bool OwedStore::Save(const std::string& devicePath, const std::vector<OwedRecord>& owed) const {
  const std::string file = FileFor(devicePath);
  if (owed.empty()) return ::unlink(file.c_str()) == 0 || errno == ENOENT;
  ::mkdir(folder_.c_str(), 0700);
  std::ostringstream text;
  for (const OwedRecord& record : owed)
    text << record.letter << ' ' << record.writtenMs << ' ' << record.expiresMs << '\n';
  // Written aside and renamed over, so that a reader never sees half a file.
  const std::string temporary = file + ".new";
  {
    std::ofstream out(temporary, std::ios::trunc);
    out << text.str();
    if (!out.flush()) return false;
  }
  return std::rename(temporary.c_str(), file.c_str()) == 0;
}

std::vector<OwedRecord> OwedStore::Load(const std::string& devicePath, int64_t nowMs) const {
  std::ifstream in(FileFor(devicePath));
  std::vector<OwedRecord> owed;
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    OwedRecord record;
    std::string letter;
    if (!(fields >> letter >> record.writtenMs >> record.expiresMs) || letter.size() != 1) return {};
    record.letter = letter[0];
    if (record.expiresMs > nowMs) owed.push_back(record);
  }
  return owed;
}

bool OwedStore::Record(const std::string& devicePath, const AnswerLedger& ledger, bool everything,
                       int64_t steadyNowMs) const {
  const int64_t systemNow = SystemNowMs();
  std::vector<OwedRecord> records;
  for (const AnswerLedger::Debt& debt : ledger.Owed())
    if (everything || IsLong(debt))
      records.push_back({debt.letter, systemNow - (steadyNowMs - debt.writtenMs),
                         systemNow - (steadyNowMs - debt.expiresMs)});
  return Save(devicePath, records);
}

void OwedStore::CarryInto(const std::string& devicePath, AnswerLedger& ledger, int64_t steadyNowMs) const {
  const int64_t systemNow = SystemNowMs();
  for (const OwedRecord& record : Load(devicePath, systemNow))
    ledger.Carry(record.letter, steadyNowMs - (systemNow - record.writtenMs),
                 steadyNowMs - (systemNow - record.expiresMs));
}

size_t OwedStore::LongDebts(const AnswerLedger& ledger) {
  return static_cast<size_t>(std::count_if(ledger.Owed().begin(), ledger.Owed().end(), IsLong));
}

std::string OwedStore::DefaultFolder() {
  if (const char* dir = std::getenv("VELLAMO_LOCK_DIR"); dir && *dir) return dir;
  if (const char* dir = std::getenv("XDG_RUNTIME_DIR"); dir && *dir)
    return std::string(dir) + "/vellamo-locks";
  return "/tmp/vellamo-locks-" + std::to_string(::getuid());
}
