// The time dialog's TCP client on its own: what it reports and when.
#include "tools/clientsocket.h"

#include <gmock/gmock.h>

#include "tests/support/eventwait.h"
#include "tests/tools/loopbacktimeserver.h"
#include "ui/messagebox.h"

namespace {

class ClientSocket : public ::testing::Test {
 protected:
  TClientSocket socket;
  std::vector<QString> messages;
  std::vector<TClientSocket::TErrorEvent> errors;
  MessageHook previousHook;

  ClientSocket() {
    previousHook = SetMessageHook([this](const QString& text, MessageKind) { messages.push_back(text); });
    socket.Host = QStringLiteral("127.0.0.1");
    socket.OnError = [this](TClientSocket::TErrorEvent event, int&) { errors.push_back(event); };
  }
  ~ClientSocket() override { SetMessageHook(previousHook); }
};

TEST_F(ClientSocket, AnErrorItsOwnerLeavesUnhandledIsReportedInAMessageBox) {
  socket.Port = ClosedLoopbackPort();
  socket.Open();
  ASSERT_TRUE(ProcessUntil([this] { return !errors.empty(); }, 5000));
  EXPECT_THAT(errors, testing::ElementsAre(TClientSocket::TErrorEvent::Connect));
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0], QStringLiteral("Socket-Fehler: Verbindung abgelehnt (%1)").arg(ECONNREFUSED));
}

TEST_F(ClientSocket, AnEmptyHostIsReportedFromTheEventLoopNotFromOpen) {
  socket.Host.clear();
  socket.OnError = [this](TClientSocket::TErrorEvent event, int& code) {
    errors.push_back(event);
    code = 0;
  };
  socket.Open();
  EXPECT_TRUE(socket.Active());
  EXPECT_THAT(errors, testing::IsEmpty());
  ASSERT_TRUE(ProcessUntil([this] { return !errors.empty(); }, 5000));
  EXPECT_THAT(errors, testing::ElementsAre(TClientSocket::TErrorEvent::Lookup));
  EXPECT_FALSE(socket.Active());
  EXPECT_THAT(messages, testing::IsEmpty());
}

TEST_F(ClientSocket, AClosedConnectionReportsNothingMore) {
  using namespace std::chrono_literals;
  LoopbackTimeServer server;
  socket.Port = server.Port();
  socket.Timeout = 100ms;
  int reads = 0;
  socket.OnRead = [&reads] { ++reads; };
  socket.Open();
  ASSERT_TRUE(ProcessUntil([&server] { return server.Connections() == 1; }, 5000));
  socket.Close();
  server.Latest()->write(Bytes({0x01, 0x02, 0x03, 0x04}));
  server.Latest()->disconnectFromHost();
  // Past the time-out and the server's close: neither may reach the owner.
  ProcessFor(400);
  EXPECT_EQ(reads, 0);
  EXPECT_THAT(errors, testing::IsEmpty());
  EXPECT_FALSE(socket.Active());
}

}  // namespace
