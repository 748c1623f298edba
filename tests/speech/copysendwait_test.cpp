// "Sprachdaten kopieren" on a port whose writes pend, as overlapped writes on
// Windows do: each command issued while the previous write is outstanding
// waits for it, serving events, so "Abbrechen" can come in the middle of any
// of the copy's sends. A cancel there ends the run: the waiting command is not
// sent, no later step runs, and the user's volume is back.
#include <gmock/gmock.h>

#include <QPushButton>
#include <QTimer>
#include <memory>

#include "speech/audio.h"
#include "speech/voicecopy.h"
#include "tests/serial/fakeanswers.h"
#include "tests/serial/fakebackend.h"
#include "tests/speech/copyformtest.h"
#include "tests/speech/fakeaudiooutput.h"
#include "tests/support/eventwait.h"
#include "tests/support/linkfixture.h"
#include "ui/messagebox.h"
#include "ui/programfolder.h"

namespace DL = DeviceLink;

namespace {

struct SendWait {
  const char* name;
  char held;             // the command whose write stays outstanding
  const char* expected;  // every command written, in order
};

void PrintTo(const SendWait& point, std::ostream* out) { *out << point.name; }

class CancelInASendsWait : public ::testing::TestWithParam<SendWait> {
 protected:
  FakeAudioOutput audio;
  FakeOutputLevel level;  // the user's volume: 30000
  std::shared_ptr<FakeState> state = std::make_shared<FakeState>();
  LinkFixture link{std::make_unique<FakeBackend>(state)};
  FakeAnswers device{state, {{'B', "150"}, {'I', "+"}, {'J', "+"}, {'K', "+"}}};
  std::unique_ptr<TForm4> form;
  std::vector<QString> messages;
  MessageHook previousHook;
  QTimer finisher;

  CancelInASendsWait() {
    previousHook = EnterCopyFormTest(audio, level, QStringLiteral("/vellamo-copy-test/"),
                                     [this](const QString& text, MessageKind) { messages.push_back(text); });
    DL::OpenDevicePort("ttyACM0");
    EXPECT_TRUE(ProcessUntil([this] { return link.port->WorkerBusy(); }, kFaultMs));
    form = std::make_unique<TForm4>();
    // Each file has played as soon as the sequence follows its playback.
    QObject::connect(&finisher, &QTimer::timeout, [this] {
      if (form->Timer1->Tag == TForm4::TrackPlayback && CopyStream != 0) audio.Finish(CopyStream);
    });
    finisher.start(1);
  }
  ~CancelInASendsWait() override { LeaveCopyFormTest(finisher, form, previousHook); }

  std::string Written() {
    std::string all;
    for (const std::string& bytes : state->Written()) all += bytes;
    return all;
  }
};

TEST_P(CancelInASendsWait, EndsTheRunThereAndSendsNothingOfItAfterwards) {
  const SendWait& point = GetParam();
  // The saved volume of an earlier run must not be what a cancel puts back.
  SavedVolume = 0;
  state->HoldNextWriteOf(point.held);
  // The previous session's "{", still on its way when the run starts.
  if (point.held == '{') DL::LeaveServiceMode();
  // The click comes in the first event served while a command waits; the held
  // write ends once the cancel's own "{" waits behind it.
  bool clicked = false;
  QTimer cancel;
  QObject::connect(&cancel, &QTimer::timeout, [&] {
    if (clicked || DL::CommandsWaiting() == 0) return;
    clicked = true;
    QTimer::singleShot(0, [&] { state->FinishHeldWrite(); });
    form->BitBtn1->click();
  });
  cancel.start(1);
  form->SetCopyList({"speechset\\a.wav"});
  form->show();
  ASSERT_TRUE(ProcessUntil([&] { return clicked && !form->isVisible(); }, 20000)) << "written: " << Written();
  // Long enough for a run that went on to send its next command.
  ProcessFor(700);
  EXPECT_EQ(Written(), point.expected);
  EXPECT_EQ(level.value, 30000u) << "the user's volume is back";
  EXPECT_FALSE(form->Timer1->isActive());
  EXPECT_FALSE(form->BitBtn2->isEnabled()) << "no success after a cancel";
  EXPECT_TRUE(messages.empty()) << messages.front().toStdString();
  EXPECT_EQ(DL::CommandsWaiting(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Sends, CancelInASendsWait,
    testing::Values(SendWait{"EnterServiceMode", '{', "{{"}, SendWait{"LevelQuery", '*', "*{"},
                    SendWait{"BeginCopySession", 'B', "*B{"}, SendWait{"StartRecording", 'G', "*BG{"},
                    SendWait{"StopRecording", 'I', "*BGI{"}, SendWait{"StartProcessing", 'J', "*BGIJ{"},
                    SendWait{"AwaitProcessingResult", 'H', "*BGIJH{"},
                    SendWait{"LeaveServiceModeAtSuccess", 'K', "*BGIJHK{{"}),
    [](const testing::TestParamInfo<SendWait>& info) { return std::string(info.param.name); });

}  // namespace
