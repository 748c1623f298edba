// "Sprachdaten kopieren" driven as the user meets it: the device simulator on a
// real pty behind the command channel, the real Qt event loop, and an audio
// output whose streams the test ends (the sound itself is not the point here).
// What the device receives is asserted byte for byte. The volume cases go
// through the real mixer into the tests' null sink and skip without it.
#include <gmock/gmock.h>

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include <signal.h>
#include <unistd.h>

#include <QProcess>
#include <thread>

#include "devsim/devicesimulator.h"
#include "speech/audio.h"
#include "speech/soundoutputlock.h"
#include "speech/voicecopy.h"
#include "tests/speech/copyformtest.h"
#include "tests/speech/fakeaudiooutput.h"
#include "tests/speech/soundtestsupport.h"
#include "tests/support/devicewait.h"
#include "tests/support/eventwait.h"
#include "tests/support/linkfixture.h"
#include "tests/support/slowbuild.h"
#include "ui/filecopyanimation.h"
#include "ui/messagebox.h"
#include "ui/programfolder.h"

using namespace std::chrono_literals;
namespace DL = DeviceLink;

namespace {

const QString kFolder = QStringLiteral("/vellamo-copy-test/");
const std::string kTonePath = "/vellamo-copy-test/resources/tone.mp3";
const QStringList kFiveEntries = {"speechset\\deutsch\\eins.wav", "speechset\\deutsch\\zwei.wav",
                                  "speechset\\deutsch\\drei.wav", "soundset\\glocke.mp3",
                                  "soundset\\piep.wav"};

struct Message {
  QString text;
  QString statusWhileShown;
};

class CopyDialog : public ::testing::Test {
 protected:
  FakeAudioOutput audio;
  FakeOutputLevel level;
  LinkFixture link;
  std::function<void(const std::string&)> onDeviceNote;
  std::mutex noteMutex;
  devsim::DeviceSimulator sim{SimulatorOptions()};
  std::unique_ptr<TForm4> form;
  std::vector<Message> messages;
  MessageHook previousHook;
  // When set, each file's stream ends as soon as the device records it.
  bool autoFinish = true;
  QTimer finisher;

  devsim::Options SimulatorOptions() {
    devsim::Options options;
    options.processingTime = 50ms;
    options.observer = [this](const std::string& note) {
      std::lock_guard lock(noteMutex);
      if (onDeviceNote) onDeviceNote(note);
    };
    return options;
  }

  CopyDialog() {
    // The level is the shared test sink's only where a test listens to it.
    previousHook = EnterCopyFormTest(audio, level, kFolder, [this](const QString& text, MessageKind) {
      messages.push_back({text, form ? form->Label1->text() : QString()});
    });
    DL::OpenDevicePort(QString::fromStdString(sim.PortPath()));
    // The idle worker takes 200 to 400 ms to notice the opening.
    ProcessFor(450);
    form = std::make_unique<TForm4>();
    QObject::connect(&finisher, &QTimer::timeout, [this] {
      if (autoFinish && CopyStream != 0 && sim.State().recording && !IsTone(CopyStream))
        audio.Finish(CopyStream);
    });
    finisher.start(5);
  }
  ~CopyDialog() override {
    LeaveCopyFormTest(finisher, form, previousHook);
    std::lock_guard lock(noteMutex);
    onDeviceNote = nullptr;
  }

  bool IsTone(StreamHandle handle) {
    auto it = audio.streams.find(handle);
    return it != audio.streams.end() && it->second.path == kTonePath;
  }

