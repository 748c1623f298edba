// A Time Protocol answer as the user sees it: the server's time in the
// computer's local time (its time zone and daylight saving time, whatever the
// moment), and the deviation of the computer's clock in whole seconds.
#include "tools/servertime.h"

#include <gmock/gmock.h>

#include "tests/tools/localtimezone.h"

namespace {

// 2026-01-15 12:00:00 UTC and 2026-07-15 12:00:00 UTC as protocol seconds.
constexpr uint32_t kWinterNoonUtc = 3977467200u;
constexpr uint32_t kSummerNoonUtc = 3993105600u;

int64_t UnixSeconds(uint32_t seconds) { return static_cast<int64_t>(seconds) - kSecondsFrom1900To1970; }

TEST(ServerTime, CountsFromTheStartOf1900AsAnUnsignedNumber) {
  const QDateTime epoch(QDate(1900, 1, 1), QTime(0, 0), Qt::UTC);
  EXPECT_EQ(ServerDateTime(0), epoch);
  EXPECT_EQ(ServerDateTime(1), epoch.addSecs(1));
  EXPECT_EQ(ServerDateTime(4294967295u), QDateTime(QDate(2036, 2, 7), QTime(6, 28, 15), Qt::UTC));
  EXPECT_EQ(ServerDateTime(kSummerNoonUtc), QDateTime(QDate(2026, 7, 15), QTime(12, 0), Qt::UTC));
}

TEST(ServerTime, IsShownInLocalTimeWithDaylightSavingTime) {
  LocalTimeZone zone(kCentralEurope);
  EXPECT_THAT(ServerTimeText(kWinterNoonUtc, UnixSeconds(kWinterNoonUtc)).toStdString(),
              testing::StartsWith("Serverzeit: 15.01.2026 13:00:00 "));
  EXPECT_THAT(ServerTimeText(kSummerNoonUtc, UnixSeconds(kSummerNoonUtc)).toStdString(),
              testing::StartsWith("Serverzeit: 15.07.2026 14:00:00 "));
}

TEST(ServerTime, DeviationIsTheServersClockMinusTheComputersInWholeSeconds) {
  LocalTimeZone zone(kUtc);
  const int64_t server = UnixSeconds(kSummerNoonUtc);
  struct Case {
    int64_t computer;
    const char* text;
  };
  for (const Case& c : std::initializer_list<Case>{
           {server - 1, "Serverzeit: 15.07.2026 12:00:00 (Abweichung +1 s)"},
           {server, "Serverzeit: 15.07.2026 12:00:00 (Abweichung 0 s)"},
           {server + 3, "Serverzeit: 15.07.2026 12:00:00 (Abweichung -3 s)"},
           {server - 86400, "Serverzeit: 15.07.2026 12:00:00 (Abweichung +86400 s)"},
       }) {
    EXPECT_EQ(ServerTimeText(kSummerNoonUtc, c.computer).toStdString(), c.text);
  }
}

}  // namespace
