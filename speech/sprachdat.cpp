#include "speech/sprachdat.h"

#include <QComboBox>
#include <QDir>
#include <QFrame>
#include <QHideEvent>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QRandomGenerator>
#include <QToolButton>
#include <exception>
#include <optional>

#include "speech/audio.h"
#include "speech/soundoutputlock.h"
#include "speech/speechset.h"
#include "speech/voicecopy.h"
#include "ui/formstyle.h"
#include "ui/glyphs.h"
#include "ui/messagebox.h"
#include "ui/programfolder.h"

StreamHandle PreviewStream = 0;

namespace {

const QString& kSpeechFolder = kSpeechSetFolder;
const QString& kSoundFolder = kAlarmSoundFolder;
const QString kCannotOpen = QStringLiteral("Konnte Datei nicht öffnen.");
const QString kNoAlarmSound = QStringLiteral("Kein Wecksound gewählt.");
// A run without entries would still have the clock process an empty recording,
// which may clear what it holds.
const QString kPreviewDuringCopy = QStringLiteral(
    "Die Vorschau bleibt stumm: Eine Übertragung (an %1) benutzt die Audioausgabe, und ihre Uhr würde "
    "die Vorschau mit aufnehmen.");
const QString kNothingToCopy = QStringLiteral(
    "Nichts zu übertragen: Die Sprachdatei enthält keine Zeile, und es ist kein Wecksound gewählt.");

QFrame* RaisedPanel(QWidget* parent, const QRect& geometry) {
  auto* panel = new QFrame(parent);
  panel->setFrameStyle(QFrame::Panel | QFrame::Raised);
  panel->setGeometry(geometry);
  return panel;
}

QLabel* TextLine(QWidget* parent, const QString& text, const QRect& geometry, bool larger = false) {
  auto* label = new QLabel(text, parent);
  label->setGeometry(geometry);
  if (larger) {
    QFont font = FormFont();
    font.setPointSize(11);
    font.setBold(true);
    label->setFont(font);
  }
  return label;
}

QPushButton* Button(QWidget* parent, const QString& caption, const QIcon& glyph, const QRect& geometry) {
  auto* button = new QPushButton(glyph, caption, parent);
  button->setGeometry(geometry);
  button->setAutoDefault(false);
  return button;
}

QToolButton* FlatButton(QWidget* parent, const QIcon& glyph, const QRect& geometry) {
  auto* button = new QToolButton(parent);
  button->setIcon(glyph);
  button->setAutoRaise(true);
  button->setGeometry(geometry);
  return button;
}

QListWidget* List(QWidget* parent, const QRect& geometry) {
  auto* list = new QListWidget(parent);
  list->setGeometry(geometry);
  list->setSelectionMode(QAbstractItemView::SingleSelection);
  list->setSortingEnabled(false);
  return list;
}

// The entries of a folder matching `pattern`, in the order the file system keeps
// them, every kind of entry included (as the search by attribute mask 63 did).
// The pattern's case does not matter, as it did not on Windows.
QStringList FolderSearch(const QString& folder, const QString& pattern) {
  QDir dir(LocalPath(ProgramFolder() + folder));
  return dir.entryList({pattern}, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                       QDir::Unsorted);
}

bool HasSelection(const QListWidget* list) { return !list->selectedItems().isEmpty(); }

QString SelectedText(const QListWidget* list) { return list->selectedItems().front()->text(); }

// Appends the selected item of `from` to the end of `to`, deletes it from `from`
// and leaves `from` with nothing selected.
void MoveSelected(QListWidget* from, QListWidget* to) {
  if (!HasSelection(from)) return;
  const int row = from->row(from->selectedItems().front());
  to->addItem(from->item(row)->text());
  delete from->takeItem(row);
  from->clearSelection();
  from->setCurrentItem(nullptr);
}

void ClearSelection(QListWidget* list) {
  list->clearSelection();
  list->setCurrentItem(nullptr);
}

}  // namespace

QString ChosenPreviewLine(const QStringList& lines, int draw) {
  if (lines.isEmpty()) return QString();
  return draw == 0 ? lines.back() : lines.at(draw - 1);
}

