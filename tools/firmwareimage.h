#pragma once
// Whether a chosen firmware file may be handed to the flashing tool: it must
// be readable and well-formed Intel HEX (tools/intelhex). Both the window and
// vellamo-cli ask this before anything is touched: the port stays open and no
// script starts for a file that fails.

#include <QString>
#include <optional>

struct ImageRefusal {
  const char* error;  // stable English: "cannot-open-image" or "bad-image"
  QString message;    // German, names the file and, for a bad image, the first bad line
  size_t line = 0;    // the first bad line (counted from 1); 0 when the file could not be read
  QString reason;     // why that line is bad (German); empty when the file could not be read
};

// nullopt when `path` may be handed over.
std::optional<ImageRefusal> RefuseFirmwareImage(const QString& path);
