#include "tools/ntpsync.h"

#include <QDateTime>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "tools/servertime.h"
#include "ui/formstyle.h"
#include "ui/glyphs.h"

TForm3::TForm3(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint) {
  Panel1 = new QFrame(this);
  Panel1->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  Panel1->setGeometry(8, 8, 259, 118);

  Label1 = new QLabel(QStringLiteral("Hier kann die Zeit mit einem Internetserver"), Panel1);
  Label1->setGeometry(8, 8, 243, 16);
  Label2 = new QLabel(QStringLiteral("abgeglichen werden."), Panel1);
  Label2->setGeometry(8, 24, 243, 16);
  Label3 = new QLabel(QStringLiteral("Host:"), Panel1);
  Label3->setGeometry(8, 54, 36, 16);
  Edit1 = new QLineEdit(QString::fromLatin1(kDefaultTimeServer), Panel1);
  Edit1->setGeometry(44, 50, 207, 22);
  Label3->setBuddy(Edit1);
  Label4 = new QLabel(Panel1);
  Label4->setGeometry(8, 80, 243, 32);
  Label4->setWordWrap(true);
  Label4->setTextInteractionFlags(Qt::TextSelectableByMouse);

  BitBtn1 = new QPushButton(GreenRightArrowGlyph(), QStringLiteral("Syncronisieren"), this);
  BitBtn1->setGeometry(82, 132, 111, 27);
  connect(BitBtn1, &QPushButton::clicked, this, [this] { BitBtn1Click(); });

  ClientSocket = new TClientSocket(this);
  ClientSocket->OnRead = [this] { ClientSocketRead(); };
  ClientSocket->OnError = [this](TClientSocket::TErrorEvent event, int& errorCode) {
    ClientSocketError(event, errorCode);
  };

  SetUpForm(this, QStringLiteral("Zeit Syncronisieren (NTP)"), 275, 166);
}

void TForm3::BitBtn1Click() {
  BitBtn1->setEnabled(false);
  // A time left from an earlier request would pass for this one's.
  Label4->clear();
  Reply.Reset();
  ClientSocket->Host = Edit1->text();
  ClientSocket->Port = kTimeProtocolPort;
  ClientSocket->Open();
}

void TForm3::ClientSocketRead() {
  uint8_t received[TimeReplyReader::kSize];
  const int count = ClientSocket->ReceiveBuf(received, static_cast<int>(Reply.Missing()));
  Reply.Append(received, static_cast<size_t>(count));
  // TCP may deliver the 4 bytes in pieces: a short read waits for the rest.
  if (!Reply.Complete()) return;
  // Whatever the server sends after the 4 bytes is not read.
  ClientSocket->Close();
  Label4->setText(ServerTimeText(Reply.Seconds(), QDateTime::currentSecsSinceEpoch()));
  BitBtn1->setEnabled(true);
}

// Every failure ends the request silently; the user may simply try again.
void TForm3::ClientSocketError(TClientSocket::TErrorEvent, int& errorCode) {
  errorCode = 0;
  BitBtn1->setEnabled(true);
}
