#include "desktop/loop_bridge.h"

#include <QAbstractEventDispatcher>

namespace kelvox {

TQtLoopBridge::TQtLoopBridge(TEventLoop& loop)
    : loop_(loop), notifier_(static_cast<qintptr>(loop.PollHandle()), QSocketNotifier::Read) {
  timer_.setSingleShot(true);
  timer_.setTimerType(Qt::PreciseTimer);
  connect(&notifier_, &QSocketNotifier::activated, this, [this] { Turn(); });
  connect(&timer_, &QTimer::timeout, this, [this] { Turn(); });
  // Whatever ran since (a turn, a button that started the listener, a widget
  // that posted a task) is seen here, before Qt sleeps.
  about_to_block_ = connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock, this,
                            [this] { ArmTimer(); });
  ArmTimer();
}

TQtLoopBridge::~TQtLoopBridge() { disconnect(about_to_block_); }

void TQtLoopBridge::Turn() {
  loop_.RunOnce(std::chrono::milliseconds(0));
  ArmTimer();
}

void TQtLoopBridge::ArmTimer() {
  const int wait = loop_.IdleWaitMs();
  if (wait < 0) {
    timer_.stop();
  } else if (!timer_.isActive() || timer_.remainingTime() != wait) {
    timer_.start(wait);
  }
}

}  // namespace kelvox
