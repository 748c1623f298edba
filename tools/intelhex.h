#pragma once
// Checks a firmware image as Intel HEX before it is handed to the flashing
// tool: a truncated download, a wrong file or a text file must be refused
// while the clock is still untouched. No Qt: the fuzz target runs it alone.
//
// The rules: every line up to the end-of-file record is one record
// (":" LL AAAA TT DD… CC, hexadecimal) whose length matches its byte count and
// whose bytes sum to 0 modulo 256; only the record types 00 to 05, each with the
// data length its type has; at least one data record with data; exactly one
// end-of-file record, and nothing after it but line ends. A line ends with
// "\n" or "\r\n".

#include <cstddef>
#include <string>
#include <string_view>

struct HexVerdict {
  bool ok = false;
  size_t line = 0;     // the first bad line, counted from 1; 0 when ok
  std::string reason;  // why, in German (UTF-8); empty when ok
};

// Takes the image in pieces of any size, so that a large wrong file is read
// only up to its first fault.
class IntelHexChecker {
 public:
  // False once a fault has been found: the rest need not be read.
  bool Feed(std::string_view bytes);
  // After the last piece.
  HexVerdict Finish();

 private:
  void Fail(size_t line, std::string reason);
  void EndLine();
  void CheckRecord(std::string_view record);

  std::string pending_;  // the line read so far, without its line end
  size_t line_ = 1;      // the line being read
  size_t lastLine_ = 0;  // the last line that held anything
  bool ended_ = false;   // the end-of-file record has been read
  size_t eofLine_ = 0;
  size_t dataRecords_ = 0;
  bool failed_ = false;
  HexVerdict verdict_;
};

HexVerdict CheckIntelHex(std::string_view image);
