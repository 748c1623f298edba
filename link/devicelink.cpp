#include "link/devicelink.h"

#include <QCoreApplication>
#include <chrono>
#include <thread>

#include "link/clocklink.h"

namespace DeviceLink {

int32_t AnswerState = 0;
std::string AnswerText;
int32_t AnswerTicks = 0;
QString ConnectionText = kNotConnected;
bool WaitsAbandoned = false;

namespace {
uint32_t TickNow() {
  using namespace std::chrono;
  return static_cast<uint32_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}
}  // namespace

ClockLink& Default() {
  static ClockLink link(ClockLink::AnswerSlots{&AnswerState, &AnswerText, &AnswerTicks, &ConnectionText});
  return link;
}

void Attach(TSerialPort* port) { Default().Attach(port); }
void FinishSending(uint32_t maxMs) { Default().FinishSending(maxMs); }
TSerialPort* Port() { return Default().Port(); }
size_t CommandsWaiting() { return Default().CommandsWaiting(); }
void OpenDevicePort(const QString& portName) { Default().OpenDevicePort(portName); }
void CloseDevicePort() { Default().CloseDevicePort(); }
void PortGone() { Default().PortGone(); }
bool AwaitingReturn() { return Default().AwaitingReturn(); }
void OpenFailed(uint32_t code) { Default().OpenFailed(code); }
void AcceptAnswer(const std::string& text) { Default().AcceptAnswer(text); }

void PumpWait(uint32_t ms) {
  const uint32_t start = TickNow();
  while (TickNow() - start < ms) {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
}

void Tick() { Default().Tick(); }
bool OwesAnswers() { return Default().OwesAnswers(); }
void AwaitOwedAnswers(uint32_t maxMs, bool processingToo) { Default().AwaitOwedAnswers(maxMs, processingToo); }
void AbandonWaits() { WaitsAbandoned = true; }
void ReleaseWait() { Default().ReleaseWait(); }

void EnterServiceMode(const StillWanted& wanted) { Default().Send("*", wanted); }
void LeaveServiceMode() { Default().Send("{"); }
int32_t ReadLightLevel() { return Default().QueryNumber('A'); }
int32_t ReadAudioLevel() { return Default().QueryNumber('B'); }
void StoreDimThreshold() { Default().Send("C"); }
void StartRtcTest() { Default().Send("D"); }
void StopRtcTest() { Default().Send("E"); }
void PlaySegment(uint8_t segment) {
  Default().Send(std::string{'F', static_cast<char>(static_cast<uint8_t>(segment + 1))});
}
void BeginCopySession(const StillWanted& wanted) { Default().Send("G", wanted); }
void StartProcessing(const StillWanted& wanted) { Default().Send("H", wanted); }
int32_t StartRecording() { return Default().QueryVerdict('I', ClockLink::kShortTimeoutTicks); }
int32_t StopRecording() { return Default().QueryVerdict('J', ClockLink::kShortTimeoutTicks); }
int32_t AwaitProcessingResult() { return Default().QueryVerdict('K', ClockLink::kProcessingTimeoutTicks); }

}  // namespace DeviceLink