  void Start(const QStringList& entries) {
    form->SetCopyList(entries);
    form->show();
  }
  testing::AssertionResult Closed(int timeoutMs = kFaultMs) {
    return Reached([&] { return !form->isVisible(); }, timeoutMs);
  }
  testing::AssertionResult Succeeded(int timeoutMs = kFaultMs) {
    return Reached([&] { return form->BitBtn2->isEnabled(); }, timeoutMs);
  }
  // A run that did not get there says where it stood.
  testing::AssertionResult Reached(const std::function<bool()>& end, int timeoutMs) {
    if (ProcessUntil(end, timeoutMs)) return testing::AssertionSuccess();
    auto failure = testing::AssertionFailure();
    failure << "the run stood at " << form->Label1->text().toStdString() << ", state " << form->Timer1->Tag
            << "; the device received " << devsim::Printable(sim.Received());
    for (const Message& m : messages) failure << "\nmessage: " << m.text.toStdString();
    return failure;
  }
  // The device's bytes are `expected`, checked once as many have arrived: the
  // last command may still be on its way through the pty.
  testing::AssertionResult DeviceReceived(const std::string& expected) {
    sim.WaitForReceived(expected.size(), 5s);
    const std::string got = sim.Received();
    if (got == expected) return testing::AssertionSuccess();
    return testing::AssertionFailure() << "the device received " << devsim::Printable(got) << ", expected "
                                       << devsim::Printable(expected);
  }
  // What the device has received after a pause in which nothing more may come.
  std::string ReceivedAfterQuiet(int ms = 700) {
    ProcessFor(ms);
    return sim.Received();
  }
  void WhenReceived(size_t count, std::function<void()> action) {
    WhenDeviceHolds(form.get(), sim, count, std::move(action));
  }
  QStringList MessageTexts() const {
    QStringList texts;
    for (const Message& m : messages) texts << m.text;
    return texts;
  }
  std::vector<std::string> PlayedFiles() const {
    std::vector<std::string> files;
    for (const std::string& path : audio.played)
      if (path != kTonePath) files.push_back(path);
    return files;
  }
  size_t TonesPlayed() const { return audio.played.size() - PlayedFiles().size(); }
};

std::string Repeat(const std::string& piece, int times) {
  std::string all;
  for (int i = 0; i < times; ++i) all += piece;
  return all;
}

TEST_F(CopyDialog, IsBuiltAsDesignedAndWaitsUntilShown) {
  EXPECT_EQ(form->windowTitle(), "Sprachdaten kopieren");
  EXPECT_EQ(form->size(), QSize(476, 198));
  EXPECT_EQ(form->minimumSize(), form->maximumSize()) << "fixed size";
  const Qt::WindowFlags flags = form->windowFlags();
  EXPECT_TRUE(flags & Qt::WindowStaysOnTopHint);
  EXPECT_TRUE(flags & Qt::CustomizeWindowHint);
  EXPECT_FALSE(flags & (Qt::WindowCloseButtonHint | Qt::WindowMinimizeButtonHint |
                        Qt::WindowMaximizeButtonHint | Qt::WindowSystemMenuHint));
  EXPECT_EQ(form->Label1->text(), "Status:");
  EXPECT_FALSE(form->Animate1->Active());
  EXPECT_EQ(form->Animate1->StopFrame, 20);
  EXPECT_EQ(form->ProgressBar1->minimum(), 0);
  EXPECT_EQ(form->ProgressBar1->maximum(), 100);
  EXPECT_EQ(form->ProgressBar1->value(), 0);
  EXPECT_TRUE(form->Memo1->isReadOnly());
  EXPECT_EQ(form->Memo1->lineWrapMode(), QPlainTextEdit::NoWrap);
  EXPECT_EQ(form->Memo1->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
  EXPECT_EQ(form->BitBtn1->text(), "Abbrechen");
  EXPECT_EQ(form->BitBtn2->text(), "OK");
  EXPECT_FALSE(form->BitBtn1->icon().isNull());
  EXPECT_FALSE(form->BitBtn2->icon().isNull());
  EXPECT_TRUE(form->BitBtn1->isEnabled());
  EXPECT_FALSE(form->BitBtn2->isEnabled());
  EXPECT_EQ(form->Timer1->interval(), 25);
  EXPECT_FALSE(form->Timer1->isActive());
  EXPECT_EQ(audio.openCalls, 1) << "creating the dialog opens the sound output";
  EXPECT_EQ(ReceivedAfterQuiet(100), "");
}

TEST(FileCopyAnimation, RunsThroughTwentyFramesThatDifferAndStopsWhereItIs) {
  TAnimate animation;
  EXPECT_NE(TAnimate::RenderFrame(1, 20), TAnimate::RenderFrame(10, 20));
  EXPECT_NE(TAnimate::RenderFrame(10, 20), TAnimate::RenderFrame(20, 20));
  animation.SetActive(true);
  std::set<int> seen;
  ASSERT_TRUE(ProcessUntil(
      [&] {
        seen.insert(animation.Frame());
        return seen.size() == 20 && animation.Frame() == 1;
      },
      20000));
  EXPECT_EQ(*seen.rbegin(), 20) << "the cycle ends at the stop frame";
  ASSERT_TRUE(ProcessUntil([&] { return animation.Frame() == 5; }, 20000));
  animation.SetActive(false);
  ProcessFor(3 * TAnimate::kFrameIntervalMs);
  EXPECT_EQ(animation.Frame(), 5);
}

TEST_F(CopyDialog, CopyListReadsLinesWithoutATrailingEmptyEntry) {
  form->Memo1->setPlainText("a\nb\n");
  EXPECT_THAT(form->CopyList(), testing::ElementsAre("a", "b"));
  form->Memo1->setPlainText("a\n\nb");
  EXPECT_THAT(form->CopyList(), testing::ElementsAre("a", "", "b"));
  form->Memo1->clear();
  EXPECT_TRUE(form->CopyList().isEmpty());
  form->Memo1->appendPlainText("x\\y.wav");
  form->Memo1->appendPlainText("z.wav");
  EXPECT_THAT(form->CopyList(), testing::ElementsAre("x\\y.wav", "z.wav"));
  form->SetCopyList({"", "q"});
  EXPECT_THAT(form->CopyList(), testing::ElementsAre("", "q"));
}

TEST_F(CopyDialog, AFullRunOfFiveSendsExactlyTheDevicesSequenceAndEndsInSuccess) {
  sim.SetValues('B', {60, 119, 120});
  Start(kFiveEntries);
  EXPECT_EQ(form->Label1->text(), "Status: Einpegeln... (0)");
  EXPECT_TRUE(form->Animate1->Active());
  ASSERT_TRUE(Succeeded());
  EXPECT_TRUE(DeviceReceived("*BBBG" + Repeat("IJ", 5) + "HK{"));
  EXPECT_EQ(form->Label1->text(), "Status: Übertragung erfolgreich!");
  EXPECT_FALSE(form->Animate1->Active());
  EXPECT_FALSE(form->BitBtn1->isEnabled());
  EXPECT_TRUE(form->BitBtn2->isEnabled());
  EXPECT_FALSE(form->Timer1->isActive());
  EXPECT_TRUE(form->CopyList().isEmpty());
  EXPECT_TRUE(messages.empty());
  EXPECT_EQ(TrialVolume, 12288u);
  EXPECT_EQ(TonesPlayed(), 3u) << "the tone starts again at every trial volume";
  EXPECT_THAT(PlayedFiles(), testing::ElementsAre("/vellamo-copy-test/speechset/deutsch/eins.wav",
                                                  "/vellamo-copy-test/speechset/deutsch/zwei.wav",
                                                  "/vellamo-copy-test/speechset/deutsch/drei.wav",
                                                  "/vellamo-copy-test/soundset/glocke.mp3",
                                                  "/vellamo-copy-test/soundset/piep.wav"));
  EXPECT_EQ(ReceivedAfterQuiet(400), sim.Received()) << "nothing after success until OK";

  form->BitBtn2->click();
  EXPECT_FALSE(form->isVisible());
  EXPECT_TRUE(DeviceReceived("*BBBG" + Repeat("IJ", 5) + "HK{{"));
  EXPECT_FALSE(sim.InServiceMode());
}

TEST_F(CopyDialog, EachLineLeavesTheMemoWhenItsPlaybackStartsBeforeTheDeviceAnswers) {
  sim.SetDelay('I', 300ms);
  std::vector<QStringList> memoWhileWaiting;
  std::vector<std::string> playingWhileWaiting;
  std::vector<int> answerStateWhileWaiting;
  std::function<void(size_t)> watch = [&](size_t count) {
    WhenReceived(count, [&, count] {
      memoWhileWaiting.push_back(form->CopyList());
      playingWhileWaiting.push_back(audio.streams.count(CopyStream) ? audio.streams[CopyStream].path : "");
      answerStateWhileWaiting.push_back(DL::AnswerState);
      if (count < 8) watch(count + 2);
    });
  };
  watch(4);  // "*BG", then the three "I"s are the 4th, 6th and 8th byte
  Start(kFiveEntries.mid(0, 3));
  ASSERT_TRUE(Succeeded());
  ASSERT_TRUE(DeviceReceived("*BGIJIJIJHK{"));
  ASSERT_EQ(memoWhileWaiting.size(), 3u);
  EXPECT_THAT(memoWhileWaiting[0], testing::ElementsAre(kFiveEntries[1], kFiveEntries[2]));
  EXPECT_EQ(playingWhileWaiting[0], "/vellamo-copy-test/speechset/deutsch/eins.wav");
  EXPECT_THAT(memoWhileWaiting[1], testing::ElementsAre(kFiveEntries[2]));
  EXPECT_EQ(playingWhileWaiting[1], "/vellamo-copy-test/speechset/deutsch/zwei.wav");
  EXPECT_TRUE(memoWhileWaiting[2].isEmpty());
  EXPECT_EQ(playingWhileWaiting[2], "/vellamo-copy-test/speechset/deutsch/drei.wav");
  EXPECT_THAT(answerStateWhileWaiting, testing::Each(1)) << "the start command still waits for its answer";
}

TEST_F(CopyDialog, ProgressFollowsThePlayingStreamInBytes) {
  audio.lengthOfNewStreams = 1000;
  autoFinish = false;
  Start({"speechset\\a.wav"});
  ASSERT_TRUE(
      ProcessUntil([&] { return form->Timer1->Tag == TForm4::TrackPlayback && CopyStream != 0; }, 10000));
  audio.streams[CopyStream].position = 400;
  ASSERT_TRUE(ProcessUntil([&] { return form->ProgressBar1->value() == 400; }, 5000));
  EXPECT_EQ(form->ProgressBar1->maximum(), 1000);
  EXPECT_EQ(form->Timer1->Tag, TForm4::TrackPlayback);
  EXPECT_EQ(sim.Received(), "*BGI") << "no stop while the file plays";
  audio.Finish(CopyStream);
  ASSERT_TRUE(Succeeded());
  EXPECT_EQ(form->ProgressBar1->value(), 0);
  EXPECT_TRUE(DeviceReceived("*BGIJHK{"));
}

TEST_F(CopyDialog, ReadingsOf119AtEveryVolumeGiveSixteenReadingsThenNoSignal) {
  sim.SetValues('B', {119});
  Start(kFiveEntries);
  ASSERT_TRUE(Closed());
  EXPECT_THAT(MessageTexts(), testing::ElementsAre("Kein Audiosignal oder zu geringer Pegel."));
  EXPECT_EQ(ReceivedAfterQuiet(), std::string("*") + Repeat("B", 16) + "{")
      << "no processing command on this path";
  EXPECT_EQ(TonesPlayed(), 16u);
  EXPECT_EQ(CopyStream, 0u) << "the tone was stopped";
  EXPECT_EQ(form->Label1->text(), "Status:");
  EXPECT_FALSE(form->Animate1->Active());
  EXPECT_FALSE(form->Timer1->isActive());
  EXPECT_THAT(form->CopyList(), testing::ElementsAreArray(kFiveEntries)) << "nothing was started";
}

TEST_F(CopyDialog, AReadingOfZeroIsAFailedQuery) {
  sim.SetValues('B', {0});
  Start(kFiveEntries);
  ASSERT_TRUE(Closed());
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].text, "Fehler bei Abfrage des ADC. Sollte ein Kommunikationsproblem sein.");
  EXPECT_EQ(messages[0].statusWhileShown, "Status: Fehler.");
  EXPECT_EQ(ReceivedAfterQuiet(), "*BH{");
  EXPECT_EQ(form->Label1->text(), "Status:");
  EXPECT_FALSE(form->Animate1->Active());
  EXPECT_EQ(CopyStream, 0u) << "closing stopped the tone";
}

