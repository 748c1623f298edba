#include "serial/uidelivery.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

UiDelivery::UiDelivery() { context_.serve = [this] { Serve(); }; }

UiDelivery::~UiDelivery() = default;

void UiDelivery::Run(const std::function<void()>& call) {
  if (QThread::currentThread() == context_.thread()) {
    call();
    return;
  }
  std::unique_lock lock(mutex_);
  pending_ = &call;
  const uint64_t ticket = ++posted_;
  changed_.notify_all();
  lock.unlock();
  // The event loop may be nested in a wait (PumpWait) or idle in exec(); both serve it.
  QMetaObject::invokeMethod(&context_, "Serve", Qt::QueuedConnection);
  lock.lock();
  changed_.wait(lock, [&] { return served_ >= ticket; });
}

void UiDelivery::Serve() {
  std::unique_lock lock(mutex_);
  if (!pending_) return;
  // Taken before it runs: the handler may nest an event loop that serves again.
  const std::function<void()>* call = pending_;
  pending_ = nullptr;
  const uint64_t ticket = posted_;
  lock.unlock();
  (*call)();
  lock.lock();
  served_ = ticket;
  changed_.notify_all();
}

void UiDelivery::WaitForCall(int ms) {
  std::unique_lock lock(mutex_);
  if (pending_) return;
  changed_.wait_for(lock, std::chrono::milliseconds(ms));
}

void UiDelivery::Wake() {
  std::lock_guard lock(mutex_);
  changed_.notify_all();
}