TForm6::TForm6(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint) {
  Panel1 = RaisedPanel(this, QRect(8, 8, 289, 153));
  Label1 = TextLine(Panel1, QStringLiteral("Sprachausgabe"), QRect(12, 10, 260, 22), true);
  ComboBox1 = new QComboBox(Panel1);
  ComboBox1->setGeometry(12, 48, 265, 24);
  BitBtn3 = Button(Panel1, QStringLiteral("Vorhören"), LoudspeakerGlyph(), QRect(12, 108, 105, 27));

  Panel2 = RaisedPanel(this, QRect(8, 169, 289, 144));
  Label2 = TextLine(Panel2, QStringLiteral("Status"), QRect(12, 10, 260, 22), true);
  Label4 = TextLine(Panel2, QStringLiteral("Länge: 00:00:00"), QRect(12, 48, 260, 16));
  Label5 = TextLine(Panel2, QStringLiteral("Label5"), QRect(12, 72, 260, 16));

  Panel3 = RaisedPanel(this, QRect(305, 8, 313, 305));
  Label3 = TextLine(Panel3, QStringLiteral("Wecksounds"), QRect(12, 10, 260, 22), true);
  ListBox1 = List(Panel3, QRect(12, 40, 125, 252));
  SpeedButton1 = FlatButton(Panel3, RightArrowGlyph(), QRect(143, 100, 27, 27));
  SpeedButton2 = FlatButton(Panel3, LeftArrowGlyph(), QRect(143, 140, 27, 27));
  SpeedButton3 = FlatButton(Panel3, LoudspeakerGlyph(), QRect(143, 200, 27, 27));
  ListBox2 = List(Panel3, QRect(176, 40, 125, 252));

  BitBtn1 = Button(this, QStringLiteral("Abbrechen"), CancelCrossGlyph(), QRect(8, 325, 97, 29));
  BitBtn2 = Button(this, QStringLiteral("OK"), GreenRightArrowGlyph(), QRect(521, 325, 97, 29));

  connect(BitBtn1, &QPushButton::clicked, this, [this] { BitBtn1Click(); });
  connect(BitBtn2, &QPushButton::clicked, this, [this] { BitBtn2Click(); });
  connect(BitBtn3, &QPushButton::clicked, this, [this] { BitBtn3Click(); });
  connect(SpeedButton1, &QToolButton::clicked, this, [this] { SpeedButton1Click(); });
  connect(SpeedButton2, &QToolButton::clicked, this, [this] { SpeedButton2Click(); });
  connect(SpeedButton3, &QToolButton::clicked, this, [this] { SpeedButton3Click(); });
  // Releases are seen on the lists' viewports (mouse) and on the lists (keys).
  for (QObject* watched : {static_cast<QObject*>(ListBox1), static_cast<QObject*>(ListBox1->viewport()),
                           static_cast<QObject*>(ListBox2), static_cast<QObject*>(ListBox2->viewport())}) {
    watched->installEventFilter(this);
  }

  SetUpForm(this, QStringLiteral("Sprachdaten Update"), 626, 363);
  FormCreate();
}

TForm6::~TForm6() { FormDestroy(); }

void TForm6::FormCreate() {
  InitAudio(this);
  for (const QString& name : FolderSearch(kSpeechFolder, QStringLiteral("*.ini"))) {
    ComboBox1->addItem(name);
    ComboBox1->setCurrentIndex(0);
  }
  if (ComboBox1->count() == 0) ComboBox1->setCurrentIndex(-1);
  for (const QString& pattern : {QStringLiteral("*.wav"), QStringLiteral("*.mp3")}) {
    ListBox1->addItems(FolderSearch(kSoundFolder, pattern));
  }
}

void TForm6::FormClose() { StopPlayback(PreviewStream); }

void TForm6::FormDestroy() { StopPlayback(PreviewStream); }

// Closed by any means (the close box, Escape, "OK", "Abbrechen") the dialog is
// hidden; minimising hides it only spontaneously and keeps the preview.
void TForm6::hideEvent(QHideEvent* event) {
  QDialog::hideEvent(event);
  if (!event->spontaneous()) FormClose();
}

