#pragma once
// What the command-line tool tells: results on stdout (a line of text, or one
// JSON object per result with --json), progress on stderr (a bar that redraws
// itself on a terminal, plain lines otherwise).

#include <QJsonObject>
#include <QString>

enum ExitCode { kExitOk = 0, kExitRefused = 1, kExitNoDevice = 2, kExitBadArguments = 3, kExitInterrupted = 130 };

class Report {
 public:
  explicit Report(bool json);
  // One result: as JSON, or its "text" member as a line.
  void Result(QJsonObject result);
  // A failure: German `message`, stable English `error`.
  void Failure(const QString& command, const char* error, const QString& message);
  // A progress line; with a fraction (0..1) a bar on a terminal.
  void Progress(const QString& text, double fraction = -1);
  void EndProgress();

 private:
  bool json_;
  bool terminal_;
  bool barShown_ = false;
  QString lastLine_;
};
