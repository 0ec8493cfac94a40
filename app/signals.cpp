#include "app/signals.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace kelvox {

TSignals::TSignals(TEventLoop& loop, std::function<void(int signo)> on_signal) : loop_(loop) {
  sigset_t signals;
  sigemptyset(&signals);
  for (const int signo : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&signals, signo);
  sigset_t before;
  sigprocmask(SIG_BLOCK, &signals, &before);
  fd_ = signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC);
  if (fd_ >= 0 && loop_.Watch(fd_, EPOLLIN, [this, &loop, on_signal](uint32_t) {
        signalfd_siginfo info{};
        while (read(fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
          loop.Post([on_signal, signo = static_cast<int>(info.ssi_signo)] { on_signal(signo); });
        }
      }) == 0) {
    return;
  }
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  sigprocmask(SIG_SETMASK, &before, nullptr);
}

TSignals::~TSignals() {
  if (fd_ < 0) return;
  loop_.Unwatch(fd_);
  close(fd_);
}

}  // namespace kelvox
