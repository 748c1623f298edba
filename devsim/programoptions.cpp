#include "devsim/programoptions.h"

#include <charconv>
#include <cstdlib>

namespace devsim {

const char* const kUsage =
    "Usage: vellamo-devsim [options]\n"
    "Simulates the clock device on a pty, prints the pty's path on stdout and announces\n"
    "it as a virtual port until SIGINT/SIGTERM.\n"
    "\n"
    "  --answer C=TEXT        answer TEXT and CR LF to command C\n"
    "  --answer-bytes C=TEXT  answer exactly TEXT to command C, no line end\n"
    "  --no-answer C          answer nothing to command C\n"
    "  --values C=N[,N...]    answer these numbers in turn to C; the last repeats\n"
    "  --answers C=T[,T...]   answer these texts in turn to C; the last repeats\n"
    "  --delay C=MS           wait MS milliseconds before answering C\n"
    "  --split C=N,MS         send the first N bytes of C's answer, the rest MS later\n"
    "  --processing-time MS   how long \"K\" takes before it answers (default 3000)\n"
    "  --light N              the light level \"A\" answers (default 512)\n"
    "  --audio N              the audio level \"B\" answers (default 150)\n"
    "  --hear                 hearing mode: record the sound server's default output\n"
    "                         (its monitor) and answer \"B\" with the level heard in\n"
    "                         the last 200 ms; measure each recording from \"I\" to \"J\"\n"
    "  --hear-floor N         the reading for silence (default 5)\n"
    "  --hear-full N          the reading for a full-scale tone (default 1000); a peak p\n"
    "                         (0 to 1) reads floor + (full - floor) * p, at most 1023\n"
    "  --hear-threshold X     peak below which sound counts as silence in a recording,\n"
    "                         relative to full scale (default 0.003)\n"
    "  --hear-source NAME     the source recorded (default @DEFAULT_MONITOR@)\n"
    "  --send MS=TEXT         send TEXT unasked MS milliseconds after start (repeatable)\n"
    "  --unplug-after MS      close the pty master after MS milliseconds and end\n"
    "  --exit-with-pid PID    end when process PID has ended\n"
    "  --name NAME            name of the announcement link (default vellamo-devsim-<pid>)\n"
    "  --no-announce          do not announce the pty as a virtual port\n"
    "  --verbose              print received commands and sent answers on stderr\n"
    "  --monotonic-times      stamp log lines with the system's monotonic clock (seconds,\n"
    "                         to the microsecond), the same in every process, so that the\n"
    "                         logs of several simulators can be laid side by side\n"
    "  --help                 print this text\n"
    "\n"
    "TEXT may hold the escapes \\r \\n \\t \\\\ \\xHH.\n";

namespace {

bool ParseInt(const std::string& text, long long& value) {
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  return ec == std::errc() && ptr == end && !text.empty();
}

bool ParseMs(const std::string& text, std::chrono::milliseconds& ms) {
  long long value = 0;
  if (!ParseInt(text, value) || value < 0) return false;
  ms = std::chrono::milliseconds(value);
  return true;
}

// "C=REST": one command byte, then the rest.
bool SplitCommand(const std::string& text, char& command, std::string& rest) {
  if (text.size() < 2 || text[1] != '=') return false;
  command = text[0];
  rest = text.substr(2);
  return true;
}

}  // namespace

bool Unescape(const std::string& text, std::string& bytes) {
  bytes.clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      bytes += text[i];
      continue;
    }
    if (++i >= text.size()) return false;
    switch (text[i]) {
      case 'r':
        bytes += '\r';
        break;
      case 'n':
        bytes += '\n';
        break;
      case 't':
        bytes += '\t';
        break;
      case '\\':
        bytes += '\\';
        break;
      case 'x': {
        if (i + 2 >= text.size()) return false;
        unsigned value = 0;
        const char* first = text.data() + i + 1;
        auto [ptr, ec] = std::from_chars(first, first + 2, value, 16);
        if (ec != std::errc() || ptr != first + 2) return false;
        bytes += char(value);
        i += 2;
        break;
      }
      default:
        return false;
    }
  }
  return true;
}

