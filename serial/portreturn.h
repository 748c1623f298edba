#pragma once
// Waits for a device that has gone (a pulled adapter) to come back under the
// same path: /dev/ttyACM0, a /dev/serial/by-id/ link, a link in the virtual-port
// folder. inotify watches the folder that holds the path, or, while that folder
// is missing itself (udev removes an empty by-id folder), the nearest one above
// it. Qt's event loop carries the notifications, on the thread that made the
// watch; nothing is opened here.

#include <QElapsedTimer>
#include <QSocketNotifier>
#include <QTimer>
#include <chrono>
#include <functional>
#include <memory>
#include <string>

class PortReturnWatch {
 public:
  // `back` runs from the event loop once the path leads to a file again after
  // it has been seen missing (a node that lingers for a moment after the
  // device went is not taken for its return). The watch goes on until it is
  // destroyed: a device that is back but cannot be opened yet (udev sets its
  // permissions a moment later) calls `back` again at its next change.
  PortReturnWatch(std::string path, std::function<void()> back);
  ~PortReturnWatch();
  PortReturnWatch(const PortReturnWatch&) = delete;
  PortReturnWatch& operator=(const PortReturnWatch&) = delete;

  // The device is back but another program holds it for a moment (on a
  // desktop, ModemManager probes every new modem port), and letting go of it
  // changes nothing on the path. So `back` runs again every `every` while the
  // path exists, until `atMost` after the first such call; a call while the
  // tries go on changes nothing. They end with the watch.
  void RetryWhileBusy(std::chrono::milliseconds every, std::chrono::milliseconds atMost);

 private:
  void Arm();
  void OnEvents();
  void Check();
  void Retry();

  const std::string path_;
  const std::function<void()> back_;
  int fd_ = -1;
  int watch_ = -1;
  std::string watched_;  // the folder watched now
  bool seenMissing_ = false;
  std::unique_ptr<QSocketNotifier> notifier_;
  QTimer retry_;
  QElapsedTimer retrying_;
  std::chrono::milliseconds retryFor_{0};
};
