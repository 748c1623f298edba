#pragma once
// What a clock still owes, written down beside the port, so that the next run
// on that port knows it, also after this process was killed: the verdict of a
// processing that was cancelled or interrupted may come minutes later, and a
// new run must not take it for one of its own answers.
//
// One small file per device path, in the folder every Vellamo process uses for
// its cross-process records. It names the device node it was written for (a new
// node under the same name, a swapped clock, owes nothing of it). Each further
// line: the command letter, and when it was written and when its debt expires,
// in milliseconds of the system clock (the only clock two processes share).

#include <cstdint>
#include <string>
#include <vector>

#include "link/answerledger.h"

struct OwedRecord {
  char letter = 0;
  int64_t writtenMs = 0;  // system clock
  int64_t expiresMs = 0;  // system clock
};

class OwedStore {
 public:
  explicit OwedStore(std::string folder) : folder_(std::move(folder)) {}
  // Replaces what is written for `devicePath`; an empty list removes the file.
  // False when it could not be written (the caller carries on: the record is
  // a safeguard, not the channel's own state).
  bool Save(const std::string& devicePath, const std::vector<OwedRecord>& owed) const;
  // What is written for `devicePath` and not yet expired at `nowMs`; a file
  // that does not read as such records, or was written for another node than
  // the one now under the path, gives nothing.
  std::vector<OwedRecord> Load(const std::string& devicePath, int64_t nowMs) const;
  std::string FileFor(const std::string& devicePath) const;

  // The ledger's side, its times on the steady scale of `steadyNowMs`: writes
  // what `ledger` owes (the long debts only, unless `everything`), and takes
  // up what is written into it, as debts older than any of its own.
  bool Record(const std::string& devicePath, const AnswerLedger& ledger, bool everything,
              int64_t steadyNowMs) const;
  void CarryInto(const std::string& devicePath, AnswerLedger& ledger, int64_t steadyNowMs) const;
  // The debts that outlive a close by far: the processing verdict's.
  static size_t LongDebts(const AnswerLedger& ledger);

 private:
  std::string folder_;
};