TEST_F(CopyDialog, NoAnswerToTheLevelQueryShowsMinusOneAndAborts) {
  sim.SetAnswer('B', std::nullopt);
  Start(kFiveEntries);
  ASSERT_TRUE(Closed());
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].text, "Fehler bei Abfrage des ADC. Sollte ein Kommunikationsproblem sein.");
  EXPECT_EQ(ReceivedAfterQuiet(), "*BH{");
}

TEST_F(CopyDialog, AFirstReadingOf120KeepsTheFirstTrialVolume) {
  sim.SetValues('B', {120});
  Start({"speechset\\a.wav"});
  ASSERT_TRUE(Succeeded());
  EXPECT_EQ(TrialVolume, 4096u);
  EXPECT_EQ(TonesPlayed(), 1u);
  EXPECT_TRUE(DeviceReceived("*BGIJHK{"));
}

TEST_F(CopyDialog, AnEmptyCopyListGoesFromTheLevelStraightToProcessing) {
  Start({});
  ASSERT_TRUE(Succeeded());
  EXPECT_TRUE(DeviceReceived("*BGHK{"));
  EXPECT_TRUE(PlayedFiles().empty());
}

TEST_F(CopyDialog, ARefusedStartOfRecordingAbortsWithTheEntryAlreadyRemoved) {
  sim.SetAnswer('I', "-");
  Start(kFiveEntries);
  ASSERT_TRUE(Closed());
  EXPECT_THAT(
      MessageTexts(),
      testing::ElementsAre("Fehler beim starten der Aufnahme. Sollte ein Kommunikationsproblem sein."));
  EXPECT_EQ(ReceivedAfterQuiet(), "*BGIH{");
  EXPECT_THAT(form->CopyList(), testing::ElementsAreArray(kFiveEntries.mid(1)));
}

TEST_F(CopyDialog, ARefusedStopOnTheSecondOfFiveSkipsTheRestButStillProcesses) {
  int stops = 0;
  {
    std::lock_guard lock(noteMutex);
    onDeviceNote = [&](const std::string& note) {
      // Answers are chosen when a command arrives: from the first "J" on, the
      // next one is refused.
      if (note.rfind("rx J", 0) == 0 && ++stops == 1) sim.SetAnswer('J', "-");
    };
  }
  Start(kFiveEntries);
  ASSERT_TRUE(Succeeded());
  EXPECT_THAT(
      MessageTexts(),
      testing::ElementsAre("Fehler beim Stoppen der Aufnahme. Entweder der Speicher ist voll oder es gibt "
                           "ein Kommunikationsproblem. Überspringe weitere Übertragung."));
  EXPECT_TRUE(DeviceReceived("*BGIJIJHK{"));
  EXPECT_THAT(form->CopyList(), testing::ElementsAreArray(kFiveEntries.mid(2)));
  EXPECT_EQ(form->Label1->text(), "Status: Übertragung erfolgreich!");
}

TEST_F(CopyDialog, ARefusedProcessingAbortsAfterTheVerdict) {
  sim.SetAnswer('K', "-");
  Start({"speechset\\a.wav"});
  ASSERT_TRUE(Closed());
  EXPECT_THAT(MessageTexts(),
              testing::ElementsAre("Fehler bei der Sprachdatenanalyse oder Kommunikation abgebrochen."));
  EXPECT_EQ(ReceivedAfterQuiet(), "*BGIJHKH{");
  EXPECT_FALSE(form->BitBtn2->isEnabled());
}

// An entry without a stream still has its recording started and stopped, so
// that the device's slots stay in order, and the user is told at the end.
TEST_F(CopyDialog, UnplayableEntriesAreRecordedInOrderAndListedBeforeTheSuccess) {
  // An empty entry names the program folder itself, which is no sound.
  audio.unreadable = {"/vellamo-copy-test/soundset/glocke.mp3", "/vellamo-copy-test/"};
  Start({"speechset\\a.wav", "soundset\\glocke.mp3", "", "speechset\\b.wav"});
  ASSERT_TRUE(Succeeded());
  EXPECT_TRUE(DeviceReceived("*BG" + Repeat("IJ", 4) + "HK{"));
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].text,
            "Folgende Dateien konnten nicht abgespielt werden:\nsoundset\\glocke.mp3\n(leere Zeile)");
  EXPECT_EQ(messages[0].statusWhileShown, "Status: Verarbeitung... (dauert ca. 2 Minuten)");
  EXPECT_EQ(form->Label1->text(), "Status: Übertragung erfolgreich!");
}

TEST_F(CopyDialog, ARunWhereEveryEntryPlayedShowsNoListAndASecondRunForgetsTheFirstsFailures) {
  audio.unreadable = {"/vellamo-copy-test/soundset/glocke.mp3"};
  Start({"soundset\\glocke.mp3"});
  ASSERT_TRUE(Succeeded());
  ASSERT_EQ(messages.size(), 1u);
  form->BitBtn2->click();
  Start({"speechset\\a.wav"});
  ASSERT_TRUE(Succeeded());
  EXPECT_EQ(messages.size(), 1u) << "no list when everything played";
}

TEST_F(CopyDialog, AStreamCutWhileTheDeviceRecordsStopsTheRecordingAndAbortsNamingTheEntry) {
  autoFinish = false;
  Start({"speechset\\a.wav", "speechset\\b.wav", "speechset\\c.wav"});
  ASSERT_TRUE(ProcessUntil(
      [&] { return sim.Received() == "*BGI" && form->Timer1->Tag == TForm4::TrackPlayback; }, kFaultMs));
  audio.Finish(CopyStream);
  ASSERT_TRUE(ProcessUntil(
      [&] { return sim.Received() == "*BGIJI" && form->Timer1->Tag == TForm4::TrackPlayback; }, kFaultMs));
  audio.Cut(CopyStream);
  ASSERT_TRUE(Closed());
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].text,
            "Die Tonausgabe ist während der Wiedergabe von speechset\\b.wav ausgefallen; die Aufnahme ist "
            "unvollständig. Die Übertragung wurde abgebrochen.");
  EXPECT_EQ(ReceivedAfterQuiet(), "*BGIJIJH{");
  EXPECT_THAT(form->CopyList(), testing::ElementsAre("speechset\\c.wav"));
  EXPECT_EQ(level.value, 30000u) << "the volume is put back";
}

