// The serial component and its worker over each backend and a real port with the
// simulator at its far end, delivering through a plain queue that the test's own
// thread serves, as a program without Qt would (backendcontract.h).
#include <gmock/gmock.h>

#include <vector>

#include "serial/plaindelivery.h"
#include "serial/serialport.h"
#include "tests/serial/backendcontract.h"

namespace {

struct Report {
  uint32_t place, code;
};

struct ComponentUnderTest {
  PlainDelivery* delivery = nullptr;  // owned by the component
  std::vector<Report> reports;
  std::unique_ptr<TSerialPort> port;

  explicit ComponentUnderTest(const BackendUnderTest& b) {
    auto plain = std::make_unique<PlainDelivery>();
    delivery = plain.get();
    port = std::make_unique<TSerialPort>(
        b.make(), [this](TSerialPort*, uint32_t place, uint32_t code, const std::string&, uint8_t) {
          reports.push_back({place, code});
        },
        std::move(plain));
    port->SetBaudRate(38400);
  }

  // Serves the worker's deliveries until the condition holds.
  bool ServeUntil(const std::function<bool()>& condition) {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(kFaultMs);
    while (!condition()) {
      if (std::chrono::steady_clock::now() > giveUp) return false;
      delivery->Serve();
      delivery->WaitForCall(5);
    }
    return true;
  }

  bool Reported(uint32_t place) const {
    for (const Report& r : reports)
      if (r.place == place) return true;
    return false;
  }
};

TEST_P(ComponentOnPort, AQueryIsAnsweredAsOneClusterOnTheServingThread) {
  ComponentUnderTest c(GetParam());
  std::vector<std::string> clusters;
  const std::thread::id self = std::this_thread::get_id();
  bool onOtherThread = false;
  c.port->OnRxClusterEvent = [&](TSerialPort* sender) {
    onOtherThread |= std::this_thread::get_id() != self;
    clusters.push_back(sender->ReadClusterText());
  };
  c.port->SetCommPort(GetParam().port());
  c.port->SetActive(true);
  ASSERT_TRUE(c.port->Active());
  ASSERT_TRUE(c.ServeUntil([&] { return c.port->WorkerBusy(); }));
  c.port->SendText("l");
  ASSERT_TRUE(c.ServeUntil([&] { return !clusters.empty(); }));
  EXPECT_THAT(clusters, testing::ElementsAre("0123456789"));
  EXPECT_FALSE(onOtherThread);
}

TEST_P(ComponentOnPort, ClosingEndsTheWorkersWaitAtOnceWithoutAWarning) {
  ComponentUnderTest c(GetParam());
  c.port->SetCommPort(GetParam().port());
  c.port->SetActive(true);
  ASSERT_TRUE(c.ServeUntil([&] { return c.port->WorkerBusy(); }));
  c.port->SetActive(false);
  EXPECT_FALSE(c.port->WorkerBusy());
  EXPECT_FALSE(c.Reported(104)) << "the worker was still busy when the close gave up waiting";
  EXPECT_FALSE(c.port->DTRState());
  EXPECT_EQ(c.port->ComHandle(), PortBackend::kNoPort);
  for (const Report& r : c.reports) EXPECT_LT(r.place, 1000u) << "a report of the worker, code " << r.code;
  c.port->SetActive(true);
  EXPECT_TRUE(c.port->Active()) << "the port opens again";
}

TEST_P(ComponentOnPort, AMissingPortStaysClosedWithThePlatformsCode) {
  const BackendUnderTest& b = GetParam();
  ComponentUnderTest c(b);
  c.port->SetCommPort(b.missingPort);
  c.port->SetActive(true);
  EXPECT_FALSE(c.port->Active());
  ASSERT_FALSE(c.reports.empty());
  EXPECT_EQ(c.reports.back().place, 112u);
  EXPECT_EQ(c.reports.back().code, b.missingCode);
}

TEST_P(ComponentOnPort, APortHeldByAnotherStaysClosedWithThePlatformsCode) {
  const BackendUnderTest& b = GetParam();
  ComponentUnderTest holder(b), c(b);
  holder.port->SetCommPort(b.port());
  holder.port->SetActive(true);
  ASSERT_TRUE(holder.port->Active());
  c.port->SetCommPort(b.port());
  c.port->SetActive(true);
  EXPECT_FALSE(c.port->Active());
  EXPECT_EQ(c.reports.back().place, 112u);
  EXPECT_EQ(c.reports.back().code, b.busyCode);
}

}  // namespace
