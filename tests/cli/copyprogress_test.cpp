// The line a copy draws on a terminal: which entry of how many, its name, and
// the time the rest will take at the pace measured so far.

#include "cli/copyprogress.h"

#include <gtest/gtest.h>

#include <functional>

TEST(CopyProgress, SaysTheEntryOfHowManyItsNameAndTheTimeLeftAtThePaceSoFar) {
  struct Case {
    const char* name;
    int total;
    std::function<void(CopyProgress&)> steps;
    int64_t nowMs;
    const char* line;
  };
  const Case cases[] = {
      {"before the first entry", 4, [](CopyProgress&) {}, 0, ""},
      {"nothing done to measure by", 4, [](CopyProgress& p) { p.EntryStarted("a.wav", 1000); }, 1000,
       "Eintrag 1 von 4: a.wav"},
      {"half the first entry in 5 s", 4,
       [](CopyProgress& p) {
         p.EntryStarted("a.wav", 0);
         p.Within(0.5);
       },
       5000, "Eintrag 1 von 4: a.wav, noch etwa 0:35"},
      {"two entries in 20 s", 4,
       [](CopyProgress& p) {
         p.EntryStarted("a.wav", 0);
         p.EntryStarted("b.wav", 10000);
         p.EntryStarted("speechset\\deutsch\\acht.wav", 20000);
       },
       20000, "Eintrag 3 von 4: speechset\\deutsch\\acht.wav, noch etwa 0:20"},
      {"minutes", 10,
       [](CopyProgress& p) {
         p.EntryStarted("a.wav", 0);
         p.EntryStarted("b.wav", 100000);
       },
       100000, "Eintrag 2 von 10: b.wav, noch etwa 15:00"},
      {"a new entry starts from its own beginning", 3,
       [](CopyProgress& p) {
         p.EntryStarted("a.wav", 0);
         p.Within(0.9);
         p.EntryStarted("b.wav", 10000);
       },
       10000, "Eintrag 2 von 3: b.wav, noch etwa 0:20"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CopyProgress progress(c.total);
    c.steps(progress);
    EXPECT_EQ(progress.Line(c.nowMs).toStdString(), c.line);
  }
}
