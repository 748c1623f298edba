#pragma once
// TForm3 "Zeit Syncronisieren (NTP)": asks a time server for the current time.
// The exchange is the Time Protocol (RFC 868) over TCP port 37, not NTP: the
// server sends its time as 4 bytes and the client closes. The dialog shows the
// result as local time with the computer clock's deviation; it does not talk to
// the clock device.
//
// The button's enabled state is the dialog's only record of a request: disabled
// from the click until the request ends in one of the two socket handlers.
// Hiding the dialog cancels nothing; a request ends the same way while hidden.

#include <QDialog>

#include "tools/clientsocket.h"
#include "tools/timereply.h"

class QFrame;
class QLabel;
class QLineEdit;
class QPushButton;

// A public Time Protocol server of a national standards institute (NIST, USA).
inline constexpr char kDefaultTimeServer[] = "time.nist.gov";
inline constexpr uint16_t kTimeProtocolPort = 37;

class TForm3 : public QDialog {
  Q_OBJECT
 public:
  explicit TForm3(QWidget* parent = nullptr);

  QFrame* Panel1;
  QLabel* Label1;
  QLabel* Label2;
  QLabel* Label3;        // "Host:"
  QLineEdit* Edit1;      // the server to ask
  QLabel* Label4;        // the server's time of the last request that brought one
  QPushButton* BitBtn1;  // "Syncronisieren"
  TClientSocket* ClientSocket;

  // The answer of the present request, collected across receives.
  TimeReplyReader Reply;

  void BitBtn1Click();
  void ClientSocketRead();
  void ClientSocketError(TClientSocket::TErrorEvent event, int& errorCode);
};
