#include "app/stdin_reader.h"

#include <unistd.h>

#include <optional>

#include "base/typed_lines.h"

namespace kelvox {

TStdinReader::~TStdinReader() {
  if (watched_) loop_.Unwatch(fd_);
}

void TStdinReader::Start() {
  // Level-triggered: one read per readiness never blocks, and the descriptor,
  // which the shell shares, stays blocking.
  if (loop_.Watch(fd_, EPOLLIN, [this](uint32_t) {
        if (!ReadSome()) Finish();
      }) == 0) {
    watched_ = true;
    return;
  }
  while (ReadSome()) {
  }
  Finish();
}

bool TStdinReader::ReadSome() {
  char buf[4096];
  const ssize_t got = read(fd_, buf, sizeof buf);
  if (got <= 0) return false;
  partial_.append(buf, static_cast<std::size_t>(got));
  while (std::optional<std::string> line = TakeLine(partial_)) {
    loop_.Post([this, line = std::move(*line)] {
      if (OnLine) OnLine(line);
    });
  }
  return true;
}

void TStdinReader::Finish() {
  if (watched_) loop_.Unwatch(fd_);
  watched_ = false;
  if (!partial_.empty()) {
    loop_.Post([this, line = partial_] {
      if (OnLine) OnLine(line);
    });
    partial_.clear();
  }
  loop_.Post([this] {
    if (OnEnd) OnEnd();
  });
}

}  // namespace kelvox
