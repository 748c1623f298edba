#include "cli/report.h"

#include <unistd.h>

#include <QJsonDocument>
#include <cerrno>
#include <cstdio>

Report::Report(bool json) : json_(json), terminal_(isatty(STDERR_FILENO) == 1) {}

// A closed pipe (EPIPE, SIGPIPE being ignored) or a full disk is told once;
// later lines are not tried.
void Report::WriteLine(const QByteArray& line) {
  if (writeError_ != 0) return;
  errno = 0;
  if (std::fputs(line.constData(), stdout) >= 0 && std::fputc('\n', stdout) != EOF &&
      std::fflush(stdout) == 0)
    return;
  writeError_ = errno != 0 ? errno : EIO;
  if (OnWriteFailed) OnWriteFailed(writeError_);
}

void Report::Result(QJsonObject result) {
  EndProgress();
  if (json_) {
    result.remove(QStringLiteral("text"));
    if (!port_.isEmpty() && !result.contains(QStringLiteral("port")))
      result.insert(QStringLiteral("port"), port_);
    if (!result.contains(QStringLiteral("command"))) result.insert(QStringLiteral("command"), command_);
    WriteLine(QJsonDocument(result).toJson(QJsonDocument::Compact));
  } else {
    WriteLine(result.value(QStringLiteral("text")).toString().toUtf8());
  }
}

void Report::Failure(const QString& command, const char* error, const QString& message,
                     const QJsonObject& extra) {
  EndProgress();
  if (json_) {
    QJsonObject failure = extra;
    failure.insert(QStringLiteral("command"), command.isEmpty() ? command_ : command);
    failure.insert(QStringLiteral("ok"), false);
    failure.insert(QStringLiteral("error"), QString::fromLatin1(error));
    failure.insert(QStringLiteral("message"), message);
    Result(failure);
    return;
  }
  std::fprintf(stderr, "vellamo-cli: %s\n", message.toUtf8().constData());
  lastLine_.clear();
}

void Report::Warn(const QString& message) {
  EndProgress();
  std::fprintf(stderr, "vellamo-cli: %s\n", message.toUtf8().constData());
  std::fflush(stderr);
  lastLine_.clear();
}

void Report::Progress(const QString& text, double fraction) {
  if (terminal_) {
    QString line = text;
    if (fraction >= 0) {
      constexpr int kWidth = 30;
      const int filled = static_cast<int>(fraction * kWidth + 0.5);
      line += QStringLiteral(" [") + QString(filled, QLatin1Char('#')) +
              QString(kWidth - filled, QLatin1Char('.')) + QStringLiteral("]");
    }
    std::fprintf(stderr, "\r\033[K%s", line.toUtf8().constData());
    barShown_ = true;
  } else if (text != lastLine_) {
    // Plain lines for a log: one per change of the status, none per position.
    std::fprintf(stderr, "%s\n", text.toUtf8().constData());
  }
  lastLine_ = text;
  std::fflush(stderr);
}

void Report::ProgressLines(const QStringList& lines, double fraction) {
  if (!terminal_) {
    for (qsizetype i = 0; i < lines.size(); ++i)
      if (i >= lastLines_.size() || lines[i] != lastLines_[i]) std::fprintf(stderr, "%s\n", lines[i].toUtf8().constData());
    lastLines_ = lines;
    std::fflush(stderr);
    return;
  }
  // Back to the block's first line, then every line anew.
  if (barShown_ && linesShown_ > 1) std::fprintf(stderr, "\033[%dA", linesShown_ - 1);
  for (qsizetype i = 0; i < lines.size(); ++i) {
    QString line = lines[i];
    if (fraction >= 0 && i == 0) {
      constexpr int kWidth = 20;
      const int filled = static_cast<int>(fraction * kWidth + 0.5);
      line += QStringLiteral(" [") + QString(filled, QLatin1Char('#')) +
              QString(kWidth - filled, QLatin1Char('.')) + QStringLiteral("]");
    }
    std::fprintf(stderr, "\r\033[K%s%s", line.toUtf8().constData(), i + 1 < lines.size() ? "\n" : "");
  }
  linesShown_ = static_cast<int>(lines.size());
  barShown_ = true;
  lastLines_ = lines;
  std::fflush(stderr);
}

void Report::EndProgress() {
  if (barShown_) std::fputc('\n', stderr);
  barShown_ = false;
  linesShown_ = 0;
}
