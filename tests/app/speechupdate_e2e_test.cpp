// The program's main task from end to end, as a user does it: the program's
// windows connect at start-up to the device simulator on a real pty; the user
// opens "Sprachdaten Update" from the menu, picks a speech set, moves an alarm
// sound to the right list and presses "OK"; the copy dialog runs the whole
// transfer through the real audio layer into the tests' null sink, and the
// simulator hears the sink as a device hears the computer's line out. Skips
// without a sound server.
#include <gmock/gmock.h>

#include <QDir>
#include <QFile>
#include <QListWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <memory>
#include <mutex>

#include "devsim/devicesimulator.h"
#include "devsim/virtualports.h"
#include "speech/sprachdat.h"
#include "speech/voicecopy.h"
#include "tests/app/apptest.h"
#include "tests/speech/soundtestsupport.h"

using namespace std::chrono_literals;

namespace {

// A word of the speech set or an alarm sound: a tone between two pauses.
struct Word {
  const char* path;  // below the program folder
  int toneMs;
};

// Five words of different lengths, so that a recording matched to the wrong
// file shows; the pauses keep each word's sound inside its recording.
const Word kWords[] = {{"speechset/probe/eins.wav", 300},
                       {"speechset/probe/zwei.wav", 450},
                       {"speechset/probe/drei.wav", 600},
                       {"speechset/probe/vier.wav", 750},
                       {"speechset/probe/fuenf.wav", 900}};
const Word kMovedAlarm = {"soundset/wecker.wav", 1200};
const Word kOtherAlarm = {"soundset/klingel.wav", 500};
constexpr int kPauseMs = 250;

class SpeechDataUpdateEndToEnd : public ProgramWindows {
 protected:
  std::unique_ptr<SinkLock> sink;
  QTemporaryDir folder;
  devsim::HearingOptions hearing;
  std::mutex notesMutex;
  std::vector<std::string> notes;
  std::unique_ptr<devsim::DeviceSimulator> device;
  std::unique_ptr<devsim::PortAnnouncement> announced;

  void SetUp() override {
    SKIP_WITHOUT_SOUND_SERVER();
    // The level heard depends on the output volume and on all that the sink plays.
    sink = std::make_unique<SinkLock>(SinkLock::Exclusive);
    MakeProgramFolder();
    if (HasFatalFailure()) return;

    devsim::Options options;
    options.hearing = hearing;
    options.observer = [this](const std::string& note) {
      std::lock_guard lock(notesMutex);
      notes.push_back(note);
    };
    device = std::make_unique<devsim::DeviceSimulator>(options);
    announced = std::make_unique<devsim::PortAnnouncement>(tree.PortsFolder(), "vellamo-devsim-e2e",
                                                           device->PortPath());
    programFolder = folder.path() + "/";
    fakeSound = false;
    ProgramWindows::SetUp();
  }
  // The simulator's log so far, one note a line: what it heard and answered.
  std::string JoinedNotes() {
    std::lock_guard lock(notesMutex);
    std::string joined;
    for (const std::string& note : notes) joined += note + "\n";
    return joined;
  }

  void TearDown() override {
    ProgramWindows::TearDown();
    if (sink) SetSinkChannels({65536, 65536});
  }

  QString PathOf(const char* relative) const { return folder.filePath(QString::fromLatin1(relative)); }

  void MakeProgramFolder() {
    ASSERT_TRUE(folder.isValid());
    QDir root(folder.path());
    ASSERT_TRUE(root.mkpath("speechset/probe") && root.mkpath("soundset") && root.mkpath("resources"));
    ASSERT_TRUE(QFile::copy(SourceDataFolder() + "resources/tone.mp3", PathOf("resources/tone.mp3")));
    for (const Word& word : kWords)
      ASSERT_TRUE(WriteToneBetweenSilences(PathOf(word.path), 0.5, kPauseMs, word.toneMs, kPauseMs));
    for (const Word& word : {kMovedAlarm, kOtherAlarm})
      ASSERT_TRUE(WriteToneBetweenSilences(PathOf(word.path), 0.5, kPauseMs, word.toneMs, kPauseMs));
    // As written on Windows: CR LF, "\" between folders. A second set names a
    // file that is not there, so picking the wrong set would not go unnoticed.
    WriteFile(
        "speechset/Probe.ini",
        "probe\\eins.wav\r\nprobe\\zwei.wav\r\nprobe\\drei.wav\r\nprobe\\vier.wav\r\nprobe\\fuenf.wav\r\n");
    WriteFile("speechset/Andere.ini", "andere\\fehlt.wav\r\n");
  }
  void WriteFile(const char* relative, const QByteArray& contents) {
    QFile file(PathOf(relative));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    ASSERT_EQ(file.write(contents), contents.size());
  }

  // The span of sound in a file, measured as the simulator measures what it hears.
  std::chrono::milliseconds SoundSpanOf(const Word& word) const {
    const LoudSpan span =
        FindLoudSpan(DecodeFirstChannel(PathOf(word.path)), 0, int(hearing.silenceThreshold * 32768.0));
    return std::chrono::milliseconds((span.last - span.first + 1) * 1000 / 44100);
  }

  // The device's answers to "B", in order, from its log.
  std::vector<int> LevelReadings() {
    std::lock_guard lock(notesMutex);
    std::vector<int> readings;
    bool levelAsked = false;
    for (const std::string& note : notes) {
      if (note.rfind("rx B", 0) == 0) {
        levelAsked = true;
      } else if (levelAsked && note.rfind("tx \"", 0) == 0) {
        readings.push_back(std::stoi(note.substr(4)));
        levelAsked = false;
      }
    }
    return readings;
  }

