#include "config/list_file.h"

#include <gtest/gtest.h>

#include "config/sorted_list.h"

namespace kelvox {
namespace {

using Lines = std::vector<std::string>;

TEST(ListFile, SplitsAtEveryKindOfLineEnd) {
  const struct {
    std::string text;
    Lines lines;
  } rows[] = {
      {"", {}},
      {"a", {"a"}},
      {"a\r\n", {"a"}},
      {"a\r\nb\rc\nd", {"a", "b", "c", "d"}},
      {"a\n\r\nb\r\n", {"a", "", "b"}},
      {"\r\n", {""}},
      {"a\r\r\nb", {"a", "", "b"}},
      {"a\n\rb", {"a", "", "b"}},
  };
  for (const auto& row : rows) EXPECT_EQ(SplitLines(row.text), row.lines) << row.text;
}

TEST(SortedList, AddsAtItsPlaceAndKeepsCaseTwinsInOrderOfArrival) {
  TSortedList list({"zeta", "ab", "AB", "", "10.0.0.*"});
  EXPECT_EQ(list.Add("Ab"), 4u);
  EXPECT_EQ(list.Add("b"), 5u);
  EXPECT_EQ(list.Entries(), (Lines{"", "10.0.0.*", "ab", "AB", "Ab", "b", "zeta"}));
}

}  // namespace
}  // namespace kelvox
