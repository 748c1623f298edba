#pragma once
// What the command-line tool tells: results on stdout (a line of text, or one
// JSON object per result with --json), failures and progress on stderr (a bar
// that redraws itself on a terminal, plain lines otherwise); with --json a
// failure is a JSON object on stdout like a result.

#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <functional>

#include "cli/exitcodes.h"

class Report {
 public:
  explicit Report(bool json);
  // The port the command works on, as given or chosen: named in every JSON
  // object from now on.
  void SetPort(const QString& port) { port_ = port; }
  // The command: named in every JSON object from now on.
  void SetCommand(const QString& command) { command_ = command; }
  // One result: as JSON, or its "text" member as a line.
  void Result(QJsonObject result);
  // A failure: German `message`, stable English `error`, and `extra` members
  // (JSON only).
  void Failure(const QString& command, const char* error, const QString& message,
               const QJsonObject& extra = {});
  // A progress line; with a fraction (0..1) a bar on a terminal.
  void Progress(const QString& text, double fraction = -1);
  // Several lines at once (a station, one line per clock), redrawn in place
  // on a terminal; a log gets the lines that changed.
  void ProgressLines(const QStringList& lines, double fraction = -1);
  void EndProgress();
  // A line on stderr also with --json, for what a user must not miss.
  void Warn(const QString& message);
  bool Json() const { return json_; }
  // Standard error is a terminal: progress is drawn, not logged.
  bool Terminal() const { return terminal_; }
  // The errno of the first failed write to stdout; 0 while every write went out.
  int WriteError() const { return writeError_; }
  // Told once, at the first failed write to stdout, with its errno.
  std::function<void(int error)> OnWriteFailed;

 private:
  void WriteLine(const QByteArray& line);

  bool json_;
  bool terminal_;
  bool barShown_ = false;
  QStringList lastLines_;
  int linesShown_ = 0;  // lines of a block drawn on the terminal, the cursor below the first
  QString lastLine_;
  QString port_;
  QString command_;
  int writeError_ = 0;
};