// Without a sound server: the fake level keeps every value written to it.
TEST_F(CopyDialog, EachReadingBelow120RaisesTheVolumeBy4096AndEveryEndWritesTheSavedOneBack) {
  sim.SetValues('B', {10, 50, 130});
  level.value = 30000;
  Start({"speechset\\a.wav"});
  ASSERT_TRUE(Succeeded());
  EXPECT_THAT(level.written, testing::ElementsAre(4096u, 8192u, 12288u, 30000u));
  form->BitBtn2->click();
  EXPECT_THAT(level.written, testing::ElementsAre(4096u, 8192u, 12288u, 30000u, 30000u))
      << "OK restores again";

  level.written.clear();
  sim.SetValues('B', {119});
  Start({"speechset\\a.wav"});
  ASSERT_TRUE(Closed());
  std::vector<std::uint32_t> expected;
  for (std::uint32_t v = 4096; v <= 65536; v += 4096) expected.push_back(v);
  expected.push_back(30000);
  EXPECT_THAT(level.written, testing::ElementsAreArray(expected))
      << "sixteen trial volumes, then the saved one";
}

// A level that cannot be read is no level of 0 % to put back at the end: the
// copy does not start, and the clock hears of nothing.
TEST_F(CopyDialog, AVolumeThatCannotBeReadStartsNoCopy) {
  level.readable = false;
  Start(kFiveEntries);
  ASSERT_TRUE(Closed());
  EXPECT_THAT(MessageTexts(), testing::ElementsAre("Audioausgabe nicht gefunden"));
  EXPECT_EQ(ReceivedAfterQuiet(), "");
  EXPECT_TRUE(level.written.empty()) << "nothing set, nothing restored";
  EXPECT_TRUE(audio.played.empty());
}

// The user's level goes back until it holds; one that cannot be put back is told,
// with the level to set by hand, at every kind of end.
struct RestoreCase {
  const char* name;
  int failingRestores;
  bool told;
};
class CopyDialogRestore : public CopyDialog, public testing::WithParamInterface<RestoreCase> {};

TEST_P(CopyDialogRestore, IsRetriedAndAFailureIsTold) {
  const RestoreCase c = GetParam();
  const QString told = "Die Lautstärke der Audioausgabe konnte nicht zurückgesetzt werden. Bitte von Hand auf "
                       "46 % stellen.";
  for (const bool success : {true, false}) {
    SCOPED_TRACE(success ? "after success" : "after no signal");
    messages.clear();
    level.value = 30000;
    level.restoreCalls = 0;
    level.failingRestores = c.failingRestores;
    sim.SetValues('B', {success ? 130 : 119});
    Start({"speechset\\a.wav"});
    ASSERT_TRUE(success ? Succeeded() : Closed());
    const QStringList texts = MessageTexts();
    EXPECT_EQ(texts.contains(told), c.told) << texts.join('|').toStdString();
    EXPECT_EQ(level.restoreCalls, std::min(c.failingRestores + 1, 3));
    EXPECT_EQ(level.value, c.told ? (success ? 4096u : 65536u) : 30000u);
    if (success) form->close();
  }
}

INSTANTIATE_TEST_SUITE_P(, CopyDialogRestore,
                         testing::Values(RestoreCase{"HoldsAtOnce", 0, false},
                                         RestoreCase{"HoldsAtTheThirdTry", 2, false},
                                         RestoreCase{"NeverHolds", 3, true}),
                         [](const testing::TestParamInfo<RestoreCase>& info) { return info.param.name; });

// The three quarter-second pauses, each measured between the device's reading
// of the command before it and of the one after, so that a slow machine can
// only lengthen what is measured: the tone's start before the first level
// query, the pause after a stopped recording, and the one between "H" and "K".
TEST_F(CopyDialog, TheQuarterSecondPausesHoldBetweenTheirCommands) {
  using Clock = std::chrono::steady_clock;
  std::vector<std::pair<char, Clock::time_point>> heard;
  {
    std::lock_guard lock(noteMutex);
    onDeviceNote = [&](const std::string& note) {
      if (note.rfind("rx ", 0) == 0 && note.size() > 3) heard.emplace_back(note[3], Clock::now());
    };
  }
  const Clock::time_point shown = Clock::now();
  Start({"speechset\\a.wav", "speechset\\b.wav"});
  ASSERT_TRUE(Succeeded());
  ASSERT_TRUE(DeviceReceived("*BGIJIJHK{"));
  std::lock_guard lock(noteMutex);
  onDeviceNote = nullptr;
  auto at = [&](char command, int nth) {
    for (const auto& [letter, when] : heard)
      if (letter == command && nth-- == 0) return when;
    ADD_FAILURE() << "no " << command << " #" << nth;
    return Clock::time_point{};
  };
  using std::chrono::milliseconds;
  // An answer is taken no sooner than the cluster time rule allows, about 200 ms
  // for "+" and its line end at 38400 baud; well below that, so that only the
  // pauses decide.
  const milliseconds answer(150);
  // The sequence's timer may fire up to 5 % early (Qt's coarse timers); the
  // pause between "H" and "K" is a plain sleep and never shorter.
  auto timed = [](int ms) { return milliseconds(ms * 9 / 10); };
  // 10 ms to the tone, 250 ms of tone before the level is asked.
  EXPECT_GE(at('B', 0) - shown, timed(10 + 250));
  // "I" waits for the answer to "J", then the pause after a stopped recording.
  EXPECT_GE(at('I', 1) - at('J', 0), answer + timed(250));
  // After the last "J": its answer, its pause, then "H", the pause before the verdict, "K".
  EXPECT_GE(at('K', 0) - at('J', 1), answer + timed(250) + milliseconds(250));
}

// Lines the clock sends unasked just before a word (noise, a cancelled run's
// late verdict) hold neither the word's "I" nor its "J": each leaves as the
// sound starts and as it ends, not when the line has calmed down.
TEST_F(CopyDialog, UnaskedLinesJustBeforeAWordHoldNeitherItsStartNorItsEnd) {
  {
    std::lock_guard lock(noteMutex);
    onDeviceNote = [&](const std::string& note) {
      if (note.rfind("rx G", 0) == 0 || note.rfind("rx J", 0) == 0) sim.SendRaw("9\r\n", 200ms);
    };
  }
  Start({"speechset\\a.wav", "speechset\\b.wav", "speechset\\c.wav"});
  ASSERT_TRUE(Succeeded());
  std::vector<devsim::Clock::time_point> starts, stops;
  for (const devsim::LoggedByte& b : sim.Log()) {
    if (b.value == 'I') starts.push_back(b.time);
    if (b.value == 'J') stops.push_back(b.time);
  }
  // The tone is played first, then one stream per word.
  ASSERT_EQ(audio.playedAt.size(), 4u);
  ASSERT_EQ(starts.size(), 3u);
  ASSERT_EQ(stops.size(), 3u);
  ASSERT_EQ(audio.finishedAt.size(), 3u);
  // A few ms are the goal; the fault this catches held "I" for a second.
  constexpr auto kBound = 300ms;
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_LT(starts[i] - audio.playedAt[i + 1], kBound) << "word " << i + 1 << ": \"I\" late";
    EXPECT_LT(stops[i] - audio.finishedAt[i], kBound) << "word " << i + 1 << ": \"J\" late";
  }
}

TEST_F(CopyDialog, TheStatusLineShortensALongPathInItsMiddleAndItsTipHoldsTheWholeLine) {
  const QString entry =
      "speechset\\deutsch\\sehr_langer_ordner_name\\guten_morgen_und_einen_schoenen_tag.wav";
  const QString whole = "Status: Kopiere... (" + entry + ")";
  autoFinish = false;
  Start({entry});
  ASSERT_TRUE(
      ProcessUntil([&] { return form->Timer1->Tag == TForm4::TrackPlayback && CopyStream != 0; }, kFaultMs));
  const QString shown = form->Label1->text();
  EXPECT_TRUE(shown.startsWith("Status: Kopiere... (speechset")) << shown.toStdString();
  EXPECT_TRUE(shown.endsWith("tag.wav)")) << shown.toStdString();
  EXPECT_TRUE(shown.contains(QChar(0x2026))) << shown.toStdString();
  EXPECT_LE(form->Label1->fontMetrics().horizontalAdvance(shown), form->Label1->contentsRect().width());
  EXPECT_EQ(form->Label1->toolTip(), whole);
  EXPECT_EQ(form->Label1->accessibleName(), whole);
  audio.Finish(CopyStream);
  ASSERT_TRUE(Succeeded());
  EXPECT_EQ(form->Label1->text(), "Status: Übertragung erfolgreich!");
  EXPECT_EQ(form->Label1->toolTip(), "Status: Übertragung erfolgreich!");
}

