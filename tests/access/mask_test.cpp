#include "access/mask.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "net/ip_address.h"

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

// IPv6 masks against a plain matcher: random addresses in their compressed
// text, masks cut from them (spans made '*', letters in either case, now and
// then a character changed), matched both ways.
bool PlainMatch(const std::string& mask, const std::string& text) {
  std::string m, t;
  for (const char c : mask) m += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  for (const char c : text) t += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  if (m.empty() || t.empty()) return false;
  std::vector<std::vector<bool>> at(m.size() + 1, std::vector<bool>(t.size() + 1, false));
  at[0][0] = true;
  for (std::size_t i = 1; i <= m.size(); ++i) {
    for (std::size_t j = 0; j <= t.size(); ++j) {
      at[i][j] = m[i - 1] == '*' ? at[i - 1][j] || (j > 0 && at[i][j - 1])
                                 : j > 0 && at[i - 1][j - 1] && m[i - 1] == t[j - 1];
    }
  }
  return at[m.size()][t.size()];
}

TEST(MatchMask, Ipv6MasksAgreeWithAPlainMatcher) {
  std::mt19937 random(20261208);
  const auto below = [&](unsigned n) { return static_cast<unsigned>(random() % n); };
  int matched = 0;
  for (int round = 0; round < 3000; ++round) {
    TIpAddress ip;
    ip.Family = TIpAddress::TFamily::kV6;
    for (uint8_t& b : ip.Bytes) b = below(3) == 0 ? 0 : static_cast<uint8_t>(below(256));
    const std::string text = ip.Text();
    std::string mask = below(4) == 0 ? TIpAddress{}.Text() : text;
    for (char& c : mask) {
      if (below(3) == 0) c = static_cast<char>(c >= 'a' && c <= 'f' ? c - 'a' + 'A' : c);
      if (below(20) == 0) c = "0123456789abcdef:"[below(17)];
    }
    for (unsigned stars = below(4); stars > 0; --stars) {
      const std::size_t from = below(static_cast<unsigned>(mask.size()) + 1);
      const std::size_t length = below(6);
      mask.replace(from, std::min(length, mask.size() - from), "*");
    }
    const bool expected = PlainMatch(mask, text);
    matched += expected ? 1 : 0;
    ASSERT_EQ(MatchMask(mask, text), expected) << mask << " / " << text;
  }
  EXPECT_GT(matched, 300);  // the cases are not all refusals
}

}  // namespace
}  // namespace kelvox
