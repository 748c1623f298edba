// "Sprachdaten Update" driven through its own controls, on program folders that
// each test makes: what the lists and the combo box offer, what the previews
// play, what "OK" hands to the copy dialog, and every message. Previews play
// through the real libraries into the tests' null sink.
#include "speech/sprachdat.h"

#include <dirent.h>
#include <gmock/gmock.h>
#include <sndfile.h>

#include <QComboBox>
#include <QFile>
#include <QFrame>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <cmath>
#include <memory>
#include <set>
#include <vector>

#include "speech/audio.h"
#include "speech/soundoutputlock.h"
#include "speech/voicecopy.h"
#include "tests/speech/fakeaudiooutput.h"
#include "tests/speech/soundtestsupport.h"
#include "tests/support/eventwait.h"
#include "ui/messagebox.h"
#include "ui/programfolder.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

// A tone of `milliseconds` as a 16-bit WAV; different lengths tell files apart
// by their stream's length.
bool WriteToneOf(const QString& path, int milliseconds, int format = SF_FORMAT_WAV | SF_FORMAT_PCM_16) {
  return WriteTone(path, format, static_cast<int>(std::int64_t{44100} * milliseconds / 1000));
}

// The names of a folder in the order the file system returns them.
QStringList FileSystemOrder(const QString& folder) {
  QStringList names;
  DIR* dir = opendir(QFile::encodeName(folder).constData());
  if (!dir) return names;
  while (dirent* entry = readdir(dir)) {
    const QString name = QFile::decodeName(entry->d_name);
    if (name != "." && name != "..") names << name;
  }
  closedir(dir);
  return names;
}

QStringList Items(const QListWidget* list) {
  QStringList texts;
  for (int row = 0; row < list->count(); ++row) texts << list->item(row)->text();
  return texts;
}

QStringList ComboItems(const QComboBox* box) {
  QStringList texts;
  for (int i = 0; i < box->count(); ++i) texts << box->itemText(i);
  return texts;
}

class UpdateDialog : public ::testing::Test {
 protected:
  QTemporaryDir program;
  QStringList messages;
  MessageHook previousHook;
  std::unique_ptr<TForm4> copyDialog;
  std::unique_ptr<TForm6> form;
  // "OK" shows the copy dialog, which sets the level: not the shared test sink's.
  FakeOutputLevel level;

  UpdateDialog() {
    UseOutputLevel(&level);
    QDir(program.path()).mkpath("speechset/deutsch");
    QDir(program.path()).mkpath("soundset");
    OverrideProgramFolder(program.path());
    previousHook = SetMessageHook([this](const QString& text, MessageKind) { messages << text; });
  }
  ~UpdateDialog() override {
    UseOutputLevel(nullptr);
    form.reset();
    copyDialog.reset();
    SetMessageHook(previousHook);
    OverrideProgramFolder(QString());
  }

  QString Path(const QString& relative) const { return program.filePath(relative); }
  void Write(const QString& relative, const QByteArray& contents) {
    QFile file(Path(relative));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(contents);
  }
  void Tone(const QString& relative, int milliseconds) {
    ASSERT_TRUE(WriteToneOf(Path(relative), milliseconds));
  }

  void Create() {
    copyDialog = std::make_unique<TForm4>();
    form = std::make_unique<TForm6>();
    form->CopyDialog = copyDialog.get();
    // What InitAudio said about the sound output is not what these tests look at.
    messages.clear();
    form->show();
  }

  void ClickItem(QListWidget* list, const QString& text) {
    const QList<QListWidgetItem*> found = list->findItems(text, Qt::MatchExactly);
    ASSERT_EQ(found.size(), 1) << text.toStdString();
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(found.front()).center());
  }
  void Click(QAbstractButton* button) { QTest::mouseClick(button, Qt::LeftButton); }

  // The length of the stream that playing `relative` directly gives: how a
  // preview is told apart.
  std::uint32_t LengthOf(const QString& relative) {
    StreamHandle probe = 0;
    PlayFile(probe, ProgramFolder() + relative);
    const std::uint32_t length = StreamLength(probe);
    StopPlayback(probe);
    return length;
  }
};

