#include "access/mask.h"

#include <gtest/gtest.h>

namespace kelvox {
namespace {

TEST(MatchMask, Cases) {
  const struct {
    const char* mask;
    const char* text;
    bool match;
  } rows[] = {
      {"192.168.*", "192.168.0.1", true},
      {"192.168.*", "10.192.168.1", false},
      {"*.5", "10.5.0.5", true},
      {"*.5", "10.5.0.6", false},
      {"*.*.*.*", "10.0.0.1", true},
      {"*.*.*.*", "255.255.255.255", true},
      {"*.*.*.*", "localhost", false},
      {"*", "x", true},
      {"*", "", false},
      {"**", "anything", true},
      {"", "", false},
      {"", "10.0.0.1", false},
      {"10.0.0.1", "", false},
      {"a*a", "a", false},
      {"a*a", "aa", true},
      {"a*a", "aba", true},
      {"ab", "abab", false},
      {"ab", "ab", true},
      {"AB*", "abc", true},
      {"ab*", "ABC", true},
      {"1**2", "1x2", true},
      {"1**2", "12", true},
      {"1*2", "1x2x", false},
      {"*b*d*", "abcde", true},
      {"*d*b*", "abcde", false},
      {"a*b*b", "abb", true},
      {"a*bb*b", "abbb", true},
      {"a*bb*b", "abb", false},
      {"?.0.0.1", "1.0.0.1", false},
      {"?.0.0.1", "?.0.0.1", true},
      {"10.0.0.*", "10.0.0.", true},
      {"Default ip", "10.0.0.7", false},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(MatchMask(row.mask, row.text), row.match) << "'" << row.mask << "' '" << row.text << "'";
  }
}

}  // namespace
}  // namespace kelvox
