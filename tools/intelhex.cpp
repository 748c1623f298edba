#include "tools/intelhex.h"

#include <array>
#include <cstdint>
#include <vector>

namespace {

// ":" and the hexadecimal digits of 255 data bytes with count, address, type and checksum.
constexpr size_t kLongestRecord = 1 + 2 * (255 + 5);
constexpr uint8_t kDataRecord = 0x00;
constexpr uint8_t kEndOfFileRecord = 0x01;
constexpr uint8_t kLastKnownType = 0x05;
// The data length each record type has; data records have any.
constexpr std::array<int, 6> kTypeLength = {-1, 0, 2, 4, 2, 4};

int DigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string Hex(unsigned value) {
  static const char kDigits[] = "0123456789ABCDEF";
  return {kDigits[(value >> 4) & 0xF], kDigits[value & 0xF]};
}

}  // namespace

void IntelHexChecker::Fail(size_t line, std::string reason) {
  if (failed_) return;
  failed_ = true;
  verdict_ = {false, line, std::move(reason)};
}

bool IntelHexChecker::Feed(std::string_view bytes) {
  for (const char c : bytes) {
    if (failed_) return false;
    if (ended_) {
      if (c != '\r' && c != '\n') Fail(line_, "Nach dem Dateiende-Satz folgt noch etwas");
      if (c == '\n') ++line_;
      continue;
    }
    if (c == '\n') {
      EndLine();
      ++line_;
      continue;
    }
    // Room for a "\r" before the line end.
    if (pending_.size() > kLongestRecord) {
      Fail(line_, "Die Zeile ist länger als jeder mögliche Satz");
      return false;
    }
    pending_ += c;
  }
  return !failed_;
}

void IntelHexChecker::EndLine() {
  std::string_view record = pending_;
  if (!record.empty() && record.back() == '\r') record.remove_suffix(1);
  if (record.empty()) {
    Fail(line_, "Leere Zeile vor dem Dateiende-Satz");
  } else {
    lastLine_ = line_;
    CheckRecord(record);
  }
  pending_.clear();
}

void IntelHexChecker::CheckRecord(std::string_view record) {
  if (record.front() != ':') return Fail(line_, "Die Zeile beginnt nicht mit \":\"");
  std::vector<uint8_t> values;
  for (size_t i = 1; i < record.size(); ++i) {
    if (DigitValue(record[i]) < 0)
      return Fail(line_, "Zeichen " + std::to_string(i + 1) + " ist keine Hexadezimalziffer");
  }
  for (size_t i = 1; i + 1 < record.size(); i += 2)
    values.push_back(static_cast<uint8_t>(DigitValue(record[i]) * 16 + DigitValue(record[i + 1])));
  if (record.size() < 11) return Fail(line_, "Der Satz ist zu kurz");
  const size_t count = values[0];
  if (record.size() != 1 + 2 * (count + 5))
    return Fail(line_, "Die Länge des Satzes passt nicht zu seiner Byteanzahl " + std::to_string(count));
  unsigned sum = 0;
  for (size_t i = 0; i + 1 < values.size(); ++i) sum += values[i];
  const unsigned expected = (0x100 - (sum & 0xFF)) & 0xFF;
  if (values.back() != expected)
    return Fail(line_, "Die Prüfsumme stimmt nicht (" + Hex(values.back()) + " gelesen, " + Hex(expected) +
                           " erwartet)");
  const uint8_t type = values[3];
  if (type > kLastKnownType) return Fail(line_, "Unbekannter Satztyp " + Hex(type));
  const int length = kTypeLength[type];
  if (length >= 0 && count != static_cast<size_t>(length))
    return Fail(line_, "Ein Satz vom Typ " + Hex(type) + " hat " + std::to_string(length) +
                           " Datenbytes, dieser " + std::to_string(count));
  if (type == kDataRecord && count > 0) ++dataRecords_;
  if (type == kEndOfFileRecord) {
    ended_ = true;
    eofLine_ = line_;
  }
}

HexVerdict IntelHexChecker::Finish() {
  // A last line without a line end.
  if (!failed_ && !ended_ && !pending_.empty()) EndLine();
  if (!failed_ && !ended_) {
    if (lastLine_ == 0)
      Fail(1, "Die Datei ist leer");
    else
      Fail(lastLine_ + 1, "Der Dateiende-Satz fehlt; die Datei ist unvollständig");
  }
  if (!failed_ && dataRecords_ == 0) Fail(eofLine_, "Vor dem Dateiende-Satz steht kein Datensatz");
  if (!failed_) verdict_ = {true, 0, {}};
  return verdict_;
}

HexVerdict CheckIntelHex(std::string_view image) {
  IntelHexChecker checker;
  checker.Feed(image);
  return checker.Finish();
}
