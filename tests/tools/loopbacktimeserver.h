#pragma once
// A Time Protocol server run by the test itself on 127.0.0.1 at a free port:
// port 37 needs root, so the dialog's socket is routed here through its port
// seam. What the server does with each connection is up to the test.
#include <QByteArray>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <functional>
#include <vector>

class LoopbackTimeServer {
 public:
  // Runs for each accepted connection; by default the server sends nothing.
  std::function<void(QTcpSocket* connection)> OnConnection = [](QTcpSocket*) {};

  LoopbackTimeServer() {
    server_.listen(QHostAddress::LocalHost, 0);
    QObject::connect(&server_, &QTcpServer::newConnection, [this] {
      while (QTcpSocket* connection = server_.nextPendingConnection()) {
        connections_.emplace_back(connection);
        OnConnection(connection);
      }
    });
  }

  uint16_t Port() const { return server_.serverPort(); }
  size_t Connections() const { return connections_.size(); }
  // The latest connection, or null once it is gone.
  QTcpSocket* Latest() const { return connections_.empty() ? nullptr : connections_.back().data(); }
  // True when the client has ended the latest connection.
  bool ClientHasClosed() const {
    QTcpSocket* connection = Latest();
    return connection && connection->state() == QAbstractSocket::UnconnectedState;
  }

 private:
  QTcpServer server_;
  std::vector<QPointer<QTcpSocket>> connections_;
};

// A port on 127.0.0.1 where nobody listens: one the system just handed out
// and took back.
inline uint16_t ClosedLoopbackPort() {
  QTcpServer probe;
  probe.listen(QHostAddress::LocalHost, 0);
  return probe.serverPort();
}

inline QByteArray Bytes(std::initializer_list<uint8_t> bytes) {
  QByteArray data;
  for (uint8_t byte : bytes) data.append(static_cast<char>(byte));
  return data;
}
