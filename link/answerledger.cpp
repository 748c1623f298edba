#include "link/answerledger.h"

#include <algorithm>
#include <utility>

#include "link/answertext.h"

namespace {
// A short query waits one second for its answer. Its debt stands three times
// as long: a clock that answers up to two seconds late (a busy adapter, a
// clock that was still busy with a previous command) is still recognised, and
// a command the clock lost blocks nothing for longer than that.
constexpr AnswerLedger::Terms kShortTerms{1000, 3000};
// The verdict of the processing comes after up to three minutes. A clock that
// misses even that bound may still give it a while later; a minute more is
// longer than any processing seen, and after a pulled cable the debt is
// forgotten anyway.
constexpr AnswerLedger::Terms kProcessingTerms{180000, 240000};

std::optional<AnswerLedger::Family> FamilyOfLine(const std::string& line) {
  if (line == "+" || line == "-") return AnswerLedger::Family::Verdict;
  if (DeviceLink::ParseNumber(line)) return AnswerLedger::Family::Number;
  return std::nullopt;
}

bool IsLineEnd(char c) { return c == '\r' || c == '\n'; }
}  // namespace

AnswerLedger::Terms AnswerLedger::TermsFor(char letter) {
  return letter == 'K' ? kProcessingTerms : kShortTerms;
}

AnswerLedger::Family AnswerLedger::FamilyOf(char letter) {
  return letter == 'A' || letter == 'B' ? Family::Number : Family::Verdict;
}

uint64_t AnswerLedger::Owe(char letter, int64_t nowMs) {
  const Terms terms = TermsFor(letter);
  owed_.push_back(Debt{nextId_, letter, nowMs, nowMs + terms.deadlineMs, nowMs + terms.expiresAfterMs});
  return nextId_++;
}

uint64_t AnswerLedger::Carry(char letter, int64_t writtenMs, int64_t expiresMs) {
  Debt debt{nextId_, letter, writtenMs, writtenMs + TermsFor(letter).deadlineMs, expiresMs};
  debt.awaited = false;
  // Carried debts are older than any of this connection's.
  const auto at =
      std::find_if(owed_.begin(), owed_.end(), [&](const Debt& d) { return d.writtenMs > writtenMs; });
  owed_.insert(at, debt);
  return nextId_++;
}

void AnswerLedger::Receive(std::string_view bytes, int64_t nowMs) {
  for (const char c : bytes) {
    if (IsLineEnd(c)) {
      EndLine();
      continue;
    }
    if (!partialStarted_) {
      partialStarted_ = true;
      lineStray_ = owed_.empty();
    }
    if (!droppingRest_) partial_ += c;
  }
  Advance(nowMs);
}

void AnswerLedger::EndLine() {
  const bool judged = droppingRest_;
  const bool stray = lineStray_;
  const std::string line = DeviceLink::TrimControl(partial_);
  partial_.clear();
  partialStarted_ = lineStray_ = droppingRest_ = false;
  // The rest of a line whose head was already taken as malformed.
  if (judged || line.empty()) return;
  if (stray || owed_.empty()) {
    Stray(line);
    return;
  }
  auto target = owed_.begin();
  if (const auto family = FamilyOfLine(line); family && FamilyOf(target->letter) != *family) {
    const auto own = std::find_if(owed_.begin(), owed_.end(),
                                  [&](const Debt& d) { return FamilyOf(d.letter) == *family; });
    if (own != owed_.end()) target = own;
  }
  Pay(target, Payment{line, true});
}

// A piece may still become any waiting query's answer: it is judged only once
// no query could wait for it any more.
void AnswerLedger::Advance(int64_t nowMs) {
  const bool anyWaitLeft =
      std::any_of(owed_.begin(), owed_.end(), [nowMs](const Debt& d) { return d.deadlineMs > nowMs; });
  if (partialStarted_ && !droppingRest_ && !lineStray_ && !owed_.empty() && !anyWaitLeft) {
    const std::string piece = DeviceLink::TrimControl(partial_);
    partial_.clear();
    droppingRest_ = true;
    Pay(owed_.begin(), Payment{piece, false});
  }
  for (auto it = owed_.begin(); it != owed_.end();) {
    if (it->expiresMs > nowMs) {
      ++it;
      continue;
    }
    incidents_.push_back(std::string("keine Antwort auf \"") + it->letter + "\" gekommen");
    it = owed_.erase(it);
  }
}

void AnswerLedger::Pay(std::deque<Debt>::iterator debt, Payment payment) {
  inStrayRun_ = false;
  if (debt->awaited) {
    paid_.emplace_back(debt->id, std::move(payment));
  } else {
    incidents_.push_back(std::string("späte Antwort \"") + payment.line + "\" auf \"" + debt->letter +
                         "\" verworfen");
  }
  owed_.erase(debt);
}

void AnswerLedger::Stray(const std::string& line) {
  if (!inStrayRun_) incidents_.push_back("ungefragte Zeile \"" + line + "\" verworfen");
  inStrayRun_ = true;
}

std::optional<AnswerLedger::Payment> AnswerLedger::TakePayment(uint64_t id) {
  const auto it = std::find_if(paid_.begin(), paid_.end(), [id](const auto& p) { return p.first == id; });
  if (it == paid_.end()) return std::nullopt;
  Payment payment = std::move(it->second);
  paid_.erase(it);
  return payment;
}

bool AnswerLedger::Paid(uint64_t id) const {
  return std::any_of(paid_.begin(), paid_.end(), [id](const auto& p) { return p.first == id; });
}

void AnswerLedger::Release(uint64_t id) {
  paid_.erase(std::remove_if(paid_.begin(), paid_.end(), [id](const auto& p) { return p.first == id; }),
              paid_.end());
  for (Debt& debt : owed_)
    if (debt.id == id) debt.awaited = false;
}

void AnswerLedger::Forget() {
  owed_.clear();
  paid_.clear();
  DropPartial();
}

void AnswerLedger::DropPartial() {
  partial_.clear();
  partialStarted_ = lineStray_ = droppingRest_ = false;
}

bool AnswerLedger::OwesShort(Family family) const {
  return std::any_of(owed_.begin(), owed_.end(), [family](const Debt& d) {
    return FamilyOf(d.letter) == family && TermsFor(d.letter).expiresAfterMs == kShortTerms.expiresAfterMs;
  });
}

std::vector<std::string> AnswerLedger::TakeIncidents() { return std::exchange(incidents_, {}); }
