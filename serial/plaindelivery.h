#pragma once
// A delivery that the owning thread serves itself: the worker leaves its call in
// a one-place queue and waits; the thread that constructed the delivery runs it
// when it calls Serve() (or WaitForCall() tells it one has come). Without an
// event loop, whoever owns the component serves it while it waits for anything
// the worker raises.

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "serial/delivery.h"

class PlainDelivery : public Delivery {
 public:
  PlainDelivery();  // on the owning thread

  void Run(const std::function<void()>& call) override;
  void Serve() override;
  void WaitForCall(int ms) override;
  void Wake() override;

 protected:
  // Told on the worker's thread, once a call waits: a delivery with an event loop
  // has the owning thread's loop run Serve().
  virtual void CallPosted() {}

 private:
  const std::thread::id owner_;
  std::mutex mutex_;
  std::condition_variable changed_;
  const std::function<void()>* pending_ = nullptr;
  uint64_t served_ = 0;
  uint64_t posted_ = 0;
};
