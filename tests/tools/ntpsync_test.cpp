// "Zeit Syncronisieren (NTP)" driven through its own controls against a Time
// Protocol server that the test runs on the loopback address. The dialog always
// asks for port 37; its socket's port seam routes that to the test server's
// free port, and records what was asked. Every request, however it ends, must
// give the button back, and no failure may open a message box.
#include "tools/ntpsync.h"

#include <gmock/gmock.h>

#include <QDateTime>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTimer>
#include <memory>

#include "tests/support/eventwait.h"
#include "tests/tools/localtimezone.h"
#include "tests/tools/loopbacktimeserver.h"
#include "tools/servertime.h"
#include "ui/messagebox.h"

using namespace std::chrono_literals;

namespace {

class TimeDialog : public ::testing::Test {
 protected:
  LocalTimeZone zone{kUtc};
  LoopbackTimeServer server;
  std::unique_ptr<TForm3> form = std::make_unique<TForm3>();
  uint16_t askedPort = 0;
  uint16_t connectPort = 0;  // 0: the test server's
  std::vector<QString> messages;
  MessageHook previousHook;

  TimeDialog() {
    form->ClientSocket->RoutePort = [this](uint16_t port) {
      askedPort = port;
      return connectPort != 0 ? connectPort : server.Port();
    };
    form->Edit1->setText(QStringLiteral("127.0.0.1"));
    previousHook = SetMessageHook([this](const QString& text, MessageKind) { messages.push_back(text); });
    form->show();
  }
  ~TimeDialog() override {
    form.reset();
    SetMessageHook(previousHook);
  }

  void ServeAtOnce(const QByteArray& answer) {
    server.OnConnection = [answer](QTcpSocket* connection) { connection->write(answer); };
  }

  // Clicks "Syncronisieren" and waits until the button is usable again.
  bool Synchronise(int timeoutMs = 5000) {
    form->BitBtn1->click();
    EXPECT_FALSE(form->BitBtn1->isEnabled()) << "disabled while the request runs";
    return ProcessUntil([this] { return form->BitBtn1->isEnabled(); }, timeoutMs);
  }

