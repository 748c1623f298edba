#pragma once
// What the device simulator answers to the commands the backend contract and
// component tests send through the port under test. The same table scripts the
// simulator in-process (Linux) and on vellamo-devsim's command line (Windows
// tests under Wine, scripts/test-windows).

#include <string>
#include <vector>

struct ScriptedAnswer {
  char command;
  std::string bytes;  // sent as they are, no line end added
};

inline const std::vector<ScriptedAnswer>& ContractScript() {
  static const std::vector<ScriptedAnswer> kScript = {
      {'a', "ab"},                 // two plain bytes
      {'e', "c\r"},                // ending with the event character the tests set
      {'l', "0123456789"},         // ten bytes to read in parts
  };
  return kScript;
}

// The script as vellamo-devsim's options, one argument a line (escapes as the
// program reads them).
inline std::string ContractScriptArguments() {
  std::string args;
  for (const ScriptedAnswer& answer : ContractScript()) {
    std::string text;
    for (char c : answer.bytes) {
      if (c == '\r')
        text += "\\r";
      else if (c == '\\')
        text += "\\\\";
      else
        text += c;
    }
    args += "--answer-bytes\n" + std::string(1, answer.command) + "=" + text + "\n";
  }
  return args;
}
