#include "config/sorted_list.h"

#include <algorithm>

#include "base/text_case.h"

namespace kelvox {

std::size_t TSortedList::Add(std::string entry) {
  const auto at = std::upper_bound(entries_.begin(), entries_.end(), entry,
                                   [](const std::string& a, const std::string& b) {
                                     return CompareIgnoringCase(a, b) < 0;
                                   });
  return static_cast<std::size_t>(entries_.insert(at, std::move(entry)) - entries_.begin());
}

void TSortedList::Assign(const std::vector<std::string>& entries) {
  entries_.clear();
  for (const std::string& entry : entries) Add(entry);
}

void TSortedList::Remove(std::size_t index) {
  if (index < entries_.size()) entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(index));
}

}  // namespace kelvox
