// A list kept in ascending order, ignoring case, whatever order its entries come
// in: the ban, access and destination lists.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace kelvox {

class TSortedList {
 public:
  TSortedList() = default;
  /// Adds every entry at its place.
  explicit TSortedList(const std::vector<std::string>& entries) { Assign(entries); }

  /// Inserts the entry at its place, after the entries that equal it but for
  /// case; returns its index. Duplicates are kept.
  std::size_t Add(std::string entry);
  /// Replaces the content with the entries, sorted.
  void Assign(const std::vector<std::string>& entries);
  /// Removes the entry at the index; an index past the end removes nothing.
  void Remove(std::size_t index);
  void Clear() { entries_.clear(); }

  const std::vector<std::string>& Entries() const { return entries_; }
  std::size_t Size() const { return entries_.size(); }
  bool Empty() const { return entries_.empty(); }
  const std::string& operator[](std::size_t index) const { return entries_[index]; }
  auto begin() const { return entries_.begin(); }
  auto end() const { return entries_.end(); }

 private:
  std::vector<std::string> entries_;
};

}  // namespace kelvox
