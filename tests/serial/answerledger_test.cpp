// The account of answers owed, as plain cases: commands written and bytes
// received at given milliseconds, and which query each line went to.
#include "link/answerledger.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

struct Step {
  enum Op { Owe, Carry, Receive, Release, Advance } op;
  std::string arg;  // Owe/Carry/Release: a query's label, its first letter the command; Receive: the bytes
  int64_t at;
};

// Per query label: the line it was paid with ("" when none came in time), and
// whether a piece without its line end was all it got.
struct Outcome {
  std::string line;
  bool complete = true;
  bool operator==(const Outcome&) const = default;
};

struct LedgerCase {
  const char* name;
  std::vector<Step> steps;
  std::map<std::string, Outcome> expected;  // for every awaited label
  size_t incidents = 0;
};

void PrintTo(const LedgerCase& c, std::ostream* out) { *out << c.name; }
void PrintTo(const Outcome& o, std::ostream* out) {
  *out << '"' << o.line << '"' << (o.complete ? "" : " (piece)");
}

const LedgerCase kCases[] = {
    {"AWholeLinePaysItsCommand", {{Step::Owe, "A", 0}, {Step::Receive, " 512\r\n", 10}}, {{"A", {"512"}}}},
    {"ALineSplitInTwoIsOneAnswer",
     {{Step::Owe, "A", 0}, {Step::Receive, "5", 10}, {Step::Receive, "12\r\n", 310}},
     {{"A", {"512"}}}},
    // The piece alone is no reading, and its rest is not the next query's answer.
    {"APieceLeftAtTheDeadlineIsMalformedAndItsRestDropped",
     {{Step::Owe, "A", 0},
      {Step::Receive, "5", 10},
      {Step::Advance, "", 1000},
      {Step::Owe, "B", 1000},
      {Step::Receive, "12\r\n", 1500},
      {Step::Receive, "150\r\n", 1510}},
     {{"A", {"5", false}}, {"B", {"150"}}}},
    {"ALateAnswerPaysItsOwnTimedOutCommand",
     {{Step::Owe, "A", 0},
      {Step::Release, "A", 1000},
      {Step::Owe, "B", 1000},
      {Step::Receive, "300\r\n", 1930},
      {Step::Receive, "150\r\n", 2530}},
     {{"B", {"150"}}},
     1},
    // A cancelled run's verdict is owed still when a new run asks for its level
    // and for its first recording.
    {"ANumberPassesAnOwedVerdictAndTheVerdictPaysTheOldDebt",
     {{Step::Owe, "K", 0},
      {Step::Release, "K", 100},
      {Step::Owe, "B", 200},
      {Step::Receive, "150\r\n", 210},
      {Step::Owe, "I", 300},
      {Step::Receive, "+\r\n", 400}},
     {{"B", {"150"}}, {"I", {""}}},
     1},
    {"AVerdictWhereOnlyANumberIsOwedIsThatNumbersMalformedAnswer",
     {{Step::Owe, "A", 0}, {Step::Receive, "+\r\n", 10}},
     {{"A", {"+"}}}},
    {"ALineBegunWithNothingOwedIsDroppedWhole",
     {{Step::Receive, "1", 0},
      {Step::Owe, "A", 5},
      {Step::Receive, "2\r\n", 10},
      {Step::Receive, "300\r\n", 20}},
     {{"A", {"300"}}},
     1},
    {"UnaskedLinesAreOneIncidentPerRun",
     {{Step::Receive, "1\r\n2\r\n", 0},
      {Step::Owe, "A", 10},
      {Step::Receive, "300\r\n", 20},
      {Step::Receive, "3\r\n", 30}},
     {{"A", {"300"}}},
     2},
    {"AnExpiredDebtIsForgottenAndSaidSo",
     {{Step::Owe, "J", 0},
      {Step::Release, "J", 1000},
      {Step::Advance, "", 3000},
      {Step::Owe, "I", 3000},
      {Step::Receive, "+\r\n", 3010}},
     {{"I", {"+"}}},
     1},
    // A debt carried over from an earlier connection is older than this one's.
    {"ACarriedVerdictIsPaidBeforeANewOne",
     {{Step::Owe, "I", 0},
      {Step::Carry, "K", -60000},
      {Step::Receive, "-\r\n", 10},
      {Step::Receive, "+\r\n", 20}},
     {{"I", {"+"}}},
     1},
};

class Ledger : public ::testing::TestWithParam<LedgerCase> {};

TEST_P(Ledger, PaysEachLineToItsOwnCommand) {
  AnswerLedger ledger;
  std::map<std::string, uint64_t> ids;
  for (const Step& step : GetParam().steps) {
    switch (step.op) {
      case Step::Owe:
        ids[step.arg] = ledger.Owe(step.arg[0], step.at);
        break;
      case Step::Carry:
        ledger.Carry(step.arg[0], step.at, step.at + AnswerLedger::TermsFor(step.arg[0]).expiresAfterMs);
        break;
      case Step::Receive:
        ledger.Receive(step.arg, step.at);
        break;
      case Step::Release:
        ledger.Release(ids.at(step.arg));
        ids.erase(step.arg);
        break;
      case Step::Advance:
        ledger.Advance(step.at);
        break;
    }
  }
  std::map<std::string, Outcome> got;
  for (const auto& [label, id] : ids) {
    const auto payment = ledger.TakePayment(id);
    got[label] = payment ? Outcome{payment->line, payment->complete} : Outcome{};
  }
  EXPECT_EQ(got, GetParam().expected);
  EXPECT_EQ(ledger.TakeIncidents().size(), GetParam().incidents);
}

INSTANTIATE_TEST_SUITE_P(Rules, Ledger, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
