#pragma once
// What a Time Protocol answer means to the user: the server's clock as the
// computer's local date and time (its real time zone and daylight saving time
// at that moment), and how far the computer's own clock is off.

#include <QDateTime>
#include <QString>
#include <cstdint>

// Seconds from 1 January 1900 (the protocol's epoch) to 1 January 1970.
inline constexpr int64_t kSecondsFrom1900To1970 = 2208988800;

// The moment an answer names.
QDateTime ServerDateTime(uint32_t seconds);

// "Serverzeit: 07.12.2026 10:15:03 (Abweichung +1 s)": the server's time in
// local time, and the server's clock minus the computer's in whole seconds, the
// protocol's resolution (positive: the computer's clock is behind).
// computerSeconds is the computer's clock as seconds since 1970 (UTC).
QString ServerTimeText(uint32_t seconds, int64_t computerSeconds);
