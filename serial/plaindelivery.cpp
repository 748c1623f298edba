#include "serial/plaindelivery.h"

#include <chrono>

PlainDelivery::PlainDelivery() : owner_(std::this_thread::get_id()) {}

void PlainDelivery::Run(const std::function<void()>& call) {
  if (std::this_thread::get_id() == owner_) {
    call();
    return;
  }
  std::unique_lock lock(mutex_);
  pending_ = &call;
  const uint64_t ticket = ++posted_;
  changed_.notify_all();
  lock.unlock();
  CallPosted();
  lock.lock();
  changed_.wait(lock, [&] { return served_ >= ticket; });
}

void PlainDelivery::Serve() {
  std::unique_lock lock(mutex_);
  if (!pending_) return;
  // Taken before it runs: the handler may nest a loop that serves again.
  const std::function<void()>* call = pending_;
  pending_ = nullptr;
  const uint64_t ticket = posted_;
  lock.unlock();
  (*call)();
  lock.lock();
  served_ = ticket;
  changed_.notify_all();
}

void PlainDelivery::WaitForCall(int ms) {
  std::unique_lock lock(mutex_);
  if (pending_) return;
  changed_.wait_for(lock, std::chrono::milliseconds(ms));
}

void PlainDelivery::Wake() {
  std::lock_guard lock(mutex_);
  changed_.notify_all();
}