bool TForm6::eventFilter(QObject* watched, QEvent* event) {
  const QEvent::Type type = event->type();
  if (type == QEvent::MouseButtonRelease || type == QEvent::KeyRelease) {
    const bool mouse = type == QEvent::MouseButtonRelease;
    if (watched == ListBox1 || watched == ListBox1->viewport()) {
      mouse ? ListBox1MouseUp() : ListBox1KeyUp();
    } else if (watched == ListBox2 || watched == ListBox2->viewport()) {
      mouse ? ListBox2MouseUp() : ListBox2KeyUp();
    }
  }
  return QDialog::eventFilter(watched, event);
}

void TForm6::BitBtn1Click() {
  StopPlayback(PreviewStream);
  close();
}

void TForm6::BitBtn2Click() { BuildCopyList(); }
void TForm6::BitBtn3Click() { PreviewSpeechSet(); }
void TForm6::SpeedButton1Click() { MoveSelected(ListBox1, ListBox2); }
void TForm6::SpeedButton2Click() { MoveSelected(ListBox2, ListBox1); }
void TForm6::SpeedButton3Click() { PreviewAlarmSound(); }
void TForm6::ListBox1MouseUp() { ClearSelection(ListBox2); }
void TForm6::ListBox1KeyUp() { ClearSelection(ListBox2); }
void TForm6::ListBox2MouseUp() { ClearSelection(ListBox1); }
void TForm6::ListBox2KeyUp() { ClearSelection(ListBox1); }

QString TForm6::SelectedSpeechSetPath() const {
  return LocalPath(ProgramFolder() + kSpeechFolder + ComboBox1->currentText());
}

// A preview takes no lock; while another program's copy holds the sound
// output it stays silent, as that copy's clock would record it.
bool TForm6::SoundOutputFree() {
  const std::optional<QString> holder = SoundOutputHolder();
  if (!holder) return true;
  ShowMessage(this, kPreviewDuringCopy.arg(*holder));
  return false;
}

void TForm6::PreviewSpeechSet() {
  if (ComboBox1->currentIndex() < 0) return;
  if (!SoundOutputFree()) return;
  QStringList lines;
  if (!ReadSpeechSet(SelectedSpeechSetPath(), lines)) {
    ShowMessage(this, kCannotOpen);
    return;
  }
  const int draw = lines.isEmpty() ? 0 : int(QRandomGenerator::global()->bounded(qsizetype(lines.size())));
  try {
    PlayFile(PreviewStream, ProgramFolder() + kSpeechFolder + ChosenPreviewLine(lines, draw));
  } catch (const std::exception&) {
    ShowMessage(this, kCannotOpen);
  }
}

void TForm6::PreviewAlarmSound() {
  QString name;
  if (HasSelection(ListBox1)) {
    name = SelectedText(ListBox1);
  } else if (HasSelection(ListBox2)) {
    name = SelectedText(ListBox2);
  } else {
    ShowMessage(this, kNoAlarmSound);
    return;
  }
  if (!SoundOutputFree()) return;
  try {
    PlayFile(PreviewStream, ProgramFolder() + kSoundFolder + name);
  } catch (const std::exception&) {
    ShowMessage(this, kCannotOpen);
  }
}

void TForm6::BuildCopyList() {
  QStringList lines;
  if (ComboBox1->currentIndex() >= 0 && !ReadSpeechSet(SelectedSpeechSetPath(), lines))
    ShowMessage(this, kCannotOpen);
  QStringList alarmSounds;
  for (int row = 0; row < ListBox2->count(); ++row) alarmSounds << ListBox2->item(row)->text();
  const QStringList copyList = ::BuildCopyList(lines, alarmSounds);
  StopPlayback(PreviewStream);
  // The dialog stays open, so that the user can choose something.
  if (copyList.isEmpty()) {
    ShowMessage(this, kNothingToCopy);
    return;
  }
  if (CopyDialog) CopyDialog->SetCopyList(copyList);
  close();
  if (CopyDialog) CopyDialog->show();
}
