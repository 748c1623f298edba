#include "app/comportselect.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QCompleter>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>

#include "app/portdescription.h"
#include "link/devicelink.h"
#include "serial/portmonitor.h"
#include "ui/formstyle.h"
#include "ui/glyphs.h"

TForm2::TForm2(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint | Qt::WindowStaysOnTopHint) {
  ListPorts = [](std::vector<PortInfo>& list) { EnumSerialPorts(list); };

  // Wider and taller than the bare choice needs: a by-id name and the line
  // that says what the port is must be readable whole.
  Panel1 = new QFrame(this);
  Panel1->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  Panel1->setGeometry(8, 8, 384, 196);

  Label1 = new QLabel(QStringLiteral("Wählen Sie den virtuellen COM Port"), Panel1);
  Label1->setGeometry(12, 10, 360, 16);
  Label2 = new QLabel(QStringLiteral("an den das Gerät angeschlossen ist."), Panel1);
  Label2->setGeometry(12, 28, 360, 16);
  Label3 = new QLabel(QStringLiteral("COM Port:"), Panel1);
  Label3->setGeometry(12, 58, 360, 16);

  ComboBox1 = new QComboBox(Panel1);
  ComboBox1->setEditable(true);
  // A typed name is used as it is, not added to the list.
  ComboBox1->setInsertPolicy(QComboBox::NoInsert);
  // Port names differ by case alone ("clock", "Clock"): completing what is
  // typed must not turn one into the other.
  ComboBox1->completer()->setCaseSensitivity(Qt::CaseSensitive);
  ComboBox1->setGeometry(12, 76, 360, 24);
  connect(ComboBox1, &QComboBox::currentTextChanged, this, [this] { ShowChosenPort(); });

  Label4 = new QLabel(Panel1);
  Label4->setGeometry(12, 104, 360, 52);
  Label4->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  Label4->setWordWrap(true);
  Label4->setTextInteractionFlags(Qt::TextSelectableByMouse);

  BitBtn2 = new QPushButton(QStringLiteral("By-ID-Namen einsetzen"), Panel1);
  BitBtn2->setGeometry(12, 160, 180, 27);
  BitBtn2->setToolTip(QStringLiteral(
      "Setzt den Namen aus /dev/serial/by-id ein. Er nennt den Adapter selbst und bleibt gleich, "
      "wenn der Adapter umgesteckt wird; /dev/ttyUSB0 kann danach ein anderes Gerät sein."));
  connect(BitBtn2, &QPushButton::clicked, this, [this] { BitBtn2Click(); });

  BitBtn1 = new QPushButton(GreenRightArrowGlyph(), QStringLiteral("OK"), this);
  BitBtn1->setGeometry(160, 214, 81, 27);
  connect(BitBtn1, &QPushButton::clicked, this, [this] { BitBtn1Click(); });

  SetUpForm(this, QStringLiteral("Port Einstellungen"), 400, 250);
  ShowChosenPort();
}

TForm2::~TForm2() = default;

void TForm2::BitBtn1Click() {
  DeviceLink::OpenDevicePort(ComboBox1->currentText());
  hide();
}

void TForm2::BitBtn2Click() {
  const PortInfo* port = ChosenPort();
  if (port && !port->ById.empty()) ComboBox1->setEditText(QString::fromStdString(port->ById));
}

void TForm2::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  // Watching first, so that a port plugged in while the list is made is not missed.
  monitor_ = std::make_unique<PortMonitor>([this] { RefreshPorts(); });
  RefreshPorts();
}

void TForm2::hideEvent(QHideEvent* event) {
  monitor_.reset();
  QDialog::hideEvent(event);
}

void TForm2::closeEvent(QCloseEvent* event) {
  event->accept();
  hide();
}

void TForm2::AddSorted(const PortInfo& port) {
  const QString name = QString::fromStdString(port.Path);
  int at = 0;
  while (at < ComboBox1->count() && !PortNameBefore(port.Path, ComboBox1->itemText(at).toStdString())) ++at;
  ComboBox1->insertItem(at, name);
  ComboBox1->setItemData(at, PortDescription(port), Qt::ToolTipRole);
  ports_.push_back(port);
}

const PortInfo* TForm2::ChosenPort() const {
  const std::string text = ComboBox1->currentText().toStdString();
  if (text.empty()) return nullptr;
  for (const PortInfo& port : ports_)
    if (port.Path == text || port.ById == text) return &port;
  return nullptr;
}

void TForm2::ShowChosenPort() {
  const PortInfo* port = ChosenPort();
  const QString text = port ? PortDescription(*port) : QString();
  Label4->setText(text);
  Label4->setToolTip(text);
  BitBtn2->setEnabled(port && !port->ById.empty() && ComboBox1->currentText().toStdString() != port->ById);
}

void TForm2::RefreshPorts() {
  const QString text = ComboBox1->currentText();
  const int cursor = ComboBox1->lineEdit()->cursorPosition();
  std::vector<PortInfo> found;
  ListPorts(found);
  {
    // One change of the field for the whole refresh, not one per entry.
    const QSignalBlocker quiet(ComboBox1);
    ComboBox1->clear();
    ports_.clear();
    for (const PortInfo& port : found) AddSorted(port);
    ComboBox1->setCurrentIndex(ComboBox1->findText(text, Qt::MatchFixedString | Qt::MatchCaseSensitive));
    ComboBox1->setEditText(text);
    ComboBox1->lineEdit()->setCursorPosition(cursor);
  }
  ShowChosenPort();
}

void TForm2::StartupConnection() {
  // A combo box selects its first item by itself when it gets one; what counts
  // is whether an item was selected before the ports were listed.
  const bool hadSelection = ComboBox1->currentIndex() >= 0;
  std::vector<PortInfo> listed = ports_;
  const size_t held = listed.size();
  ListPorts(listed);
  for (size_t i = held; i < listed.size(); ++i) AddSorted(listed[i]);
  if (ComboBox1->count() > 0 && !hadSelection) ComboBox1->setCurrentIndex(ComboBox1->count() - 1);
  ShowChosenPort();
  DeviceLink::OpenDevicePort(ComboBox1->currentText());
}
