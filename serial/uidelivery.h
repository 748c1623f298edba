#pragma once
// Carries a call from the serial worker onto the user-interface thread and
// waits until it has run. The user-interface thread runs pending calls from its
// Qt event loop (a queued invocation) or, while it waits for the worker to end,
// directly through Serve().

#include <QObject>
#include <condition_variable>
#include <functional>
#include <mutex>

// The user-interface thread's end of a delivery. A queued call by name leaves
// Qt to allocate and free the call record itself.
class DeliveryContext : public QObject {
  Q_OBJECT
 public:
  std::function<void()> serve;
  Q_INVOKABLE void Serve() { serve(); }
};

class UiDelivery {
 public:
  UiDelivery();  // must be constructed on the user-interface thread
  ~UiDelivery();

  // Worker side: runs `call` on the user-interface thread and returns when it has
  // run, however long that takes. There is no shut-down that lets it return
  // earlier: the component's destruction keeps serving (Serve) until the worker
  // has ended, so no call is ever left waiting.
  void Run(const std::function<void()>& call);

  // User-interface side: runs the call the worker waits on, if any.
  void Serve();

  // User-interface side: waits up to `ms` for a call to arrive (or `wake` to be
  // notified) without running it.
  void WaitForCall(int ms);
  void Wake();

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  const std::function<void()>* pending_ = nullptr;
  uint64_t served_ = 0;
  uint64_t posted_ = 0;
  DeliveryContext context_;  // lives on the user-interface thread; queued calls die with it
};
