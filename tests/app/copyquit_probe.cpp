// The program as the entry builds it, for a test in another process: the
// windows, the quit signals, the start-up connection to the port given as the
// first argument; once connected, the copy dialog gets the remaining arguments
// as its copy list and is shown. Prints "copy shown" when the copy starts and
// "ended" after the windows are destroyed. Message boxes go to stderr.
//
// Usage: copyquit_probe <port> <entry>...   (program folder from VELLAMO_PROGRAM_DIR)

#include <QApplication>
#include <QTimer>
#include <cstdio>

#include "app/forms.h"
#include "app/mainprog.h"
#include "serial/serialport.h"
#include "speech/voicecopy.h"
#include "ui/messagebox.h"
#include "ui/programfolder.h"

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  if (argc < 2) {
    std::fprintf(stderr, "usage: copyquit_probe <port> <entry>...\n");
    return 2;
  }
  QApplication application(argc, argv);
  if (!qEnvironmentVariableIsEmpty("VELLAMO_PROGRAM_DIR"))
    OverrideProgramFolder(qEnvironmentVariable("VELLAMO_PROGRAM_DIR"));
  SetMessageHook(
      [](const QString& text, MessageKind) { std::fprintf(stderr, "message box: %s\n", qPrintable(text)); });
  const std::string port = argv[1];
  QStringList entries;
  for (int i = 2; i < argc; ++i) entries << QString::fromLocal8Bit(argv[i]);

  CreateForms();
  EndOnQuitSignals();
  // Never this machine's own ports: only the one the test names.
  Form2->ListPorts = [port](std::vector<PortInfo>& list) { list.push_back(PortInfo{port, PortInfo::Kind::OnBoard, {}, {}, {}}); };
  QTimer startCopy;
  QObject::connect(&startCopy, &QTimer::timeout, [&] {
    if (!Form1->SerialPort1->Active()) return;
    startCopy.stop();
    Form4->SetCopyList(entries);
    Form4->show();
    std::printf("copy shown\n");
    std::fflush(stdout);
  });
  startCopy.start(20);
  Form1->show();
  const int code = QApplication::exec();
  DestroyForms();
  std::printf("ended\n");
  return code;
}
