// The lines the IRC server sent while no client was attached to a lingering
// session: held in order with the time each arrived, up to a bound on their count,
// the oldest dropped first. Pure: nothing here sends or reads a clock.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>

#include "engine/irc_line.h"

namespace kelvox {

/// One line the server sent, as held.
struct THeldLine {
  std::uint64_t Sequence = 0;                      // 1 for the ring's first line, one more for each next
  std::chrono::system_clock::time_point Arrived;   // when the bouncer read it
  std::string Text;                                // without CR LF, tags and prefix as the server sent them
};

class TLingerRing {
 public:
  /// The longest line held whole: the reader never passes a longer one, so a line
  /// past it can only be a caller's fault, and it is cut to this many bytes
  /// rather than held at any size.
  static constexpr std::size_t kMaxHeldLine = kMaxLineLength;

  using TLines = std::deque<THeldLine>;
  /// Held lines from one to the newest, oldest first. A plain pair of
  /// iterators: the fuzz build's clang cannot use this library's ranges.
  struct TRange {
    TLines::const_iterator First;
    TLines::const_iterator Last;
    TLines::const_iterator begin() const { return First; }
    TLines::const_iterator end() const { return Last; }
    bool empty() const { return First == Last; }
  };

  /// `capacity` is `Linger lines`: the most lines held at once; 0 holds none.
  explicit TLingerRing(std::size_t capacity);

  /// Holds the line (cut to kMaxHeldLine), dropping the oldest when full; answers
  /// its sequence, which no other line of this ring ever had or will have.
  std::uint64_t Hold(std::string_view line, std::chrono::system_clock::time_point arrived);

  /// A new bound; the oldest lines past it are dropped at once.
  void SetCapacity(std::size_t capacity);
  std::size_t Capacity() const { return capacity_; }

  /// The lines held, oldest first.
  const TLines& Lines() const { return lines_; }
  /// The lines held after `seen`: a client that saw up to that sequence (0 for
  /// none) gets only the later ones, oldest first.
  TRange Since(std::uint64_t seen) const;
  /// How many lines after `seen` are no longer held (dropped by the bound, or let
  /// go by Clear): what that client missed.
  std::uint64_t MissedSince(std::uint64_t seen) const;
  /// The sequence of the newest line ever held, 0 before the first; a client that
  /// has been given every held line has seen up to it.
  std::uint64_t LastSequence() const { return next_ - 1; }

  /// How many lines were dropped, by the bound, since the ring began.
  std::uint64_t Dropped() const { return dropped_; }
  /// The bytes of the lines' texts held now: what the bound on lines caps at
  /// `Linger lines` times kMaxHeldLine, besides each line's fixed record.
  std::size_t Bytes() const { return bytes_; }

  /// Lets go of every line, their memory returned; the sequences go on from where
  /// they were, so no client takes a later line for one it saw.
  void Clear();

 private:
  void DropOldest();
  /// The sequence of the oldest line held, or of the next one when none is.
  std::uint64_t FirstHeld() const;

  std::size_t capacity_;
  TLines lines_;
  std::uint64_t next_ = 1;
  std::uint64_t dropped_ = 0;
  std::size_t bytes_ = 0;
};

}  // namespace kelvox
