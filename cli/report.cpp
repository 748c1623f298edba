#include "cli/report.h"

#include <unistd.h>

#include <QJsonDocument>
#include <cstdio>

Report::Report(bool json) : json_(json), terminal_(isatty(STDERR_FILENO) == 1) {}

void Report::Result(QJsonObject result) {
  EndProgress();
  if (json_) {
    result.remove(QStringLiteral("text"));
    std::fputs(QJsonDocument(result).toJson(QJsonDocument::Compact).constData(), stdout);
  } else {
    std::fputs(result.value(QStringLiteral("text")).toString().toUtf8().constData(), stdout);
  }
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

void Report::Failure(const QString& command, const char* error, const QString& message) {
  EndProgress();
  if (json_) {
    Result({{QStringLiteral("command"), command},
            {QStringLiteral("ok"), false},
            {QStringLiteral("error"), QString::fromLatin1(error)},
            {QStringLiteral("message"), message}});
    return;
  }
  std::fprintf(stderr, "vellamo-cli: %s\n", message.toUtf8().constData());
}

void Report::Progress(const QString& text, double fraction) {
  if (terminal_) {
    QString line = text;
    if (fraction >= 0) {
      constexpr int kWidth = 30;
      const int filled = static_cast<int>(fraction * kWidth + 0.5);
      line += QStringLiteral(" [") + QString(filled, QLatin1Char('#')) + QString(kWidth - filled, QLatin1Char('.')) +
              QStringLiteral("]");
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

void Report::EndProgress() {
  if (barShown_) std::fputc('\n', stderr);
  barShown_ = false;
}
