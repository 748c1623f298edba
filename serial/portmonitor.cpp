#include "serial/portmonitor.h"

#include <utility>

PortMonitor::PortMonitor(std::function<void()> changed) : changed_(std::move(changed)) {
  context_.reset(udev_new());
  if (!context_) return;
  monitor_.reset(udev_monitor_new_from_netlink(context_.get(), "udev"));
  if (!monitor_ || udev_monitor_filter_add_match_subsystem_devtype(monitor_.get(), "tty", nullptr) < 0 ||
      udev_monitor_enable_receiving(monitor_.get()) < 0) {
    monitor_.reset();
    return;
  }
  notifier_ = std::make_unique<QSocketNotifier>(udev_monitor_get_fd(monitor_.get()), QSocketNotifier::Read);
  QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { OnEvents(); });
}

PortMonitor::~PortMonitor() { notifier_.reset(); }

void PortMonitor::OnEvents() {
  // The socket is non-blocking: take every event that has arrived, then look
  // once. What each event says is not needed; the list is made again with
  // every rule applied, which a single event could not tell (a removed tty
  // has no attributes left to judge it by).
  bool any = false;
  while (UdevDevicePtr device{udev_monitor_receive_device(monitor_.get())}) any = true;
  if (any) changed_();
}