// ----------------------------------------------------------------- cancel

// A run holds the sound output from its show to its end, whatever the end,
// and names its port; the dialog waiting for "OK" after success no longer
// holds it.
TEST_F(CopyDialog, EveryEndOfARunLetsGoOfTheSoundOutput) {
  const QString port = QString::fromStdString(sim.PortPath());
  enum class End { Success, Failure, Cancel };
  for (const End end : {End::Success, End::Failure, End::Cancel}) {
    SCOPED_TRACE(static_cast<int>(end));
    sim.ResetAnswer('B');
    if (end == End::Failure) sim.SetAnswer('B', std::nullopt);
    if (end == End::Cancel) WhenReceived(sim.Received().size() + 4, [this] { form->BitBtn1->click(); });
    Start({"speechset\\deutsch\\eins.wav"});
    EXPECT_EQ(SoundOutputHolder(), port) << "held while the run is open";
    ASSERT_TRUE(end == End::Success ? Succeeded() : Closed());
    EXPECT_EQ(SoundOutputHolder(), std::nullopt);
    form->close();
    messages.clear();
  }
}

TEST_F(CopyDialog, AShowWhileAnotherCopyHoldsTheSoundOutputSendsNothingAndNamesItsPort) {
  const SoundOutputClaim other = ClaimSoundOutput("/dev/ttyACM7");
  ASSERT_TRUE(other.lock.has_value());
  Start(kFiveEntries);
  ASSERT_TRUE(Closed());
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_TRUE(messages[0].text.startsWith("Die Audioausgabe ist belegt")) << messages[0].text.toStdString();
  EXPECT_TRUE(messages[0].text.contains("/dev/ttyACM7"));
  EXPECT_EQ(ReceivedAfterQuiet(), "");
  EXPECT_EQ(SoundOutputHolder(), "/dev/ttyACM7") << "the other copy's hold is left alone";
}

struct CancelPoint {
  const char* name;
  const char* delayed;      // the command whose answer is held back, or "" for none
  size_t bytesBeforeClick;  // the click comes once the device holds this many bytes
  const char* expected;     // everything the device receives
};

class CancelDuringTheRun : public CopyDialog, public ::testing::WithParamInterface<CancelPoint> {};

TEST_P(CancelDuringTheRun, StopsTheRunAndTheResumedTickDoesNothingMore) {
  const CancelPoint& point = GetParam();
  if (*point.delayed) sim.SetDelay(point.delayed[0], 600ms);
  autoFinish = std::string(point.name) != "TrackPlayback";
  int answerStateAtClick = -2;
  WhenReceived(point.bytesBeforeClick, [&] {
    answerStateAtClick = DL::AnswerState;
    form->BitBtn1->click();
  });
  Start(kFiveEntries);
  ASSERT_TRUE(Closed());
  if (*point.delayed) {
    EXPECT_EQ(answerStateAtClick, 1) << "clicked while the query waited";
  }
  // The held-back answer arrives, the waiting tick resumes, and nothing follows.
  ASSERT_TRUE(sim.WaitForIdle(5s));
  ASSERT_TRUE(ProcessUntil([] { return DL::AnswerState == 0; }, 5000));
  EXPECT_EQ(ReceivedAfterQuiet(900), point.expected);
  EXPECT_TRUE(messages.empty()) << (messages.empty() ? "" : messages[0].text.toStdString());
  EXPECT_FALSE(form->Timer1->isActive());
  EXPECT_EQ(form->Label1->text(), "Status:");
  EXPECT_FALSE(form->Animate1->Active());
  EXPECT_EQ(CopyStream, 0u);
  EXPECT_FALSE(sim.InServiceMode());
}

INSTANTIATE_TEST_SUITE_P(
    States, CancelDuringTheRun,
    testing::Values(CancelPoint{"PlayTone", "", 1, "*{"},  // the tone's 250 ms before the first reading
                    CancelPoint{"CheckLevel", "B", 2, "*B{"}, CancelPoint{"StartNextFile", "I", 4, "*BGI{"},
                    CancelPoint{"TrackPlayback", "", 4, "*BGI{"},
                    CancelPoint{"StopRecording", "J", 5, "*BGIJ{"},
                    CancelPoint{"FinishCopy", "K", 15, "*BGIJIJIJIJIJHK{"}),
    [](const testing::TestParamInfo<CancelPoint>& info) { return std::string(info.param.name); });

TEST_F(CopyDialog, ASecondShowStartsOverFromTheFirstTrialVolume) {
  sim.SetValues('B', {100, 119});
  Start(kFiveEntries);
  ASSERT_TRUE(Closed());
  ASSERT_EQ(TrialVolume, 65536u + 4096u);
  sim.SetValues('B', {130});
  messages.clear();
  Start({"speechset\\a.wav"});
  EXPECT_EQ(form->Label1->text(), "Status: Einpegeln... (0)");
  EXPECT_EQ(TrialVolume, 4096u);
  EXPECT_EQ(form->Timer1->Tag, TForm4::PlayTone);
  EXPECT_TRUE(form->BitBtn1->isEnabled());
  EXPECT_FALSE(form->BitBtn2->isEnabled());
  ASSERT_TRUE(Succeeded());
  EXPECT_TRUE(DeviceReceived(std::string("*") + Repeat("B", 16) + "{*BGIJHK{"));
}

// "Abbrechen" while the verdict waits lets the wait go, but the clock still
// owes that verdict: a run started at once waits for it, saying so, and then
// goes on with its own; the cancelled run's refusal is never taken for any of
// the new run's answers.
TEST_F(CopyDialog, ARunStartedRightAfterACancelledProcessingWaitsForTheOldVerdictAndReportsItsOwn) {
  sim.SetAnswer('K', "-");
  sim.SetDelay('K', 1500ms);
  {
    std::lock_guard lock(noteMutex);
    onDeviceNote = [&](const std::string& note) {
      if (note.rfind("rx K", 0) != 0) return;
      sim.SetDelay('K', 0ms);  // only the first verdict is late, and a refusal
      sim.SetAnswer('K', "+");
    };
  }
  bool restarted = false;
  QStringList statuses;
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, [&] {
    if (statuses.isEmpty() || statuses.back() != form->Label1->text()) statuses << form->Label1->text();
  });
  WhenReceived(7, [&] {
    form->BitBtn1->click();
    watch.start(5);
    Start({"speechset\\a.wav"});
    restarted = true;
  });
  Start({"speechset\\a.wav"});
  ASSERT_TRUE(ProcessUntil([&] { return restarted; }, kFaultMs));
  ASSERT_TRUE(Succeeded());
  EXPECT_TRUE(messages.empty()) << messages.front().text.toStdString();
  EXPECT_TRUE(DeviceReceived("*BGIJHK{*BGIJHK{"));
  EXPECT_TRUE(statuses.contains("Status: Warte auf das Gerät (die vorige Verarbeitung läuft noch)..."))
      << statuses.join(" | ").toStdString();
  EXPECT_EQ(form->Label1->text(), "Status: Übertragung erfolgreich!");
}

