#pragma once
// The program's delivery: the worker's call waits in the plain queue, and the
// user-interface thread runs it from its Qt event loop (a queued invocation), or,
// while it waits for the worker to end, directly through Serve().

#include <QObject>
#include <functional>

#include "serial/plaindelivery.h"

// The user-interface thread's end of a delivery. A queued call by name leaves
// Qt to allocate and free the call record itself.
class DeliveryContext : public QObject {
  Q_OBJECT
 public:
  std::function<void()> serve;
  Q_INVOKABLE void Serve() { serve(); }
};

class UiDelivery : public PlainDelivery {
 public:
  UiDelivery();  // must be constructed on the user-interface thread

 protected:
  // The event loop may be nested in a wait (PumpWait) or idle in exec(); both serve it.
  void CallPosted() override;

 private:
  DeliveryContext context_;  // lives on the user-interface thread; queued calls die with it
};