bool ParseProgramOptions(int argc, const char* const* argv, ProgramOptions& options, std::string& error) {
  options.simulator.processingTime = kProgramProcessingTime;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      options.help = true;
      continue;
    }
    if (arg == "--verbose" || arg == "-v") {
      options.verbose = true;
      continue;
    }
    if (arg == "--hear") {
      if (!options.simulator.hearing) options.simulator.hearing.emplace();
      continue;
    }
    if (arg == "--no-announce") {
      options.announce = false;
      continue;
    }
    if (arg == "--monotonic-times") {
      options.monotonicTimes = true;
      continue;
    }
    if (i + 1 >= argc) {
      error = arg.rfind("--", 0) == 0 ? arg + " needs a value" : "unknown argument " + arg;
      return false;
    }
    const std::string value = argv[++i];
    const std::string bad = "bad value for " + arg + ": " + value;
    char command = 0;
    std::string rest;
    std::chrono::milliseconds ms{0};
    long long number = 0;
    if (arg == "--answer" || arg == "--answer-bytes") {
      std::string bytes;
      if (!SplitCommand(value, command, rest) || !Unescape(rest, bytes)) return error = bad, false;
      if (arg == "--answer") {
        options.script.push_back([command, bytes](DeviceSimulator& s) { s.SetAnswer(command, bytes); });
      } else {
        options.script.push_back([command, bytes](DeviceSimulator& s) { s.SetAnswerBytes(command, bytes); });
      }
    } else if (arg == "--no-answer") {
      if (value.size() != 1) return error = bad, false;
      command = value[0];
      options.script.push_back([command](DeviceSimulator& s) { s.SetAnswer(command, std::nullopt); });
    } else if (arg == "--values") {
      if (!SplitCommand(value, command, rest) || rest.empty()) return error = bad, false;
      std::vector<int> values;
      size_t start = 0;
      for (;;) {
        const size_t comma = rest.find(',', start);
        if (!ParseInt(rest.substr(start, comma - start), number)) return error = bad, false;
        values.push_back(int(number));
        if (comma == std::string::npos) break;
        start = comma + 1;
      }
      options.script.push_back([command, values](DeviceSimulator& s) { s.SetValues(command, values); });
    } else if (arg == "--answers") {
      if (!SplitCommand(value, command, rest) || rest.empty()) return error = bad, false;
      std::vector<std::string> texts;
      for (size_t start = 0;;) {
        const size_t comma = rest.find(',', start);
        std::string text;
        if (!Unescape(rest.substr(start, comma - start), text)) return error = bad, false;
        texts.push_back(text);
        if (comma == std::string::npos) break;
        start = comma + 1;
      }
      options.script.push_back([command, texts](DeviceSimulator& s) { s.SetAnswers(command, texts); });
    } else if (arg == "--delay") {
      if (!SplitCommand(value, command, rest) || !ParseMs(rest, ms)) return error = bad, false;
      options.script.push_back([command, ms](DeviceSimulator& s) { s.SetDelay(command, ms); });
    } else if (arg == "--split") {
      const size_t comma = value.find(',');
      std::chrono::milliseconds gap{0};
      if (!SplitCommand(value, command, rest) || comma == std::string::npos ||
          !ParseInt(value.substr(2, comma - 2), number) || number < 0 ||
          !ParseMs(value.substr(comma + 1), gap)) {
        return error = bad, false;
      }
      const size_t length = size_t(number);
      options.script.push_back(
          [command, length, gap](DeviceSimulator& s) { s.SetSplit(command, length, gap); });
    } else if (arg == "--processing-time") {
      if (!ParseMs(value, options.simulator.processingTime)) return error = bad, false;
    } else if (arg == "--light" || arg == "--audio") {
      if (!ParseInt(value, number)) return error = bad, false;
      (arg == "--light" ? options.simulator.lightLevel : options.simulator.audioLevel) = int(number);
    } else if (arg == "--hear-floor" || arg == "--hear-full") {
      if (!ParseInt(value, number) || number < 0 || number > 1023) return error = bad, false;
      if (!options.simulator.hearing) options.simulator.hearing.emplace();
      (arg == "--hear-floor" ? options.simulator.hearing->floorReading
                             : options.simulator.hearing->fullScaleReading) = int(number);
    } else if (arg == "--hear-threshold") {
      char* end = nullptr;
      const double threshold = std::strtod(value.c_str(), &end);
      if (value.empty() || *end != '\0' || !(threshold > 0.0 && threshold < 1.0)) return error = bad, false;
      if (!options.simulator.hearing) options.simulator.hearing.emplace();
      options.simulator.hearing->silenceThreshold = threshold;
    } else if (arg == "--hear-source") {
      if (value.empty()) return error = bad, false;
      if (!options.simulator.hearing) options.simulator.hearing.emplace();
      options.simulator.hearing->source = value;
    } else if (arg == "--send") {
      const size_t equals = value.find('=');
      std::string bytes;
      if (equals == std::string::npos || !ParseMs(value.substr(0, equals), ms) ||
          !Unescape(value.substr(equals + 1), bytes)) {
        return error = bad, false;
      }
      options.sends.push_back(TimedSend{ms, bytes});
    } else if (arg == "--unplug-after") {
      if (!ParseMs(value, options.unplugAfter)) return error = bad, false;
    } else if (arg == "--exit-with-pid") {
      if (!ParseInt(value, number) || number <= 0) return error = bad, false;
      options.exitWithPid = pid_t(number);
    } else if (arg == "--name") {
      if (value.empty() || value.find('/') != std::string::npos || value == "." || value == "..") {
        return error = bad, false;
      }
      options.name = value;
    } else {
      error = "unknown argument " + arg;
      return false;
    }
  }
  return true;
}

}  // namespace devsim