// The program's end while "K" waits: the wait gives up at once and the run
// ends as "Abbrechen" ends it; the answer that comes later changes nothing.
TEST_F(CopyDialog, ProgramEndWhileTheVerdictWaitsEndsTheRunAtOnce) {
  sim.SetDelay('K', 60s);
  WhenReceived(7, [&] {
    DL::AbandonWaits();
    form->EndForProgramExit();
  });
  Start({"speechset\\a.wav"});
  ASSERT_TRUE(Closed(20000));
  ASSERT_TRUE(ProcessUntil([] { return DL::AnswerState == 0; }, 20000)) << "the verdict waits for 60 s";
  EXPECT_EQ(ReceivedAfterQuiet(), "*BGIJHK{");
  EXPECT_TRUE(messages.empty()) << "no failure box after the program was asked to end";
  EXPECT_FALSE(form->Timer1->isActive());
}

TEST_F(CopyDialog, ProgramEndWithoutARunSendsNothing) {
  form->EndForProgramExit();
  EXPECT_EQ(ReceivedAfterQuiet(300), "");
}

// ----------------------------------------------------------------- volume

class CopyDialogVolume : public CopyDialog {
 protected:
  std::unique_ptr<SinkLock> sink;
  std::uint32_t before = 0;
  void SetUp() override {
    UseOutputLevel(nullptr);
    SKIP_WITHOUT_SOUND_SERVER();
    sink = std::make_unique<SinkLock>(SinkLock::Exclusive);
    SetOutputVolume(30000);
    before = GetOutputVolume();
    ASSERT_NE(before, 0u);
  }
  void TearDown() override {
    if (sink) SetOutputVolume(65536);
  }
};

TEST_F(CopyDialogVolume, TheLevelAdjustmentStepsUpByFourThousandNinetySixAndSuccessRestores) {
  sim.SetValues('B', {10, 50, 130});
  std::vector<std::uint32_t> volumeAtReading;
  onDeviceNote = nullptr;
  // Read on the test's side of the mixer whenever a level query arrives.
  for (size_t count : {2u, 3u, 4u})
    WhenReceived(count, [&] { volumeAtReading.push_back(GetOutputVolume()); });
  Start({"speechset\\a.wav"});
  ASSERT_TRUE(Succeeded());
  EXPECT_THAT(volumeAtReading, testing::ElementsAre(4096u, 8192u, 12288u));
  EXPECT_EQ(GetOutputVolume(), before);
  SetOutputVolume(20000);
  form->BitBtn2->click();
  EXPECT_EQ(GetOutputVolume(), before) << "OK restores a second time";
}

// The user's level above 100 % and out of balance: only the sound server holds
// it, and the copy must put it back channel by channel.
TEST_F(CopyDialogVolume, AnOverAmplifiedUnbalancedLevelIsPutBackExactly) {
  const std::vector<long> users = {98304, 65536};  // 150 % left, 100 % right
  SetSinkChannels(users);
  ASSERT_EQ(SinkChannels(), users);
  sim.SetValues('B', {10, 130});
  Start({"speechset\\a.wav"});
  ASSERT_TRUE(Succeeded());
  EXPECT_TRUE(DeviceReceived("*BBGIJHK{"));
  EXPECT_EQ(SinkChannels(), users);
}

TEST_F(CopyDialogVolume, EveryFailureEndRestoresTheSavedVolume) {
  sim.SetValues('B', {119});
  Start({"speechset\\a.wav"});
  ASSERT_TRUE(Closed());
  EXPECT_EQ(GetOutputVolume(), before) << "after no signal at 65536";
  sim.SetValues('B', {0});
  Start({"speechset\\a.wav"});
  ASSERT_TRUE(Closed());
  EXPECT_EQ(GetOutputVolume(), before) << "after a failed level query";
  sim.SetValues('B', {200});
  WhenReceived(sim.Received().size() + 3, [&] { form->BitBtn1->click(); });
  Start({"speechset\\a.wav"});
  ASSERT_TRUE(Closed());
  EXPECT_EQ(GetOutputVolume(), before) << "after Abbrechen";
}

bool SinkMuted() { return RunCommand("pactl get-sink-mute @DEFAULT_SINK@").find("yes") != std::string::npos; }

// The copy takes the mute over as it takes the volume: a muted sink would make
// the level adjustment end in "no signal".
TEST_F(CopyDialogVolume, AMutedSinkIsUnmutedForTheRunAndMutedAgainAtEachEnd) {
  struct Unmute {
    ~Unmute() { RunCommand("pactl set-sink-mute @DEFAULT_SINK@ 0"); }
  } unmute;
  for (const bool success : {true, false}) {
    SCOPED_TRACE(success ? "success" : "no signal");
    RunCommand("pactl set-sink-mute @DEFAULT_SINK@ 1");
    ASSERT_TRUE(SinkMuted());
    std::optional<bool> mutedAtReading;
    WhenReceived(sim.Received().size() + 2, [&] { mutedAtReading = SinkMuted(); });
    sim.SetValues('B', {success ? 130 : 119});
    Start({"speechset\\a.wav"});
    ASSERT_TRUE(success ? Succeeded() : Closed(30000));
    EXPECT_EQ(mutedAtReading, std::optional<bool>(false));
    EXPECT_TRUE(SinkMuted()) << "the mute is put back";
    EXPECT_EQ(GetOutputVolume(), before);
    if (success) form->close();
  }
}

// ------------------------------------------------------ through the sound card

// The real audio layer into the null sink, the data of the source tree as the
// program folder.
class CopyDialogSound : public CopyDialog {
 protected:
  std::unique_ptr<SinkLock> sink;
  void SetUp() override {
    UseOutputLevel(nullptr);
    SKIP_WITHOUT_SOUND_SERVER();
    sink = std::make_unique<SinkLock>(SinkLock::Exclusive);
    form.reset();
    autoFinish = false;
    UseAudioOutput(nullptr);
    OverrideProgramFolder(SourceDataFolder());
    form = std::make_unique<TForm4>();
  }
  void TearDown() override {
    if (sink) SetOutputVolume(65536);
  }
};

TEST_F(CopyDialogSound, AFullRunOfFiveThroughTheSoundCardFindsEachFilesEndAndRestoresTheVolume) {
  const QStringList entries = {"speechset\\deutsch\\acht.wav", "speechset\\deutsch\\zwanzig.wav",
                               "speechset\\deutsch\\guten_morgen.wav", "soundset\\wecker_piep.wav",
                               "soundset\\wecker_glocke.mp3"};
  SetOutputVolume(40000);
  const std::uint32_t before = GetOutputVolume();
  sim.SetValues('B', {20, 80, 125});
  Start(entries);
  ASSERT_TRUE(Succeeded(60000));
  EXPECT_TRUE(DeviceReceived("*BBBG" + Repeat("IJ", 5) + "HK{"));
  EXPECT_TRUE(messages.empty()) << "every file was played";
  EXPECT_EQ(GetOutputVolume(), before);
  // How long each recording matches its file is for the simulator that hears;
  // the rule that the stop waits for the stream's end is covered above.
  form->BitBtn2->click();
  EXPECT_EQ(GetOutputVolume(), before);
}

