// The engine's event loop inside Qt's, on the one thread. Qt watches the loop's
// epoll descriptor (readable while a socket is ready or a worker thread has
// handed a task over) and, each time it is about to sleep, arms a timer for the
// loop's next work (queued tasks or output written outside a task: at once; a
// timer: when it is due). Either one runs one turn, RunOnce(0), which never
// waits. So sockets, timers and widgets take turns and never run at once.
#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include "net/event_loop.h"

namespace kelvox {

class TQtLoopBridge : public QObject {
 public:
  /// Needs the QApplication made.
  explicit TQtLoopBridge(TEventLoop& loop);
  ~TQtLoopBridge() override;
  TQtLoopBridge(const TQtLoopBridge&) = delete;
  TQtLoopBridge& operator=(const TQtLoopBridge&) = delete;

 private:
  void Turn();
  void ArmTimer();

  TEventLoop& loop_;
  QSocketNotifier notifier_;
  QTimer timer_;
  QMetaObject::Connection about_to_block_;
};

}  // namespace kelvox
