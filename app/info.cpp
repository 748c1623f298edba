#include "app/info.h"

#include <QFrame>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>

#include "ui/formstyle.h"
#include "ui/glyphs.h"
#include "app/jpegimage.h"
#include "ui/programfolder.h"

TForm7::TForm7(QWidget* parent) : QDialog(parent) {
  Panel1 = new QFrame(this);
  Panel1->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  Panel1->setGeometry(8, 8, 250, 222);

  Image1 = new QLabel(Panel1);
  Image1->setGeometry(8, 8, 100, 100);
  Image1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  const QImage picture = DecodeJpegFile(ProgramFolder() + QStringLiteral("pictures/info.jpg"));
  if (!picture.isNull()) Image1->setPixmap(QPixmap::fromImage(picture));

  ProductName = new QLabel(QStringLiteral("Vellamo 2.2"), Panel1);
  QFont bold = FormFont();
  bold.setBold(true);
  bold.setPointSize(10);
  ProductName->setFont(bold);
  ProductName->setGeometry(118, 8, 124, 20);

  auto* purpose = new QLabel(QStringLiteral("Service-Programm für den sprechenden Wecker"), Panel1);
  purpose->setWordWrap(true);
  purpose->setGeometry(118, 32, 124, 48);
  purpose->setAlignment(Qt::AlignLeft | Qt::AlignTop);

  Label1 = new QLabel(Panel1);
  Label1->setText(
      QStringLiteral("© 2026 Vellamo Gerätebau, Kiel.\n"
                     "Alle Rechte vorbehalten.\n"
                     "\n"
                     "Weitere Informationen:\n"
                     "www.vellamo-geraetebau.example\n"
                     "service@vellamo-geraetebau.example"));
  Label1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  Label1->setGeometry(8, 116, 234, 100);

  BitBtn1 = new QPushButton(GreenCheckGlyph(), QStringLiteral("OK"), this);
  BitBtn1->setGeometry(95, 242, 75, 27);
  BitBtn1->setDefault(true);
  connect(BitBtn1, &QPushButton::clicked, this, &QDialog::hide);

  SetUpForm(this, QStringLiteral("Info"), 266, 278);
}