// An entry of a long run costs what one of a short run costs: nothing of the
// sequence grows with the list (bench/copyrun measures runs of 1, 5 and 20).
// Per entry from the device's log, one "I" to the next: the last entries of
// twelve against the first ones, with room for a loaded machine.
TEST_F(CopyDialog, TheLastEntriesOfALongRunTakeNoLongerThanTheFirst) {
  QStringList entries;
  for (int i = 0; i < 12; ++i) entries << kFiveEntries[i % kFiveEntries.size()];
  Start(entries);
  ASSERT_TRUE(Succeeded(120000));
  std::vector<double> perEntry;
  std::optional<devsim::Clock::time_point> last;
  for (const devsim::LoggedByte& byte : sim.Log()) {
    if (byte.value != 'I') continue;
    if (last) perEntry.push_back(std::chrono::duration<double, std::milli>(byte.time - *last).count());
    last = byte.time;
  }
  ASSERT_EQ(perEntry.size(), 11u) << "the device received " << devsim::Printable(sim.Received());
  auto median = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  };
  const double first = median({perEntry.begin(), perEntry.begin() + 3});
  const double late = median({perEntry.end() - 3, perEntry.end()});
  RecordProperty("first entries ms", static_cast<int>(first));
  RecordProperty("last entries ms", static_cast<int>(late));
  if (!kSanitizedBuild) {
    EXPECT_LE(late, first * 1.25 + 60) << "first entries " << first << " ms";
  }
}

// A real gap in the sound while the device records, each way a sink can lose
// it: the recording would keep the gap for good, so the copy ends as for a lost
// output, naming the entry, stops the recording and leaves the device as it
// found it, and the user's level (150 % / 100 %) is back.
class CopyDialogSoundCut : public CopyDialogSound {
 protected:
  const std::vector<long> users = {98304, 65536};
  std::string firstSink;
  std::string secondModule;
  std::string secondSink;

  void SetUp() override {
    CopyDialogSound::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    ASSERT_TRUE(folder.isValid());
    ASSERT_TRUE(QDir(folder.path()).mkpath("resources") && QDir(folder.path()).mkpath("speechset"));
    ASSERT_TRUE(
        QFile::copy(SourceDataFolder() + "resources/tone.mp3", folder.filePath("resources/tone.mp3")));
    ASSERT_TRUE(WriteToneBetweenSilences(folder.filePath("speechset/lang.wav"), 0.5, 100, 30000, 100));
    OverrideProgramFolder(folder.path() + "/");
    firstSink = Trimmed(RunCommand("pactl get-default-sink"));
    ASSERT_FALSE(firstSink.empty());
  }
  void TearDown() override {
    if (resume.joinable()) resume.join();
    if (!secondModule.empty()) RunCommand("pactl unload-module " + secondModule + " 2>/dev/null");
    if (!firstSink.empty()) RunCommand("pactl set-default-sink " + firstSink);
    // A sink that has been suspended, or become the default again, holds back
    // the next sound for up to 2 s, as a fresh one does: a short silence played
    // to its end waits that out before the next test plays.
    if (!firstSink.empty())
      RunCommand("head -c 4410 /dev/zero | timeout 10 pacat --raw --format=s16le --channels=1 --rate=44100");
    CopyDialogSound::TearDown();
  }
  static std::string Trimmed(std::string text) {
    text.erase(std::remove(text.begin(), text.end(), '\n'), text.end());
    return text;
  }
  // A second null sink beside the default one. Its name is new each time:
  // WirePlumber remembers the sink a program's stream was moved to and puts
  // the program's later streams there whenever a sink of that name exists, so
  // a test that moved the stream would send the next test's level tone where
  // the device does not hear it.
  void AddSecondSink() {
    static int made = 0;
    secondSink = "vellamo_second_" + std::to_string(::getpid()) + "_" + std::to_string(++made);
    secondModule = Trimmed(
        RunCommand("pactl load-module module-null-sink sink_name=" + secondSink + " rate=44100"));
    ASSERT_FALSE(secondModule.empty());
    ASSERT_TRUE(ProcessUntil(
        [&] { return RunCommand("pactl list short sinks").find(secondSink) != std::string::npos; }, kFaultMs));
  }
  // Copies the long word twice; `cut` runs once the device records and the
  // sound is being heard. The copy ends with `message`, naming the entry.
  // The copy follows the word while the device's answer to "I" is still on
  // its way; the cut waits for that answer too, a quarter second into the
  // word: on PipeWire a hang in a stream's very first moments, before its
  // first reports, is not yet told as a cut.
  void CopyAndCut(const std::function<void()>& cut, const std::string& message) {
    SetSinkChannels(users);
    ASSERT_EQ(SinkChannels(), users);
    Start({"speechset\\lang.wav", "speechset\\lang.wav"});
    ASSERT_TRUE(ProcessUntil(
        [&] {
          return sim.State().recording && form->Timer1->Tag == TForm4::TrackPlayback && DL::AnswerState == 0 &&
                 StreamPosition(CopyStream) > 0;
        },
        kFaultMs));
    cut();
    ASSERT_TRUE(Closed());
    ASSERT_EQ(messages.size(), 1u);
    const std::string said = messages[0].text.toStdString();
    if (message.empty()) {
      EXPECT_TRUE(said == Cut("wurde während der Wiedergabe von speechset\\lang.wav angehalten") ||
                  said.rfind("Der Tonserver antwortet nicht mehr (während der Wiedergabe von speechset\\lang.wav)",
                             0) == 0)
          << said;
    } else {
      EXPECT_EQ(said, message);
    }
    EXPECT_TRUE(DeviceReceived("*BGIJH{"));
  }
  static std::string Cut(const std::string& how) {
    return "Die Tonausgabe " + how + "; die Aufnahme ist unvollständig. Die Übertragung wurde abgebrochen.";
  }
  // The process stands still for `ms`, while this one goes on; it resumes on
  // time also while this one waits for it.
  void Halt(pid_t process, int ms) {
    ASSERT_GT(process, 0);
    kill(process, SIGSTOP);
    resume = std::thread([process, ms] {
      std::this_thread::sleep_for(std::chrono::milliseconds(ms));
      kill(process, SIGCONT);
    });
  }
  std::thread resume;

  QTemporaryDir folder;
};

// PipeWire's service shows nothing of the suspend, and the stream's timing plays
// on into nothing at its normal pace: only the sink's monitor tells it there.
TEST_F(CopyDialogSoundCut, ASuspendedSinkEndsTheCopyNamingTheEntry) {
  struct Resume {
    ~Resume() { RunCommand("pactl suspend-sink @DEFAULT_SINK@ 0"); }
  } resume;
  CopyAndCut([] { RunCommand("pactl suspend-sink @DEFAULT_SINK@ 1"); },
             Cut("wurde während der Wiedergabe von speechset\\lang.wav angehalten"));
  EXPECT_EQ(SinkChannels(), users) << "the volume is put back";
}

// The sink the copy plays on goes away; the level it had goes with it, and the
// sink that remains keeps the user's level untouched.
TEST_F(CopyDialogSoundCut, ARemovedSinkEndsTheCopyNamingTheEntry) {
  SetSinkChannels(users);
  AddSecondSink();
  if (HasFatalFailure()) return;
  RunCommand("pactl set-default-sink " + secondSink);
  // PulseAudio moves the stream to the sink that remains before the sink goes
  // (switched); PipeWire removes the sink under it (gone).
  const bool pipewire = SoundServerProcess("pipewire-0") != 0;
  CopyAndCut([&] { RunCommand("pactl unload-module " + secondModule); },
             pipewire ? Cut("ist während der Wiedergabe von speechset\\lang.wav ausgefallen")
                      : "Die Audioausgabe wurde während der Wiedergabe von speechset\\lang.wav umgeschaltet; die "
                        "Aufnahme ist unvollständig. Die Übertragung wurde abgebrochen.");
  secondModule.clear();
  RunCommand("pactl set-default-sink " + firstSink);
  EXPECT_EQ(SinkChannels(), users) << "the remaining sink's level is left alone";
}

