// The program's signals as events of the loop: SIGINT, SIGTERM and SIGHUP are
// blocked and read from a signalfd on the event thread, one task per signal.
#pragma once

#include <functional>

#include "net/event_loop.h"

namespace kelvox {

class TSignals {
 public:
  /// `on_signal` runs as a task with the signal's number. When the signals
  /// cannot be watched they are left as they were, so that SIGINT and SIGTERM
  /// still end the program.
  TSignals(TEventLoop& loop, std::function<void(int signo)> on_signal);
  /// Stops watching. The signals stay blocked: the program is ending, and a
  /// late one must not kill it halfway through.
  ~TSignals();
  TSignals(const TSignals&) = delete;
  TSignals& operator=(const TSignals&) = delete;

  bool Watching() const { return fd_ >= 0; }

 private:
  TEventLoop& loop_;
  int fd_ = -1;
};

}  // namespace kelvox
