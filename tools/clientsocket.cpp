#include "tools/clientsocket.h"

#include <QNetworkProxy>
#include <QTcpSocket>
#include <QTimer>
#include <cerrno>

#include "ui/messagebox.h"

namespace {

struct SocketFailure {
  TClientSocket::TErrorEvent event;
  int code;
  const char* text;
};

SocketFailure Describe(QAbstractSocket::SocketError error) {
  using E = TClientSocket::TErrorEvent;
  switch (error) {
    case QAbstractSocket::HostNotFoundError:
      return {E::Lookup, EHOSTUNREACH, "Server nicht gefunden"};
    case QAbstractSocket::ConnectionRefusedError:
      return {E::Connect, ECONNREFUSED, "Verbindung abgelehnt"};
    case QAbstractSocket::NetworkError:
      return {E::Connect, ENETUNREACH, "Netzwerk nicht erreichbar"};
    case QAbstractSocket::SocketTimeoutError:
      return {E::Connect, ETIMEDOUT, "Zeitüberschreitung beim Verbinden"};
    case QAbstractSocket::RemoteHostClosedError:
      return {E::Disconnect, ECONNRESET, "Verbindung vom Server beendet"};
    case QAbstractSocket::SocketAccessError:
      return {E::General, EACCES, "Zugriff verweigert"};
    case QAbstractSocket::SocketResourceError:
      return {E::General, EMFILE, "Keine Verbindung mehr frei"};
    default:
      return {E::Receive, EIO, "Übertragungsfehler"};
  }
}

}  // namespace

TClientSocket::TClientSocket(QObject* parent)
    : QObject(parent), socket_(new QTcpSocket(this)), timer_(new QTimer(this)) {
  // A proxy taken from the environment would carry nothing of this protocol.
  socket_->setProxy(QNetworkProxy::NoProxy);
  timer_->setSingleShot(true);
  connect(socket_, &QTcpSocket::readyRead, this, [this] {
    if (OnRead) OnRead();
  });
  connect(socket_, &QTcpSocket::errorOccurred, this, [this] { SocketError(); });
  connect(timer_, &QTimer::timeout, this, [this] { TimedOut(); });
}

void TClientSocket::Open() {
  Close();
  timer_->start(Timeout);
  if (Host.isEmpty()) {
    // Reported from the event loop like every other failure, never from
    // inside Open.
    pending_ = true;
    QMetaObject::invokeMethod(
        this,
        [this, generation = generation_] {
          if (generation != generation_) return;
          pending_ = false;
          ReportError(TErrorEvent::Lookup, EDESTADDRREQ, QStringLiteral("Keine Adresse angegeben"));
        },
        Qt::QueuedConnection);
    return;
  }
  const uint16_t port = RoutePort ? RoutePort(Port) : Port;
  socket_->connectToHost(Host, port, QIODevice::ReadWrite, QAbstractSocket::IPv4Protocol);
}

void TClientSocket::Close() {
  ++generation_;
  pending_ = false;
  timer_->stop();
  socket_->abort();
}

bool TClientSocket::Active() const {
  return pending_ || socket_->state() != QAbstractSocket::UnconnectedState;
}

int TClientSocket::ReceiveBuf(void* buffer, int count) {
  const qint64 received = socket_->read(static_cast<char*>(buffer), count);
  return received > 0 ? static_cast<int>(received) : 0;
}

void TClientSocket::SocketError() {
  const SocketFailure failure = Describe(socket_->error());
  ReportError(failure.event, failure.code, QString::fromUtf8(failure.text));
}

void TClientSocket::TimedOut() {
  TErrorEvent event = TErrorEvent::Receive;
  if (socket_->state() == QAbstractSocket::HostLookupState) event = TErrorEvent::Lookup;
  if (socket_->state() == QAbstractSocket::ConnectingState) event = TErrorEvent::Connect;
  ReportError(event, ETIMEDOUT, QStringLiteral("Keine Antwort vom Server"));
}

// A failed connection is over: it is ended before the owner hears of it, so
// that nothing of it arrives after the report.
void TClientSocket::ReportError(TErrorEvent event, int code, const QString& text) {
  Close();
  int errorCode = code;
  if (OnError) OnError(event, errorCode);
  if (errorCode != 0)
    ShowMessage(nullptr, QStringLiteral("Socket-Fehler: %1 (%2)").arg(text).arg(errorCode), MessageKind::Error);
}
