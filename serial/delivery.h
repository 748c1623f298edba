#pragma once
// How the serial worker hands a call to the thread that owns the component (the
// user-interface thread) and waits until it has run. The component and its worker
// know only this; the program delivers through Qt's event loop (uidelivery.h), a
// build without Qt through a plain queue that the owning thread serves itself
// (plaindelivery.h).

#include <functional>
#include <memory>

class Delivery {
 public:
  virtual ~Delivery() = default;

  // Worker side: runs `call` on the owning thread and returns when it has run,
  // however long that takes. A call made on the owning thread runs at once.
  virtual void Run(const std::function<void()>& call) = 0;

  // Owning side: runs the call the worker waits on, if any.
  virtual void Serve() = 0;

  // Owning side: waits up to `ms` for a call to arrive (or Wake) without running it.
  virtual void WaitForCall(int ms) = 0;
  virtual void Wake() = 0;
};

// The program's delivery, through the Qt event loop of the calling thread
// (uidelivery.cpp); only a build with Qt has it.
std::unique_ptr<Delivery> MakeUiDelivery();
