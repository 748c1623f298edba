#pragma once
#include <string>
#include <thread>
#include <vector>

#include "serial/serialport.h"

struct Report {
  uint32_t place, code;
  uint8_t noise;
  std::string msg;
  bool operator==(const Report&) const = default;
};

inline std::ostream& operator<<(std::ostream& os, const Report& r) {
  return os << "{" << r.place << ", " << r.code << ", " << int(r.noise) << ", \"" << r.msg << "\"}";
}

// Collects every report that passes the component's filter.
struct ReportLog {
  std::vector<Report> reports;
  std::vector<std::thread::id> threads;  // the thread each report arrived on
  TNotifyErrorEvent Handler() {
    return [this](TSerialPort*, uint32_t place, uint32_t code, const std::string& msg, uint8_t noise) {
      reports.push_back({place, code, noise, msg});
      threads.push_back(std::this_thread::get_id());
    };
  }
  bool Has(uint32_t place, const std::string& msg) const {
    for (const Report& r : reports)
      if (r.place == place && r.msg == msg) return true;
    return false;
  }
  const Report* Find(uint32_t place, const std::string& msg) const {
    for (const Report& r : reports)
      if (r.place == place && r.msg == msg) return &r;
    return nullptr;
  }
};
