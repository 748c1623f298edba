#include "cli/options.h"

#include <optional>

#include "cli/exitcodes.h"

namespace {

const QString kEndOfOptions = QStringLiteral("--");

struct CommandRule {
  const char* name;
  int fewest;  // arguments
  int most;    // -1: no limit
};
constexpr CommandRule kCommands[] = {
    {"ports", 0, 0},   {"status", 0, 0}, {"watch", 0, 0}, {"dim-store", 0, 0}, {"rtc", 1, 1},
    {"segment", 1, 1}, {"beep", 0, 0},   {"copy", 1, -1}, {"firmware", 1, 1},
};

const CommandRule* RuleOf(const QString& command) {
  for (const CommandRule& rule : kCommands)
    if (command == QLatin1String(rule.name)) return &rule;
  return nullptr;
}

ArgumentError Error(const QString& argument, const QString& message) { return {argument, message, {}, {}}; }

// The options that take a value: --name VALUE or --name=VALUE.
std::optional<ArgumentError> TakeValue(const QStringList& arguments, qsizetype& i, const QString& name,
                                       QString& value) {
  const QString& word = arguments[i];
  if (word.startsWith(name + QLatin1Char('='))) {
    value = word.mid(name.size() + 1);
    return std::nullopt;
  }
  if (i + 1 >= arguments.size())
    return Error(name, QStringLiteral("Die Option %1 braucht einen Wert.").arg(name));
  value = arguments[++i];
  return std::nullopt;
}

bool IsOption(const QString& word, const char* name) {
  return word == QLatin1String(name) || word.startsWith(QLatin1String(name) + QLatin1Char('='));
}

std::optional<ArgumentError> CheckCommand(Options& options) {
  if (options.words.isEmpty()) return Error(QString(), QStringLiteral("Kein Befehl angegeben."));
  const QString& command = options.words[0];
  const CommandRule* rule = RuleOf(command);
  if (!rule) return Error(command, QStringLiteral("Unbekannter Befehl: %1").arg(command));
  const int count = static_cast<int>(options.words.size() - 1);
  if (command == QLatin1String("copy") && count == 0)
    return Error(command, QStringLiteral("copy braucht eine Sprachdatei: copy SET.ini [ALARM...]"));
  if (count < rule->fewest || (rule->most >= 0 && count > rule->most))
    return Error(command, QStringLiteral("%1 erwartet %2 Argument(e), nicht %3: %4")
                              .arg(command)
                              .arg(rule->fewest)
                              .arg(count)
                              .arg(options.words.mid(1).join(QLatin1Char(' '))));
  if (command == QLatin1String("rtc") && options.words[1] != QLatin1String("on") &&
      options.words[1] != QLatin1String("off"))
    return Error(options.words[1],
                 QStringLiteral("rtc erwartet on oder off, nicht: %1").arg(options.words[1]));
  if (command == QLatin1String("segment")) {
    bool number = false;
    options.segment = options.words[1].toInt(&number);
    if (!number || options.segment < 0 || options.segment > 255)
      return Error(options.words[1],
                   QStringLiteral("Segment muss zwischen 0 und 255 liegen, nicht: %1").arg(options.words[1]));
  }
  if (!options.portGiven) return std::nullopt;
  for (const QString& port : options.ports)
    if (port.isEmpty())
      return Error(QStringLiteral("--port"),
                   QStringLiteral("--port braucht einen Portnamen; ein leerer ist keiner."));
  // Only a copy serves several clocks; for the others the last name counts,
  // as it always has. One clock named twice would be opened twice.
  if (command != QLatin1String("copy")) {
    options.ports = QStringList{options.port};
    return std::nullopt;
  }
  for (qsizetype i = 0; i < options.ports.size(); ++i)
    if (options.ports.indexOf(options.ports[i]) != i)
      return Error(options.ports[i], QStringLiteral("Der Port %1 ist mehrfach angegeben.").arg(options.ports[i]));
  return std::nullopt;
}

}  // namespace

bool WantsJson(const QStringList& arguments) {
  for (const QString& word : arguments) {
    if (word == kEndOfOptions) return false;
    if (word == QLatin1String("--json")) return true;
  }
  return false;
}