TEST_F(UpdateDialog, IsBuiltAsDesigned) {
  Create();
  EXPECT_EQ(form->windowTitle(), "Sprachdaten Update");
  EXPECT_EQ(form->size(), QSize(626, 363));
  EXPECT_EQ(form->minimumSize(), form->maximumSize()) << "fixed size";
  EXPECT_TRUE(form->windowFlags() & Qt::WindowMinimizeButtonHint);
  EXPECT_TRUE(form->windowFlags() & Qt::WindowCloseButtonHint);
  EXPECT_FALSE(form->windowFlags() & Qt::WindowMaximizeButtonHint);

  EXPECT_EQ(form->Label1->text(), "Sprachausgabe");
  EXPECT_EQ(form->Label2->text(), "Status");
  EXPECT_EQ(form->Label3->text(), "Wecksounds");
  EXPECT_EQ(form->Label4->text(), "Länge: 00:00:00");
  EXPECT_EQ(form->Label5->text(), "Label5");
  for (QLabel* heading : {form->Label1, form->Label2, form->Label3}) {
    EXPECT_GT(heading->font().pointSize(), form->Label4->font().pointSize()) << heading->text().toStdString();
  }
  EXPECT_EQ(form->Label1->parent(), form->Panel1);
  EXPECT_EQ(form->ComboBox1->parent(), form->Panel1);
  EXPECT_EQ(form->BitBtn3->parent(), form->Panel1);
  EXPECT_EQ(form->Label4->parent(), form->Panel2);
  EXPECT_EQ(form->ListBox1->parent(), form->Panel3);
  EXPECT_EQ(form->ListBox2->parent(), form->Panel3);

  EXPECT_EQ(form->BitBtn3->text(), "Vorhören");
  EXPECT_EQ(form->BitBtn1->text(), "Abbrechen");
  EXPECT_EQ(form->BitBtn2->text(), "OK");
  EXPECT_LT(form->BitBtn1->x(), form->BitBtn2->x());
  for (QAbstractButton* button :
       std::initializer_list<QAbstractButton*>{form->BitBtn1, form->BitBtn2, form->BitBtn3,
                                               form->SpeedButton1, form->SpeedButton2, form->SpeedButton3}) {
    EXPECT_FALSE(button->icon().isNull());
  }
  for (QToolButton* flat : {form->SpeedButton1, form->SpeedButton2, form->SpeedButton3}) {
    EXPECT_TRUE(flat->autoRaise());
    EXPECT_TRUE(flat->text().isEmpty());
  }
  EXPECT_LT(form->SpeedButton1->y(), form->SpeedButton2->y());
  EXPECT_LT(form->SpeedButton2->y(), form->SpeedButton3->y());
  for (QListWidget* list : {form->ListBox1, form->ListBox2}) {
    EXPECT_EQ(list->selectionMode(), QAbstractItemView::SingleSelection);
    EXPECT_FALSE(list->isSortingEnabled());
  }
  EXPECT_LT(form->ListBox1->x(), form->ListBox2->x());
}

TEST_F(UpdateDialog, ListsEverySpeechSetAndSelectsTheFirstFound) {
  Write("speechset/Zweiter.ini", "b.wav\r\n");
  Write("speechset/Erster.ini", "a.wav\r\n");
  Write("speechset/notes.txt", "not a speech set");
  Create();
  const QStringList found = FileSystemOrder(Path("speechset")).filter(".ini");
  ASSERT_EQ(found.size(), 2);
  EXPECT_EQ(ComboItems(form->ComboBox1), found);
  EXPECT_EQ(form->ComboBox1->currentIndex(), 0);
  EXPECT_EQ(form->ComboBox1->currentText(), found.front());
}

