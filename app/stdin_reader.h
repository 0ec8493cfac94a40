// Standard input as lines, each handed over as its own task of the event loop,
// so that a question asked while one line is handled is answered by the next.
#pragma once

#include <functional>
#include <string>

#include "net/event_loop.h"

namespace kelvox {

class TStdinReader {
 public:
  TStdinReader(TEventLoop& loop, int fd) : loop_(loop), fd_(fd) {}
  ~TStdinReader();
  TStdinReader(const TStdinReader&) = delete;
  TStdinReader& operator=(const TStdinReader&) = delete;

  std::function<void(const std::string& line)> OnLine;
  /// The input has ended; the program goes on serving.
  std::function<void()> OnEnd;

  /// Watches the descriptor. One that cannot be watched (a regular file, or
  /// /dev/null) is read to its end at once.
  void Start();

 private:
  /// One read; false at the end of the input.
  bool ReadSome();
  void Finish();

  TEventLoop& loop_;
  int fd_;
  bool watched_ = false;
  std::string partial_;
};

}  // namespace kelvox