namespace {

// What a command line names, read leniently: the first word that is no
// option, and the last --port value. A script's failure object says which run
// failed even when the line does not parse.
void NameTheRun(const QStringList& arguments, ArgumentError& error) {
  bool optionsEnded = false;
  for (qsizetype i = 0; i < arguments.size(); ++i) {
    const QString& word = arguments[i];
    if (optionsEnded || !word.startsWith(QLatin1Char('-')) || word == QLatin1String("-")) {
      if (error.command.isEmpty()) error.command = word;
    } else if (word == kEndOfOptions) {
      optionsEnded = true;
    } else if (word.startsWith(QLatin1String("--port="))) {
      error.port = word.mid(7);
    } else if (word == QLatin1String("--port") || word == QLatin1String("--interval")) {
      if (i + 1 < arguments.size() && word == QLatin1String("--port")) error.port = arguments[i + 1];
      ++i;
    }
  }
}

ParsedCommandLine Parse(const QStringList& arguments) {
  Options options;
  bool optionsEnded = false;
  for (qsizetype i = 0; i < arguments.size(); ++i) {
    const QString& word = arguments[i];
    if (optionsEnded || !word.startsWith(QLatin1Char('-')) || word == QLatin1String("-")) {
      options.words << word;
    } else if (word == kEndOfOptions) {
      optionsEnded = true;
    } else if (word == QLatin1String("--help") || word == QLatin1String("-h")) {
      return InfoRequest::Help;
    } else if (word == QLatin1String("--version")) {
      return InfoRequest::Version;
    } else if (word == QLatin1String("--json")) {
      options.json = true;
    } else if (IsOption(word, "--port")) {
      if (auto error = TakeValue(arguments, i, QStringLiteral("--port"), options.port)) return *error;
      options.portGiven = true;
      options.ports << options.port;
    } else if (IsOption(word, "--interval")) {
      QString value;
      if (auto error = TakeValue(arguments, i, QStringLiteral("--interval"), value)) return *error;
      bool number = false;
      options.intervalMs = value.toInt(&number);
      if (!number || options.intervalMs < 0)
        return Error(QStringLiteral("--interval"),
                     QStringLiteral("--interval braucht Millisekunden (0 oder mehr), nicht: %1").arg(value));
    } else {
      return Error(word, QStringLiteral("Unbekannte Option: %1").arg(word));
    }
  }
  if (auto error = CheckCommand(options)) return *error;
  return options;
}

}  // namespace

ParsedCommandLine ParseCommandLine(const QStringList& arguments) {
  ParsedCommandLine parsed = Parse(arguments);
  if (auto* error = std::get_if<ArgumentError>(&parsed)) NameTheRun(arguments, *error);
  return parsed;
}

QString UsageText() {
  QString text = QStringLiteral(
      "Aufruf: vellamo-cli [--port NAME] [--json] BEFEHL [ARGUMENTE]\n"
      "  ports                     die seriellen Schnittstellen\n"
      "  status                    Helligkeit und Audiopegel, einmal\n"
      "  watch [--interval MS]     eine Messung alle MS Millisekunden (250), bis zu einem Signal\n"
      "  dim-store                 die Helligkeit als Dimm-Schwellwert speichern\n"
      "  rtc on|off                RTC Test an (bis zu einem Signal) oder aus\n"
      "  segment N                 Sprachsegment N (0 bis 255) spielen\n"
      "  beep                      Segment 0 spielen\n"
      "  copy SET.ini [ALARM...]   Sprachdaten und Wecktöne übertragen; mit mehreren --port\n"
      "                            in jede genannte Uhr zugleich (eine Wiedergabe für alle)\n"
      "  firmware IMAGE.hex        Firmwareupdate über das Update-Skript\n"
      "Optionen: --port NAME (ohne: die einzige Schnittstelle), --json, --interval MS,\n"
      "          --help, --version; auch --option=WERT; -- beendet die Optionen.\n"
      "Rückgabewerte:\n");
  for (const ExitCodeRow& row : kExitCodeTable)
    text += QStringLiteral("  %1  %2\n")
                .arg(QString::fromLatin1(row.code), -5)
                .arg(QString::fromUtf8(row.meaning));
  return text;
}
