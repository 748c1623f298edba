#pragma once
// The account of what the clock owes: every query command written makes one
// answer owed, and every line the clock sends pays one such debt. A query's
// answer is only the line that pays its own debt, so a late answer, the rest of
// a split one, or a verdict the clock gives long after its run was cancelled
// is never taken for a newer query's.
//
// No Qt, no port, no clock of its own: commands written and bytes received go
// in with the time they happened (milliseconds on any steady scale), and what
// each line paid comes out. The command channel keeps the port and the waits.
//
// The rules:
// - An answer is one line. Bytes are taken up to a line end (CR or LF); a piece
//   without its line end waits for the rest until no query could still wait
//   for it (the last deadline of the debts standing), and is then a malformed
//   answer for the oldest debt: the rest of its line, whenever it comes, is
//   dropped with it.
// - A line pays the oldest debt. A number where the oldest debt is owed a
//   verdict, or a verdict ("+"/"-") where it is owed a number, cannot be that
//   command's answer: it pays the oldest debt of its own family instead, and the
//   older one stays standing. Any other line pays the oldest debt, malformed.
// - A debt whose query gave up stands until it expires: its answer, when it
//   comes, is dropped as that command's.
// - A line begun while nothing was owed is no answer to a command written after
//   its first byte: it is dropped whole.
// - Lines that pay no debt are dropped; each run of them is one incident.
// Where the account cannot tell, it fails toward failure: a malformed payment
// or none, never a reading that may belong to another command.

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class AnswerLedger {
 public:
  enum class Family { Number, Verdict };

  // How long a query waits for its answer and how long its debt stands after
  // the command was written, per kind of query.
  struct Terms {
    int64_t deadlineMs;
    int64_t expiresAfterMs;
  };
  static Terms TermsFor(char letter);
  static Family FamilyOf(char letter);

  struct Debt {
    uint64_t id = 0;
    char letter = 0;
    int64_t writtenMs = 0;
    int64_t deadlineMs = 0;  // absolute
    int64_t expiresMs = 0;   // absolute
    bool awaited = true;     // a query waits for this answer
  };

  // What a debt was paid with. `complete` is false for a piece that never got
  // its line end: malformed whatever it reads.
  struct Payment {
    std::string line;
    bool complete = true;
  };

  // A query command was written at `nowMs`: returns the new debt's id.
  uint64_t Owe(char letter, int64_t nowMs);
  // Takes up a debt carried over from an earlier connection to the same clock
  // (its times on this ledger's scale); returns its new id.
  uint64_t Carry(char letter, int64_t writtenMs, int64_t expiresMs);
  void Receive(std::string_view bytes, int64_t nowMs);
  // Deadlines and expiries up to `nowMs`.
  void Advance(int64_t nowMs);

  // The payment of debt `id`, once it was paid; taken only once.
  std::optional<Payment> TakePayment(uint64_t id);
  bool Paid(uint64_t id) const;
  // Nobody waits for debt `id` any more (its query gave up, was let go or
  // cancelled): the debt stands, and its answer will be dropped as its own.
  void Release(uint64_t id);

  // A new connection: nothing owed, nothing half received.
  void Forget();
  // Drops what has been received and not yet ended by a line end (what the
  // driver held at an opening), without dropping the rest of its line.
  void DropPartial();

  const std::deque<Debt>& Owed() const { return owed_; }
  bool OwesAny() const { return !owed_.empty(); }
  // A short query of `family` (not the minutes-long processing verdict) is
  // still owed its answer.
  bool OwesShort(Family family) const;

  // What went astray since the last call, one text per incident (for the log).
  std::vector<std::string> TakeIncidents();

 private:
  void EndLine();
  void Pay(std::deque<Debt>::iterator debt, Payment payment);
  void Stray(const std::string& line);

  std::deque<Debt> owed_;
  std::vector<std::pair<uint64_t, Payment>> paid_;
  uint64_t nextId_ = 1;
  std::string partial_;
  bool partialStarted_ = false;  // bytes of the current line have come
  bool lineStray_ = false;       // the current line began while nothing was owed
  bool droppingRest_ = false;    // the current line's head was judged already
  bool inStrayRun_ = false;
  std::vector<std::string> incidents_;
};
