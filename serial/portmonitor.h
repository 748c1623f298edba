#pragma once
// Tells when serial ports come and go: a udev monitor for the tty subsystem,
// read from Qt's event loop on the thread that made it. It receives udev's
// events, sent once udev has applied its rules, so a port that has just come
// already has its by-id link and names. Nothing is opened here.

#include <QSocketNotifier>
#include <functional>
#include <memory>

#include "serial/udevhandles.h"

class PortMonitor {
 public:
  // `changed` runs from the event loop once per batch of events (an adapter
  // with two ports brings two at once). Without udev (no netlink socket in a
  // container) nothing ever runs: the list is still made afresh when the
  // dialog opens.
  explicit PortMonitor(std::function<void()> changed);
  ~PortMonitor();
  PortMonitor(const PortMonitor&) = delete;
  PortMonitor& operator=(const PortMonitor&) = delete;

  bool Watching() const { return notifier_ != nullptr; }

 private:
  void OnEvents();

  const std::function<void()> changed_;
  UdevPtr context_;
  UdevMonitorPtr monitor_;
  std::unique_ptr<QSocketNotifier> notifier_;
};