TEST_F(UpdateDialog, OffersWavAlarmSoundsFirstThenMp3InFileSystemOrder) {
  Write("soundset/c.mp3", "");
  Write("soundset/a.wav", "");
  Write("soundset/b.mp3", "");
  Write("soundset/d.wav", "");
  Write("soundset/readme.txt", "");
  QDir(program.path()).mkpath("soundset/folder.wav");  // every kind of entry counts
  Create();
  const QStringList order = FileSystemOrder(Path("soundset"));
  const QStringList expected =
      order.filter(QRegularExpression("\\.wav$")) + order.filter(QRegularExpression("\\.mp3$"));
  EXPECT_EQ(Items(form->ListBox1), expected);
  EXPECT_EQ(expected.size(), 5);
  EXPECT_THAT(Items(form->ListBox2), IsEmpty());
}

TEST_F(UpdateDialog, WithoutSpeechSetPreviewDoesNothingAndOkCopiesAlarmSoundsOnly) {
  Tone("soundset/piep.wav", 300);
  Create();
  EXPECT_EQ(form->ComboBox1->currentIndex(), -1);
  Click(form->BitBtn3);
  EXPECT_EQ(PreviewStream, 0u);
  EXPECT_THAT(messages, IsEmpty());

  ClickItem(form->ListBox1, "piep.wav");
  Click(form->SpeedButton1);
  Click(form->BitBtn2);
  EXPECT_THAT(copyDialog->CopyList(), ElementsAre("soundset\\piep.wav"));
  EXPECT_THAT(messages, IsEmpty());
}

TEST_F(UpdateDialog, WithNoAlarmSoundChosenOkCopiesTheSpeechSetOnly) {
  Write("speechset/Deutsch.ini", "deutsch\\eins.wav\r\ndeutsch\\zwei.wav\r\n");
  Tone("soundset/piep.wav", 300);
  Create();
  Click(form->BitBtn2);
  EXPECT_THAT(copyDialog->CopyList(),
              ElementsAre("speechset\\deutsch\\eins.wav", "speechset\\deutsch\\zwei.wav"));
}

TEST_F(UpdateDialog, OkCopiesEveryLineOfTheSetBlankOnesIncludedThenTheChosenSounds) {
  Write("speechset/Drei.ini", "eins.wav\r\n\r\nzwei.wav\r\n");
  Tone("soundset/a.wav", 300);
  Tone("soundset/b.wav", 300);
  Create();
  ClickItem(form->ListBox1, "b.wav");
  Click(form->SpeedButton1);
  ClickItem(form->ListBox1, "a.wav");
  Click(form->SpeedButton1);
  form->hide();
  form->show();
  EXPECT_FALSE(copyDialog->isVisible());
  Click(form->BitBtn2);
  EXPECT_THAT(copyDialog->CopyList(), ElementsAre("speechset\\eins.wav", "speechset\\", "speechset\\zwei.wav",
                                                  "soundset\\b.wav", "soundset\\a.wav"));
  EXPECT_FALSE(form->isVisible()) << "OK closes the dialog";
  EXPECT_TRUE(copyDialog->isVisible()) << "and opens the copy dialog";
}

TEST_F(UpdateDialog, ASpeechSetWrittenWithLinuxLineEndsGivesOneEntryPerLine) {
  Write("speechset/Linux.ini", "eins.wav\nzwei.wav\n");
  Create();
  Click(form->BitBtn2);
  EXPECT_THAT(copyDialog->CopyList(), ElementsAre("speechset\\eins.wav", "speechset\\zwei.wav"));
}

TEST_F(UpdateDialog, OkTwiceInTwoOpeningsGivesTheSameList) {
  Write("speechset/Deutsch.ini", "eins.wav\r\nzwei.wav\r\n");
  Tone("soundset/a.wav", 300);
  Create();
  ClickItem(form->ListBox1, "a.wav");
  Click(form->SpeedButton1);
  Click(form->BitBtn2);
  const QStringList first = copyDialog->CopyList();
  copyDialog->hide();
  copyDialog->SetCopyList({"something else"});
  form->show();
  Click(form->BitBtn2);
  EXPECT_EQ(copyDialog->CopyList(), first);
  EXPECT_THAT(first, ElementsAre("speechset\\eins.wav", "speechset\\zwei.wav", "soundset\\a.wav"));
}