  // A failed request gives the button back silently and shows no time.
  void ExpectSilentFailure(int timeoutMs = 5000) {
    EXPECT_TRUE(Synchronise(timeoutMs)) << "the button must come back";
    EXPECT_THAT(messages, testing::IsEmpty());
    EXPECT_EQ(form->Label4->text(), "");
    EXPECT_FALSE(form->ClientSocket->Active());
  }
};

QStringList TextsOf(QWidget* panel) {
  QStringList texts;
  for (QLabel* label : panel->findChildren<QLabel*>(Qt::FindDirectChildrenOnly)) texts << label->text();
  return texts;
}

TEST(TimeDialogLayout, IsBuiltAsDesignedWithAPublicTimeServer) {
  TForm3 form;
  EXPECT_EQ(form.windowTitle(), "Zeit Syncronisieren (NTP)");
  EXPECT_EQ(form.size(), QSize(275, 166));
  EXPECT_EQ(form.minimumSize(), form.maximumSize()) << "fixed size";
  EXPECT_TRUE(form.windowFlags() & Qt::WindowCloseButtonHint);
  EXPECT_FALSE(form.windowFlags() & Qt::WindowMinimizeButtonHint);
  EXPECT_FALSE(form.windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_EQ(form.font().pointSize(), 8);
  EXPECT_EQ(form.Panel1->frameShadow(), QFrame::Sunken);
  EXPECT_THAT(TextsOf(form.Panel1), testing::ElementsAre("Hier kann die Zeit mit einem Internetserver",
                                                         "abgeglichen werden.", "Host:", ""));
  EXPECT_EQ(form.Edit1->text(), "time.nist.gov");
  EXPECT_EQ(form.BitBtn1->text(), "Syncronisieren");
  EXPECT_FALSE(form.BitBtn1->icon().isNull());
  EXPECT_TRUE(form.BitBtn1->isEnabled());
  EXPECT_FALSE(form.ClientSocket->Active());
  // Everything the panel holds lies inside it, and the button below it.
  for (QWidget* child : form.Panel1->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
    EXPECT_TRUE(form.Panel1->rect().contains(child->geometry())) << child->metaObject()->className();
  EXPECT_TRUE(form.rect().contains(form.BitBtn1->geometry()));
  EXPECT_FALSE(form.BitBtn1->geometry().intersects(form.Panel1->geometry()));
}

TEST_F(TimeDialog, AnswerOneIsOneSecondAfterThe1900Epoch) {
  ServeAtOnce(Bytes({0x00, 0x00, 0x00, 0x01}));
  ASSERT_TRUE(Synchronise());
  EXPECT_EQ(form->Reply.Seconds(), 1u);
  EXPECT_THAT(form->Label4->text().toStdString(),
              testing::StartsWith("Serverzeit: 01.01.1900 00:00:01 (Abweichung -"));
  EXPECT_THAT(messages, testing::IsEmpty());
}

TEST_F(TimeDialog, AllOnesIsTheLargestUnsignedValueNotMinusOne) {
  ServeAtOnce(Bytes({0xFF, 0xFF, 0xFF, 0xFF}));
  ASSERT_TRUE(Synchronise());
  EXPECT_EQ(form->Reply.Seconds(), 4294967295u);
  EXPECT_THAT(form->Label4->text().toStdString(),
              testing::StartsWith("Serverzeit: 07.02.2036 06:28:15 (Abweichung +"));
}

TEST_F(TimeDialog, ShowsTheServersTimeInLocalTimeAndTheComputersDeviation) {
  LocalTimeZone centralEurope(kCentralEurope);
  // A server whose clock runs 1000 s ahead of the computer's.
  server.OnConnection = [](QTcpSocket* connection) {
    const int64_t ahead = QDateTime::currentSecsSinceEpoch() + kSecondsFrom1900To1970 + 1000;
    const auto seconds = static_cast<uint32_t>(ahead);
    connection->write(Bytes({static_cast<uint8_t>(seconds >> 24), static_cast<uint8_t>(seconds >> 16),
                             static_cast<uint8_t>(seconds >> 8), static_cast<uint8_t>(seconds)}));
  };
  ASSERT_TRUE(Synchronise());
  const QDateTime shown = ServerDateTime(form->Reply.Seconds()).toLocalTime();
  const QString text = form->Label4->text();
  EXPECT_TRUE(text.startsWith(QStringLiteral("Serverzeit: ") + shown.toString("dd.MM.yyyy HH:mm:ss") + " ("))
      << text.toStdString();
  EXPECT_EQ(shown.offsetFromUtc(), shown.isDaylightTime() ? 7200 : 3600) << "central European time";
  // Whole seconds passed between the server's answer and the reading of it
  // narrow the deviation; a fault in its sign or unit does not come near.
  const QRegularExpressionMatch deviation =
      QRegularExpression(QStringLiteral("\\(Abweichung \\+(\\d+) s\\)$")).match(text);
  ASSERT_TRUE(deviation.hasMatch()) << text.toStdString();
  EXPECT_GE(deviation.captured(1).toInt(), 990);
  EXPECT_LE(deviation.captured(1).toInt(), 1000);
}

TEST_F(TimeDialog, AnAnswerInTwoPiecesIsReadWhole) {
  // Two bytes now and the other two 300 ms later: the first read finds only
  // half of the answer.
  server.OnConnection = [](QTcpSocket* connection) {
    connection->write(Bytes({0x12, 0x34}));
    QTimer::singleShot(300, connection, [connection] { connection->write(Bytes({0x56, 0x78})); });
  };
  ASSERT_TRUE(Synchronise());
  EXPECT_EQ(form->Reply.Seconds(), 0x12345678u);
  EXPECT_THAT(messages, testing::IsEmpty());
}

TEST_F(TimeDialog, AServerSendingMoreGivesTheFirstFourBytesAndIsCutOffAtOnce) {
  // The server keeps its end open: only the client can end the connection.
  ServeAtOnce(Bytes({0x00, 0x00, 0x00, 0x07, 0xAA, 0xBB}));
  ASSERT_TRUE(Synchronise());
  EXPECT_EQ(form->Reply.Seconds(), 7u);
  EXPECT_FALSE(form->ClientSocket->Active()) << "closed before the button came back";
  EXPECT_TRUE(ProcessUntil([this] { return server.ClientHasClosed(); }, 5000));
}

TEST_F(TimeDialog, EveryRequestAsksPort37OfTheHostTextAtTheClickUnchanged) {
  server.OnConnection = [this](QTcpSocket* connection) {
    // The user edits the field while the request runs.
    form->Edit1->setText(QStringLiteral("zeitserver.invalid"));
    connection->write(Bytes({0x00, 0x00, 0x01, 0x00}));
  };
  ASSERT_TRUE(Synchronise());
  EXPECT_EQ(askedPort, 37);
  EXPECT_EQ(form->ClientSocket->Port, 37);
  EXPECT_EQ(form->ClientSocket->Host, "127.0.0.1");
  EXPECT_EQ(form->Reply.Seconds(), 256u);

  // Neither trimmed nor checked: a blank stays part of the name.
  form->Edit1->setText(QStringLiteral(" 127.0.0.1 "));
  EXPECT_TRUE(Synchronise());
  EXPECT_EQ(form->ClientSocket->Host, " 127.0.0.1 ");
  EXPECT_EQ(askedPort, 37);
}

TEST_F(TimeDialog, ARefusedConnectionEndsSilentlyAndTheNextRequestWorks) {
  connectPort = ClosedLoopbackPort();
  ExpectSilentFailure();

  connectPort = 0;
  ServeAtOnce(Bytes({0x00, 0x00, 0x00, 0x02}));
  ASSERT_TRUE(Synchronise());
  EXPECT_EQ(form->Reply.Seconds(), 2u);
}

TEST_F(TimeDialog, AnEmptyHostEndsSilently) {
  form->Edit1->clear();
  ExpectSilentFailure();
  EXPECT_EQ(server.Connections(), 0u);
}

TEST_F(TimeDialog, AnUnknownHostNameEndsSilently) {
  // .invalid is reserved never to resolve. The time-out is put out of reach, so
  // that only the failed look-up itself can end the request; a name server that
  // cannot be reached gives up well within the wait.
  form->ClientSocket->Timeout = 1h;
  form->Edit1->setText(QStringLiteral("zeitserver.invalid"));
  ExpectSilentFailure(30000);
  EXPECT_EQ(server.Connections(), 0u);
}

TEST_F(TimeDialog, AServerThatSendsNothingEndsSilentlyByTheTimeOut) {
  form->ClientSocket->Timeout = 300ms;
  ExpectSilentFailure();
  EXPECT_EQ(server.Connections(), 1u);
  EXPECT_TRUE(ProcessUntil([this] { return server.ClientHasClosed(); }, 5000)) << "the client gave up";
}

TEST_F(TimeDialog, AServerThatClosesAfterTwoBytesEndsSilently) {
  server.OnConnection = [](QTcpSocket* connection) {
    connection->write(Bytes({0x12, 0x34}));
    connection->disconnectFromHost();
  };
  // Well within the 10 s time-out: the close itself ends the request.
  ExpectSilentFailure(5000);
  EXPECT_EQ(server.Connections(), 1u);
}

TEST_F(TimeDialog, ARequestStartedBeforeTheDialogIsClosedStillGivesTheButtonBack) {
  // The server holds its answer until the dialog is closed.
  form->BitBtn1->click();
  ASSERT_TRUE(ProcessUntil([this] { return server.Connections() == 1; }, 5000));
  form->close();
  ASSERT_FALSE(form->isVisible());
  EXPECT_FALSE(form->BitBtn1->isEnabled());
  server.Latest()->write(Bytes({0x00, 0x00, 0x00, 0x03}));
  EXPECT_TRUE(ProcessUntil([this] { return form->BitBtn1->isEnabled(); }, 5000));
  EXPECT_FALSE(form->isVisible());
  EXPECT_EQ(form->Reply.Seconds(), 3u);
  EXPECT_THAT(form->Label4->text().toStdString(), testing::StartsWith("Serverzeit: 01.01.1900 00:00:03 "));
}

TEST_F(TimeDialog, ANewRequestForgetsTheTimeOfTheLastOne) {
  ServeAtOnce(Bytes({0x00, 0x00, 0x00, 0x01}));
  ASSERT_TRUE(Synchronise());
  ASSERT_NE(form->Label4->text(), "");
  connectPort = ClosedLoopbackPort();
  ExpectSilentFailure();
}

}  // namespace
