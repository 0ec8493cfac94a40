// What the bouncer has done and holds now, as figures: the counters the engine
// keeps, the users and links of the moment, and the process's uptime, memory
// and descriptors. One list feeds both the console's `stats` lines and the
// metrics a Prometheus scraper reads, so the two never disagree.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "net/event_loop.h"

namespace kelvox {

class TBouncer;
class TSettings;

/// One figure in both forms.
struct TFigure {
  const char* Label;   // the console's words: "stats: <Label> <Value>"
  const char* Metric;  // the metric's name; figures of one name stand together
  const char* Reason;  // the value of the metric's `reason` label; nullptr for none
  const char* Help;    // the metric's HELP text, the same for every figure of a name
  bool Counter;        // a count since the start (TYPE counter), else a gauge
  uint64_t Value;
  bool InStats = true;  // printed by `stats` (lingering sessions only where they matter)
};

class TFigures {
 public:
  /// The uptime counts from here.
  TFigures(TBouncer& bouncer, const TSettings& settings);

  /// Every figure as it stands now, in the order `stats` prints them.
  std::vector<TFigure> Take() const;

 private:
  TBouncer& bouncer_;
  const TSettings& settings_;
  const TEventLoop::Clock::time_point started_;
};

/// The process's resident memory in bytes, from /proc/self/statm; 0 where it
/// cannot be read.
uint64_t ResidentBytes();
/// The descriptors the process holds open, from /proc/self/fd; 0 where it
/// cannot be read.
uint64_t OpenDescriptors();

/// The `stats` lines: "stats: users 3", "stats: refused ban 0", ...
std::vector<std::string> StatsLines(const std::vector<TFigure>& figures);

/// The metrics in the Prometheus text format (version 0.0.4): for each name a
/// HELP and a TYPE line, then its samples, `name{reason="..."} value`.
std::string Exposition(const std::vector<TFigure>& figures);

}  // namespace kelvox