TEST_F(UpdateDialog, AMissingSpeechSetFileIsReportedOnPreviewAndOnOkWhichStillCopiesTheSounds) {
  Write("speechset/Weg.ini", "eins.wav\r\n");
  Tone("soundset/a.wav", 300);
  Create();
  ASSERT_TRUE(QFile::remove(Path("speechset/Weg.ini")));

  Click(form->BitBtn3);
  EXPECT_THAT(messages, ElementsAre("Konnte Datei nicht öffnen."));
  EXPECT_EQ(PreviewStream, 0u);

  messages.clear();
  ClickItem(form->ListBox1, "a.wav");
  Click(form->SpeedButton1);
  Click(form->BitBtn2);
  EXPECT_THAT(messages, ElementsAre("Konnte Datei nicht öffnen."));
  EXPECT_THAT(copyDialog->CopyList(), ElementsAre("soundset\\a.wav"));
  EXPECT_TRUE(copyDialog->isVisible());
}

// With nothing to copy the clock would still process an empty recording: OK
// says so and leaves the update dialog open, the copy dialog unshown.
TEST_F(UpdateDialog, OkWithNothingToCopyIsRefusedAndTheDialogStaysOpen) {
  struct Case {
    const char* name;
    const char* set;  // the speech set's contents; nullptr: there is none
  };
  const Case cases[] = {{"an empty speech set", ""}, {"no speech set at all", nullptr}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.set) Write("speechset/Leer.ini", c.set);
    Tone("soundset/piep.wav", 300);
    Create();
    Click(form->BitBtn2);
    ASSERT_EQ(messages.size(), 1);
    EXPECT_TRUE(messages.front().startsWith("Nichts zu übertragen")) << messages.front().toStdString();
    EXPECT_TRUE(form->isVisible());
    EXPECT_FALSE(copyDialog->isVisible());
    form.reset();
    copyDialog.reset();
    QFile::remove(Path("speechset/Leer.ini"));
  }
}

// A preview takes no lock of its own, but while a copy holds the sound output
// it plays nothing: that copy's clock would record it.
TEST_F(UpdateDialog, WhileACopyHoldsTheSoundOutputPreviewsStaySilentAndSaySo) {
  Write("speechset/Deutsch.ini", "deutsch\\eins.wav\r\n");
  Tone("speechset/deutsch/eins.wav", 300);
  Tone("soundset/piep.wav", 300);
  Create();
  const SoundOutputClaim copy = ClaimSoundOutput("/dev/ttyUSB3");
  ASSERT_TRUE(copy.lock.has_value());
  ClickItem(form->ListBox1, "piep.wav");
  for (QAbstractButton* preview :
       {static_cast<QAbstractButton*>(form->BitBtn3), static_cast<QAbstractButton*>(form->SpeedButton3)}) {
    SCOPED_TRACE(preview->objectName().toStdString());
    messages.clear();
    Click(preview);
    EXPECT_EQ(PreviewStream, 0u);
    ASSERT_EQ(messages.size(), 1);
    EXPECT_TRUE(messages.front().contains("/dev/ttyUSB3")) << messages.front().toStdString();
  }
}

TEST_F(UpdateDialog, MovingRightAndBackPutsTheItemAtTheEndWithNothingSelected) {
  Write("soundset/a.wav", "");
  Write("soundset/b.wav", "");
  Write("soundset/c.wav", "");
  Create();
  const QStringList before = Items(form->ListBox1);
  const QString first = before.front();

  ClickItem(form->ListBox1, first);
  Click(form->SpeedButton1);
  EXPECT_THAT(Items(form->ListBox2), ElementsAre(first));
  EXPECT_EQ(Items(form->ListBox1), before.mid(1));
  EXPECT_THAT(form->ListBox1->selectedItems(), IsEmpty());

  ClickItem(form->ListBox2, first);
  Click(form->SpeedButton2);
  EXPECT_EQ(Items(form->ListBox1), before.mid(1) + QStringList{first});
  EXPECT_THAT(Items(form->ListBox2), IsEmpty());
  EXPECT_THAT(form->ListBox2->selectedItems(), IsEmpty());

  Click(form->SpeedButton2);  // nothing selected: nothing moves
  Click(form->SpeedButton1);
  EXPECT_EQ(Items(form->ListBox1), before.mid(1) + QStringList{first});
}

