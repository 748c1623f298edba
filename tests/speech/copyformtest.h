#pragma once
// What a test of the copy dialog puts in place around the dialog, and takes
// away again in the one order that is safe: the dialog's timers and the dialog
// first, then the port it used, then the fakes it played and set the level on.

#include <QString>
#include <QTimer>
#include <memory>

#include "link/devicelink.h"
#include "speech/audio.h"
#include "speech/voicecopy.h"
#include "tests/speech/fakeaudiooutput.h"
#include "ui/messagebox.h"
#include "ui/programfolder.h"

// Returns the message hook that was in place, for LeaveCopyFormTest.
inline MessageHook EnterCopyFormTest(FakeAudioOutput& audio, FakeOutputLevel& level, const QString& programFolder,
                                     MessageHook hook) {
  UseAudioOutput(&audio);
  UseOutputLevel(&level);
  OverrideProgramFolder(programFolder);
  return SetMessageHook(std::move(hook));
}

inline void LeaveCopyFormTest(QTimer& finisher, std::unique_ptr<TForm4>& form, const MessageHook& previousHook) {
  finisher.stop();
  form.reset();
  DeviceLink::CloseDevicePort();
  SetMessageHook(previousHook);
  OverrideProgramFolder(QString());
  UseAudioOutput(nullptr);
  UseOutputLevel(nullptr);
}
