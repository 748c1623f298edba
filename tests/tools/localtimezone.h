#pragma once
// Runs a test under a chosen time zone and puts the machine's back afterwards.
// Tests give POSIX rules rather than zone names, so that no time zone data is
// needed.
#include <QByteArray>
#include <QtGlobal>
#include <ctime>

class LocalTimeZone {
 public:
  explicit LocalTimeZone(const char* rule) : had_(qEnvironmentVariableIsSet("TZ")), old_(qgetenv("TZ")) {
    qputenv("TZ", rule);
    tzset();
  }
  ~LocalTimeZone() {
    if (had_) {
      qputenv("TZ", old_);
    } else {
      qunsetenv("TZ");
    }
    tzset();
  }
  LocalTimeZone(const LocalTimeZone&) = delete;
  LocalTimeZone& operator=(const LocalTimeZone&) = delete;

 private:
  bool had_;
  QByteArray old_;
};

inline constexpr char kCentralEurope[] = "CET-1CEST,M3.5.0,M10.5.0/3";
inline constexpr char kUtc[] = "UTC0";
