#pragma once
// The command line of vellamo-cli: options (also as --opt=value, and "--"
// ending them), the command and its arguments, all checked before anything
// touches a device.

#include <QString>
#include <QStringList>
#include <variant>

struct Options {
  bool json = false;
  bool portGiven = false;
  QString port;        // the last --port value
  QStringList ports;   // every --port value, in order: copy serves each of them
  int intervalMs = 250;
  QStringList words;  // the command and its arguments
  int segment = 0;    // the checked number of `segment`
};

// What --help and --version ask for; nothing else is done then.
enum class InfoRequest { Help, Version };

struct ArgumentError {
  QString argument;  // the word at fault, or the command whose arguments do not fit
  QString message;   // German, names the argument
  QString command;   // the command word as far as it can be told ("rtc" for "rtc set"); empty: none
  QString port;      // the --port value as far as it can be told; empty: none given
};

using ParsedCommandLine = std::variant<Options, InfoRequest, ArgumentError>;

// `arguments` without the program's name.
ParsedCommandLine ParseCommandLine(const QStringList& arguments);

// Whether --json was asked for, also on a command line that does not parse:
// its error is then a JSON object too.
bool WantsJson(const QStringList& arguments);

// The text of --help: synopsis, commands, options, exit codes.
QString UsageText();