TEST_F(CopyDialogSoundCut, AStreamMovedToAnotherSinkEndsTheCopyNamingTheEntry) {
  AddSecondSink();
  if (HasFatalFailure()) return;
  // To the sink it is not on: a server may have put it on the second sink from
  // the start (WirePlumber restores where a program's streams were moved to).
  // WirePlumber carries a move out itself and may not take a sink it has only
  // just learnt of: the move is asked again until the stream has left.
  CopyAndCut([&] {
    const std::string second = Trimmed(RunCommand("pactl list short sinks | grep -w " + secondSink + " | cut -f1"));
    std::string startedOn;
    QElapsedTimer asked;
    const bool left = ProcessUntil(
        [&] {
          const std::string inputs = RunCommand("pactl list short sink-inputs | cut -f1,2");
          const std::size_t end = inputs.find('\n');
          const std::size_t tab = inputs.find('\t');
          if (end == std::string::npos || tab > end) return true;  // the copy ended its stream
          const std::string sink = inputs.substr(tab + 1, end - tab - 1);
          if (startedOn.empty()) startedOn = sink;
          if (sink != startedOn) return true;
          if (!asked.isValid() || asked.elapsed() > 1000) {
            RunCommand("pactl move-sink-input " + inputs.substr(0, tab) + " " +
                       (sink == second ? firstSink : secondSink));
            asked.start();
          }
          return false;
        },
        kFaultMs);
    EXPECT_TRUE(left) << "the stream never left the sink it started on";
  },
             "Die Audioausgabe wurde während der Wiedergabe von speechset\\lang.wav umgeschaltet; die Aufnahme "
             "ist unvollständig. Die Übertragung wurde abgebrochen.");
  EXPECT_EQ(SinkChannels(), users) << "the volume is put back";
}

// A sound server that hangs for a second: what the sink did not play in that
// second is missing from the recording.
TEST_F(CopyDialogSoundCut, ASecondsHangOfTheServerEndsTheCopyNamingTheEntry) {
  const pid_t server = SoundServerProcess("pulse/native");
  CopyAndCut([&] { Halt(server, 1000); },
             "Der Tonserver antwortet nicht mehr (während der Wiedergabe von speechset\\lang.wav); die Aufnahme "
             "ist unvollständig. Die Übertragung wurde abgebrochen.");
  EXPECT_EQ(SinkChannels(), users) << "the volume is put back";
}

// PipeWire's graph stops while its PulseAudio service goes on answering.
TEST_F(CopyDialogSoundCut, AStoppedGraphEndsTheCopyNamingTheEntry) {
  const pid_t graph = SoundServerProcess("pipewire-0");
  if (graph == 0) GTEST_SKIP() << "not PipeWire";
  // The service may wait for the graph before it answers: either cause.
  CopyAndCut([&] { Halt(graph, 1000); }, "");
}

TEST_F(CopyDialogSoundCut, AMuteOfAThirdOfASecondEndsTheCopyNamingTheEntry) {
  CopyAndCut(
      [] {
        RunCommand("pactl set-sink-mute @DEFAULT_SINK@ 1");
        ProcessFor(300);
        RunCommand("pactl set-sink-mute @DEFAULT_SINK@ 0");
      },
      Cut("wurde während der Wiedergabe von speechset\\lang.wav stummgeschaltet"));
}

// Another program's sound would be recorded with the word; muting it instead
// would silence what the user may be listening to and leave it muted should the
// copy be killed, so the copy ends and says who played.
TEST_F(CopyDialogSoundCut, AnotherProgramsSoundEndsTheCopyNamingTheEntryAndTheProgram) {
  QProcess other;
  CopyAndCut(
      [&] {
        other.start("pacat", {"--raw", "--format=s16le", "--channels=2", "--rate=44100",
                              "--client-name=Fremdprogramm"});
        other.write(QByteArray(44100 * 4 * 10, '\0'));
      },
      "Während der Wiedergabe von speechset\\lang.wav hat ein anderes Programm (Fremdprogramm) Ton ausgegeben; "
      "die Aufnahme enthält ihn. Die Übertragung wurde abgebrochen.");
  other.kill();
  other.waitForFinished();
}

// What does not interrupt the sound never cuts: the volume moved like a slider
// while a word is recorded, and a second sink coming up beside it.
TEST_F(CopyDialogSoundCut, AVolumeSweepAndASecondSinkLeaveTheCopyWhole) {
  ASSERT_TRUE(WriteToneBetweenSilences(folder.filePath("speechset/kurz.wav"), 0.5, 100, 3000, 100));
  sim.SetValues('B', {130});
  Start({"speechset\\kurz.wav"});
  ASSERT_TRUE(ProcessUntil(
      [&] { return sim.State().recording && StreamPosition(CopyStream) > 0; }, kFaultMs));
  for (int percent : {40, 60, 80, 100, 120, 100, 80, 60, 40, 60}) {
    QProcess::startDetached("pactl", {"set-sink-volume", "@DEFAULT_SINK@", QString::number(percent) + "%"});
  }
  AddSecondSink();
  ASSERT_TRUE(Succeeded(60000));
  EXPECT_TRUE(messages.empty()) << MessageTexts().join('|').toStdString();
}

// The server's memory of the program (a stream volume of 50 %, a move to
// another sink) decides nothing: the next copy plays on the sink whose level
// it sets, at full stream volume.
TEST_F(CopyDialogSoundCut, ARememberedStreamVolumeAndSinkLeaveTheNextCopyAtFullLevel) {
  ASSERT_TRUE(WriteToneBetweenSilences(folder.filePath("speechset/kurz.wav"), 0.5, 100, 3000, 100));
  AddSecondSink();
  if (HasFatalFailure()) return;
  const std::string first = Trimmed(RunCommand("pactl list short sinks | grep -w " + firstSink + " | cut -f1"));
  StreamHandle earlier = 0;
  PlayFile(earlier, folder.filePath("speechset/lang.wav"));
  ASSERT_NE(earlier, 0u);
  std::string input;
  ASSERT_TRUE(ProcessUntil(
      [&] { return !(input = Trimmed(RunCommand("pactl list short sink-inputs | cut -f1 | head -1"))).empty(); },
      kFaultMs));
  // The server remembers what it has carried out; WirePlumber may drop a move
  // to a sink it has only just learnt of, so both are asked for until they show.
  const std::string second = Trimmed(RunCommand("pactl list short sinks | grep -w " + secondSink + " | cut -f1"));
  std::string earlierSeen;
  ASSERT_TRUE(ProcessUntil(
      [&] {
        RunCommand("pactl set-sink-input-volume " + input + " 50%");
        RunCommand("pactl move-sink-input " + input + " " + secondSink);
        earlierSeen = RunCommand("pactl list sink-inputs | grep -E '^\\s*(Sink|Volume):'");
        return earlierSeen.find("Sink: " + second + "\n") != std::string::npos &&
               earlierSeen.find("/  50% /") != std::string::npos;
      },
      kFaultMs))
      << earlierSeen;
  StopPlayback(earlier);
  sim.SetValues('B', {130});
  Start({"speechset\\kurz.wav"});
  std::string seen;
  EXPECT_TRUE(ProcessUntil(
      [&] {
        seen = RunCommand("pactl list sink-inputs | grep -E '^\\s*(Sink|Volume):'");
        return sim.State().recording && seen.find("Sink: " + first + "\n") != std::string::npos &&
               seen.find("/ 100% /") != std::string::npos && seen.find("50%") == std::string::npos;
      },
      kFaultMs))
      << seen;
  ASSERT_TRUE(Succeeded(60000));
  EXPECT_TRUE(messages.empty()) << MessageTexts().join('|').toStdString();
}

}  // namespace
