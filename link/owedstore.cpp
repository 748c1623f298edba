#include "link/owedstore.h"

#include "serial/processlock.h"

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
bool IsLong(const AnswerLedger::Debt& debt) {
  return AnswerLedger::TermsFor(debt.letter).expiresAfterMs > AnswerLedger::TermsFor('A').expiresAfterMs;
}

// The device node behind the path, told apart from a later node of the same
// name: a replugged or swapped clock, or a pty the system handed out again, is
// a device that owes nothing of what the earlier one was asked. The change time
// of a node is its creation (the system gives a new one each time it appears).
std::string NodeIdentity(const std::string& devicePath) {
  struct stat node {};
  if (::stat(devicePath.c_str(), &node) != 0) return {};
  return "node " + std::to_string(node.st_rdev) + ' ' + std::to_string(node.st_ino) + ' ' +
         std::to_string(node.st_ctim.tv_sec) + ' ' + std::to_string(node.st_ctim.tv_nsec);
}

int64_t SystemNowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}
}  // namespace

std::string OwedStore::FileFor(const std::string& devicePath) const {
  // Named as the port's lock is: a by-id link and the device node are one clock.
  return folder_ + "/owed-" + PortLockName(devicePath);
}

bool OwedStore::Save(const std::string& devicePath, const std::vector<OwedRecord>& owed) const {
  const std::string file = FileFor(devicePath);
  const std::string identity = NodeIdentity(devicePath);
  // Without its node a record would bind whatever appears under the name next.
  if (owed.empty() || identity.empty()) {
    const bool removed = ::unlink(file.c_str()) == 0 || errno == ENOENT;
    return removed && owed.empty();
  }
  ::mkdir(folder_.c_str(), 0700);
  std::ostringstream text;
  text << identity << '\n';
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
  if (!std::getline(in, line) || line.empty() || line != NodeIdentity(devicePath)) return {};
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
