// The held lines of a lingering session: a bounded ring in arrival order.
#include "engine/linger_ring.h"

#include <algorithm>
#include <utility>

namespace kelvox {

TLingerRing::TLingerRing(std::size_t capacity) : capacity_(capacity) {}

std::uint64_t TLingerRing::Hold(std::string_view line, std::chrono::system_clock::time_point arrived) {
  const std::uint64_t sequence = next_++;
  if (capacity_ == 0) {
    ++dropped_;
    return sequence;
  }
  if (lines_.size() == capacity_) DropOldest();
  lines_.push_back({sequence, arrived, std::string(line.substr(0, kMaxHeldLine))});
  bytes_ += lines_.back().Text.size();
  return sequence;
}

void TLingerRing::SetCapacity(std::size_t capacity) {
  capacity_ = capacity;
  while (lines_.size() > capacity_) DropOldest();
  if (lines_.empty()) Clear();  // a bound of 0 gives the memory back too
}

// The held sequences run without a gap up to the newest, so the first one wanted
// is found by its distance from the oldest.
std::uint64_t TLingerRing::FirstHeld() const { return lines_.empty() ? next_ : lines_.front().Sequence; }

TLingerRing::TRange TLingerRing::Since(std::uint64_t seen) const {
  const std::uint64_t first = FirstHeld();
  const std::uint64_t skip = std::min<std::uint64_t>(seen < first ? 0 : seen - first + 1, lines_.size());
  return {lines_.begin() + static_cast<TLines::difference_type>(skip), lines_.end()};
}

std::uint64_t TLingerRing::MissedSince(std::uint64_t seen) const {
  const std::uint64_t first = FirstHeld();
  return first > seen + 1 ? first - seen - 1 : 0;
}

void TLingerRing::Clear() {
  TLines().swap(lines_);  // clear() alone may keep the deque's blocks
  bytes_ = 0;
}

void TLingerRing::DropOldest() {
  bytes_ -= lines_.front().Text.size();
  lines_.pop_front();
  ++dropped_;
}

}  // namespace kelvox
