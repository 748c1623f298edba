#include "app/comportselect.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QFrame>
#include <QLabel>
#include <QPushButton>

#include "link/devicelink.h"
#include "ui/formstyle.h"
#include "ui/glyphs.h"

TForm2::TForm2(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint | Qt::WindowStaysOnTopHint) {
  Panel1 = new QFrame(this);
  Panel1->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  Panel1->setGeometry(8, 8, 241, 118);

  Label1 = new QLabel(QStringLiteral("Wählen Sie den virtuellen COM Port"), Panel1);
  Label1->setGeometry(12, 10, 222, 16);
  Label2 = new QLabel(QStringLiteral("an den das Gerät angeschlossen ist."), Panel1);
  Label2->setGeometry(12, 28, 222, 16);
  Label3 = new QLabel(QStringLiteral("COM Port:"), Panel1);
  Label3->setGeometry(12, 58, 222, 16);

  ComboBox1 = new QComboBox(Panel1);
  ComboBox1->setEditable(true);
  // A typed name is used as it is, not added to the list.
  ComboBox1->setInsertPolicy(QComboBox::NoInsert);
  ComboBox1->setGeometry(12, 76, 217, 24);

  BitBtn1 = new QPushButton(GreenRightArrowGlyph(), QStringLiteral("OK"), this);
  BitBtn1->setGeometry(88, 136, 81, 27);
  connect(BitBtn1, &QPushButton::clicked, this, [this] { BitBtn1Click(); });

  SetUpForm(this, QStringLiteral("Port Einstellungen"), 257, 175);
}

void TForm2::BitBtn1Click() {
  DeviceLink::OpenDevicePort(ComboBox1->currentText());
  hide();
}

void TForm2::closeEvent(QCloseEvent* event) {
  event->accept();
  hide();
}

void TForm2::AddSorted(const QString& name) {
  int at = 0;
  while (at < ComboBox1->count() && QString::compare(ComboBox1->itemText(at), name, Qt::CaseInsensitive) <= 0)
    ++at;
  ComboBox1->insertItem(at, name);
}

void TForm2::StartupConnection(const PortLister& listPorts) {
  // A combo box selects its first item by itself when it gets one; what counts
  // is whether an item was selected before the ports were listed.
  const bool hadSelection = ComboBox1->currentIndex() >= 0;
  std::vector<std::string> names;
  for (int i = 0; i < ComboBox1->count(); ++i) names.push_back(ComboBox1->itemText(i).toStdString());
  const size_t held = names.size();
  listPorts(names);
  for (size_t i = held; i < names.size(); ++i) AddSorted(QString::fromStdString(names[i]));
  if (ComboBox1->count() > 0 && !hadSelection) ComboBox1->setCurrentIndex(ComboBox1->count() - 1);
  DeviceLink::OpenDevicePort(ComboBox1->currentText());
}
