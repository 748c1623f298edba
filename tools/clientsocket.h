#pragma once
// TClientSocket: a TCP client connection over QTcpSocket, IPv4 only, whose
// notifications arrive on the user-interface thread. Open returns at once; the
// name look-up and the connect go on in the background. From then on the owner
// hears of the connection through two events only: OnRead when received data
// can be read, and OnError for every way the connection ends that the owner did
// not choose by calling Close: an empty host, a name that cannot be resolved, a
// refused or failed connect, a server that closes first, a failed receive, and a
// connection not closed by the owner within Timeout of opening. So an owner that
// waits for one of the two events is never left waiting.
//
// OnError gets the error's kind and a writable error code (an errno value). A
// handler that sets the code to 0 has dealt with the error; otherwise the
// connection reports it itself in a message box.

#include <QObject>
#include <QString>
#include <chrono>
#include <cstdint>
#include <functional>

class QTcpSocket;
class QTimer;

class TClientSocket : public QObject {
  Q_OBJECT
 public:
  enum class TErrorEvent { Lookup, Connect, Receive, Disconnect, General };

  explicit TClientSocket(QObject* parent = nullptr);

  // Read when the connection opens: a host name or an IPv4 address, and a port.
  QString Host;
  uint16_t Port = 0;

  // How long an open connection may last before it is ended as failed.
  std::chrono::milliseconds Timeout{10000};

  // For tests only, never set by the program: maps the port asked for to the one
  // actually connected, so that a test can serve port 37 from an unprivileged
  // port on the loopback address.
  std::function<uint16_t(uint16_t port)> RoutePort;

  std::function<void()> OnRead;
  std::function<void(TErrorEvent event, int& errorCode)> OnError;

  // Starts the look-up and the connect and returns at once; a connection still
  // open is ended first.
  void Open();
  // Ends the connection at once, without waiting for the server; nothing more
  // is reported of it.
  void Close();
  // True from Open until the connection has ended.
  bool Active() const;

  // Receives up to count bytes; returns how many it received (0 for none).
  int ReceiveBuf(void* buffer, int count);

 private:
  void SocketError();
  void TimedOut();
  void ReportError(TErrorEvent event, int code, const QString& text);

  QTcpSocket* socket_;
  QTimer* timer_;
  // Counts opens and closes, so that a report queued for an earlier connection
  // is dropped.
  uint64_t generation_ = 0;
  bool pending_ = false;  // an empty host's report is queued
};