TEST_F(UpdateDialog, SelectingInOneListClearsTheOtherByMouseAndByKey) {
  Write("soundset/a.wav", "");
  Write("soundset/b.wav", "");
  Write("soundset/c.wav", "");
  Create();
  ClickItem(form->ListBox1, "c.wav");
  Click(form->SpeedButton1);
  ClickItem(form->ListBox1, "a.wav");
  ClickItem(form->ListBox2, "c.wav");
  EXPECT_THAT(form->ListBox1->selectedItems(), IsEmpty());
  ASSERT_EQ(form->ListBox2->selectedItems().size(), 1);

  form->ListBox1->setFocus();
  QTest::keyClick(form->ListBox1, Qt::Key_Down);
  EXPECT_EQ(form->ListBox1->selectedItems().size(), 1);
  EXPECT_THAT(form->ListBox2->selectedItems(), IsEmpty()) << "a key released in the left list";

  form->ListBox2->setFocus();
  QTest::keyClick(form->ListBox2, Qt::Key_Home);
  EXPECT_EQ(form->ListBox2->selectedItems().size(), 1);
  EXPECT_THAT(form->ListBox1->selectedItems(), IsEmpty()) << "a key released in the right list";
}

TEST_F(UpdateDialog, LoudspeakerWithNothingSelectedSaysSo) {
  Tone("soundset/a.wav", 300);
  Create();
  Click(form->SpeedButton3);
  EXPECT_THAT(messages, ElementsAre("Kein Wecksound gewählt."));
  EXPECT_EQ(PreviewStream, 0u);
}

TEST_F(UpdateDialog, LoudspeakerPlaysTheOneSelectedItemOfEitherList) {
  SKIP_WITHOUT_SOUND_SERVER();
  SinkLock sink(SinkLock::Shared);
  Tone("soundset/links.wav", 400);
  Tone("soundset/rechts.wav", 700);
  Create();
  ClickItem(form->ListBox1, "rechts.wav");
  Click(form->SpeedButton1);

  ClickItem(form->ListBox1, "links.wav");
  Click(form->SpeedButton3);
  EXPECT_EQ(StreamLength(PreviewStream), LengthOf("soundset\\links.wav"));
  EXPECT_TRUE(IsPlaying(PreviewStream));

  ClickItem(form->ListBox2, "rechts.wav");
  Click(form->SpeedButton3);
  EXPECT_EQ(StreamLength(PreviewStream), LengthOf("soundset\\rechts.wav"));
  EXPECT_THAT(messages, IsEmpty());
}

TEST_F(UpdateDialog, PreviewPlaysEveryLineOfTheSetByChance) {
  SKIP_WITHOUT_SOUND_SERVER();
  SinkLock sink(SinkLock::Shared);
  Write("speechset/Deutsch.ini", "deutsch\\eins.wav\r\ndeutsch\\zwei.wav\r\ndeutsch\\drei.wav\r\n");
  Tone("speechset/deutsch/eins.wav", 200);
  Tone("speechset/deutsch/zwei.wav", 300);
  Tone("speechset/deutsch/drei.wav", 400);
  Create();
  const std::set<std::uint32_t> lengths{LengthOf("speechset\\deutsch\\eins.wav"),
                                        LengthOf("speechset\\deutsch\\zwei.wav"),
                                        LengthOf("speechset\\deutsch\\drei.wav")};
  ASSERT_EQ(lengths.size(), 3u);
  std::set<std::uint32_t> heard;
  // A line missing from 60 uniform draws of three has a chance below 1e-10.
  for (int i = 0; i < 60; ++i) {
    Click(form->BitBtn3);
    ASSERT_NE(PreviewStream, 0u);
    heard.insert(StreamLength(PreviewStream));
  }
  EXPECT_EQ(heard, lengths);
}

TEST(PreviewChoice, EveryDrawPicksADifferentLineSoEachHasTheSameChance) {
  const QStringList lines{"a", "b", "c", "d"};
  QStringList chosen;
  for (int draw = 0; draw < lines.size(); ++draw) chosen << ChosenPreviewLine(lines, draw);
  EXPECT_THAT(chosen, ElementsAre("d", "a", "b", "c"));
  EXPECT_EQ(ChosenPreviewLine({}, 0), "");
}