  void ClickItem(QListWidget* list, const QString& text) {
    const QList<QListWidgetItem*> found = list->findItems(text, Qt::MatchExactly);
    ASSERT_EQ(found.size(), 1) << text.toStdString();
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(found.front()).center());
  }
};

std::string Repeat(const std::string& piece, size_t times) {
  std::string all;
  for (size_t i = 0; i < times; ++i) all += piece;
  return all;
}

TEST_F(SpeechDataUpdateEndToEnd,
       TheChosenFilesAreRecordedWholeAtTheFirstSufficientLevelAndTheVolumeIsPutBack) {
  // A balance between the channels, which one level for all would lose.
  SetSinkChannels({45000, 36000});
  const std::vector<long> before = SinkChannels();
  ASSERT_EQ(before, (std::vector<long>{45000, 36000}));
  RunStartup();
  ASSERT_EQ(Status(), "Verbunden auf " + QString::fromStdString(announced->LinkPath()) + ".");

  // The sink's level whenever the device is asked for its level or told to record.
  std::vector<std::vector<long>> sinkAtLevelQuery, sinkAtRecordingStart;
  size_t looked = 0;
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, [&] {
    const std::string got = device->Received();
    for (; looked < got.size(); ++looked) {
      if (got[looked] == 'B') sinkAtLevelQuery.push_back(SinkChannels());
      if (got[looked] == 'I') sinkAtRecordingStart.push_back(SinkChannels());
    }
  });
  watch.start(1);

  Form1->Sprachdatenbertragen1->trigger();
  ASSERT_TRUE(Form6->isVisible());
  Form6->ComboBox1->setCurrentIndex(Form6->ComboBox1->findText("Probe.ini"));
  ASSERT_EQ(Form6->ComboBox1->currentText(), "Probe.ini");
  ClickItem(Form6->ListBox1, "wecker.wav");
  QTest::mouseClick(Form6->SpeedButton1, Qt::LeftButton);
  ASSERT_EQ(Form6->ListBox2->count(), 1);
  QTest::mouseClick(Form6->BitBtn2, Qt::LeftButton);
  EXPECT_FALSE(Form6->isVisible());
  ASSERT_TRUE(Form4->isVisible());

  ASSERT_TRUE(ProcessUntil([] { return Form4->BitBtn2->isEnabled() || !Form4->isVisible(); }, 180000))
      << "received: " << devsim::Printable(device->Received());
  ASSERT_EQ(Form4->Label1->text(), "Status: Übertragung erfolgreich!")
      << "messages: " << (messages.empty() ? std::string() : messages.front().toStdString())
      << "\nreceived: " << devsim::Printable(device->Received()) << "\nconnection: "
      << Form1->StatusPanel->text().toStdString() << " " << Form1->StatusPanel->toolTip().toStdString()
      << "\ndevice: " << JoinedNotes();
  EXPECT_TRUE(messages.empty());

  // The level adjustment: one reading per trial volume, each too low but the
  // last, and the volume raised by 4096 for each, no further.
  const std::vector<int> readings = LevelReadings();
  ASSERT_GE(readings.size(), 2u) << "the tone at the first trial volume is far below the sufficient level";
  for (size_t i = 0; i + 1 < readings.size(); ++i) {
    EXPECT_GE(readings[i], 1) << "reading " << i;
    EXPECT_LT(readings[i], 120) << "reading " << i;
  }
  EXPECT_GE(readings.back(), 120);
  ASSERT_EQ(sinkAtLevelQuery.size(), readings.size());
  for (size_t i = 0; i < readings.size(); ++i) {
    const long trial = long(4096 * (i + 1));
    EXPECT_EQ(sinkAtLevelQuery[i], (std::vector<long>{trial, trial})) << "at reading " << i;
  }
  const long found = long(4096 * readings.size());
  EXPECT_EQ(TrialVolume, std::uint32_t(found));
  ASSERT_EQ(sinkAtRecordingStart.size(), 6u);
  for (const std::vector<long>& level : sinkAtRecordingStart)
    EXPECT_EQ(level, (std::vector<long>{found, found})) << "the files play at the level found";

  // The device's bytes: the five words of the set, then the alarm sound.
  const std::string expected = "*" + std::string(readings.size(), 'B') + "G" + Repeat("IJ", 6) + "HK{";
  device->WaitForReceived(expected.size(), 10s);
  EXPECT_EQ(devsim::Printable(device->Received()), devsim::Printable(expected));

  // Each recording holds its whole file.
  ASSERT_TRUE(device->WaitForHeardRecordings(6, 10s));
  const std::vector<devsim::HeardRecording> heard = device->HeardRecordings();
  ASSERT_EQ(heard.size(), 6u);
  std::vector<Word> copied(std::begin(kWords), std::end(kWords));
  copied.push_back(kMovedAlarm);
  for (size_t i = 0; i < copied.size(); ++i) {
    SCOPED_TRACE(copied[i].path);
    EXPECT_EQ(heard[i].number, int(i + 1));
    ASSERT_TRUE(heard[i].soundHeard);
    EXPECT_NEAR(double(heard[i].span.count()), double(SoundSpanOf(copied[i]).count()), 100.0)
        << devsim::DescribeHeard(heard[i]);
  }

  EXPECT_EQ(SinkChannels(), before) << "success puts the volume back";
  const size_t beforeOk = device->Received().size();
  QTest::mouseClick(Form4->BitBtn2, Qt::LeftButton);
  EXPECT_FALSE(Form4->isVisible());
  device->WaitForReceived(beforeOk + 1, 10s);
  EXPECT_EQ(devsim::Printable(device->Received()), devsim::Printable(expected + "{"));
  EXPECT_FALSE(device->InServiceMode());
  EXPECT_EQ(SinkChannels(), before) << "and OK once more, exactly";
  watch.stop();
}

}  // namespace
