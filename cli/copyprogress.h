#pragma once
// What a copy shows on a terminal while its entries are recorded: which entry
// of how many, its name, and the time the remaining entries will take at the
// pace so far. Times come from the caller, so that the estimate is the same
// whatever clock drives it.

#include <QString>
#include <cstdint>

class CopyProgress {
 public:
  explicit CopyProgress(int total) : total_(total) {}
  // The next entry has started, `nowMs` on the caller's clock.
  void EntryStarted(const QString& name, int64_t nowMs);
  // The share of the current entry played (0 to 1).
  void Within(double fraction) { within_ = fraction; }
  // "Eintrag 2 von 5: speechset\deutsch\acht.wav, noch etwa 0:42"; empty before
  // the first entry.
  QString Line(int64_t nowMs) const;
  // The time the entries not yet done will take, in whole seconds; -1 before
  // anything is done to measure the pace by.
  int SecondsLeft(int64_t nowMs) const;

 private:
  int total_;
  int started_ = 0;
  int64_t firstStartMs_ = 0;
  double within_ = 0;
  QString name_;
};