TEST_F(UpdateDialog, AnEmptySpeechSetPreviewsNothingWithoutAMessage) {
  Write("speechset/Leer.ini", "");
  Create();
  Click(form->BitBtn3);
  EXPECT_EQ(PreviewStream, 0u);
  EXPECT_THAT(messages, IsEmpty());
}

TEST_F(UpdateDialog, NamesInWindows1252AndUtf8NameFilesThatPlay) {
  SKIP_WITHOUT_SOUND_SERVER();
  SinkLock sink(SinkLock::Shared);
  Write("speechset/Umlaut.ini", "gr\xfc\xdf.wav\r\n");
  Write("speechset/Utf8.ini", "\xc3\xa4\xc3\xb6.wav\r\n");
  Tone(QStringLiteral("speechset/grüß.wav"), 300);
  Tone(QStringLiteral("speechset/äö.wav"), 500);
  Create();
  for (const QString& set : {QStringLiteral("Umlaut.ini"), QStringLiteral("Utf8.ini")}) {
    form->ComboBox1->setCurrentText(set);
    Click(form->BitBtn3);
    EXPECT_NE(PreviewStream, 0u) << set.toStdString();
    EXPECT_TRUE(IsPlaying(PreviewStream)) << set.toStdString();
  }
  Click(form->BitBtn2);
  EXPECT_THAT(copyDialog->CopyList(), ElementsAre(QStringLiteral("speechset\\äö.wav")));
}

TEST_F(UpdateDialog, EveryWayOutStopsThePreview) {
  SKIP_WITHOUT_SOUND_SERVER();
  SinkLock sink(SinkLock::Shared);
  Tone("soundset/lang.wav", 5000);
  // Something to copy, so that OK starts a copy.
  Write("speechset/Deutsch.ini", "eins.wav\r\n");
  Create();
  auto preview = [&] {
    form->show();
    ClickItem(form->ListBox1, "lang.wav");
    Click(form->SpeedButton3);
    ASSERT_TRUE(IsPlaying(PreviewStream));
  };
  preview();
  Click(form->BitBtn1);
  EXPECT_EQ(PreviewStream, 0u) << "Abbrechen";
  EXPECT_FALSE(form->isVisible());

  preview();
  form->close();
  EXPECT_EQ(PreviewStream, 0u) << "closing the window";

  preview();
  QTest::keyClick(form.get(), Qt::Key_Escape);
  EXPECT_EQ(PreviewStream, 0u) << "Escape";
  EXPECT_FALSE(form->isVisible());

  preview();
  Click(form->BitBtn2);
  EXPECT_EQ(PreviewStream, 0u) << "OK";
  // The copy that OK started holds the program's input until it ends.
  copyDialog->BitBtn1->click();

  preview();
  form.reset();
  EXPECT_EQ(PreviewStream, 0u) << "destruction at program end";
}

TEST_F(UpdateDialog, AThreeMinuteMp3PreviewStartsAtOnceAndTheWindowKeepsWorking) {
  SKIP_WITHOUT_SOUND_SERVER();
  SinkLock sink(SinkLock::Shared);
  Write("speechset/Lang.ini", "lang.mp3\r\n");
  ASSERT_TRUE(WriteToneOf(Path("speechset/lang.mp3"), 180000, SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III));
  Tone("soundset/a.wav", 300);
  Create();
  Click(form->BitBtn3);
  ASSERT_NE(PreviewStream, 0u);
  // Sound advances while the window keeps handling the user's clicks.
  ClickItem(form->ListBox1, "a.wav");
  Click(form->SpeedButton1);
  EXPECT_THAT(Items(form->ListBox2), ElementsAre("a.wav"));
  EXPECT_TRUE(ProcessUntil([] { return StreamPosition(PreviewStream) > 44100 * 2; }, 10000));
  EXPECT_TRUE(IsPlaying(PreviewStream));
}

}  // namespace
