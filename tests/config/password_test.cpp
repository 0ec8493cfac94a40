#include "config/password.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace kelvox {
namespace {

// What the INI reader gives back unchanged: no control byte, no blank at an end.
bool SurvivesIni(const std::string& stored) {
  for (char c : stored) {
    if (static_cast<unsigned char>(c) < 0x20) return false;
  }
  return stored.empty() || (stored.front() != ' ' && stored.back() != ' ');
}

TEST(Password, StoredForms) {
  const struct {
    std::string password;
    std::string stored;
  } rows[] = {
      {"", ""},
      {"tolvin", "\xE5\xE4\xD5\xE2\xDD\xDB"},
      {"~~~~~~~~~~", "\xEF\xF3\xE7\xEA\xF2\xEB\xDF\xF0\xE3\xE2"},
      // Past the tenth byte the key starts again.
      {"aaaaaaaaaaaa", "\xD2\xD6\xCA\xCD\xD5\xCE\xC2\xD3\xC6\xC5\xD2\xD6"},
      // Forms that the file could not hold are written in hexadecimal.
      {std::string(1, '\x9C'), "!0D"},     // would be a CR
      {std::string(1, '\xAF'), "!20"},     // would be a lone blank
      {std::string(1, '\xB0'), "!21"},     // would begin with the mark
      {std::string("a\x8B", 2), "!D200"},  // would hold a NUL
  };
  for (const auto& row : rows) {
    EXPECT_EQ(ScramblePassword(row.password), row.stored) << row.password;
    EXPECT_EQ(UnscramblePassword(row.stored), row.password) << row.password;
  }
  // A mark without hexadecimal after it is a plain form: 0x21 - 'q', 'x' - 'u'.
  EXPECT_EQ(UnscramblePassword("!x"), std::string("\xB0\x03", 2));
}

TEST(Password, PrintablePasswordsKeepTheirOneByteForm) {
  for (int c = 0x20; c <= 0x7E; ++c) {
    const std::string stored = ScramblePassword(std::string(20, static_cast<char>(c)));
    ASSERT_EQ(stored.size(), 20u);
    for (char s : stored) {
      EXPECT_GE(static_cast<unsigned char>(s), 0x81);
      EXPECT_LE(static_cast<unsigned char>(s), 0xF8);
    }
  }
}

TEST(Password, EveryByteAndEveryLengthRoundTrips) {
  const auto check = [](const std::string& password) {
    const std::string stored = ScramblePassword(password);
    EXPECT_TRUE(SurvivesIni(stored));
    EXPECT_EQ(UnscramblePassword(stored), password);
  };
  for (std::size_t position = 0; position < 12; ++position) {
    for (int byte = 0; byte < 256; ++byte) {
      std::string password(12, 'x');
      password[position] = static_cast<char>(byte);
      check(password);
    }
  }
  uint32_t seed = 12345;
  for (std::size_t length = 0; length <= 40; ++length) {
    for (int sample = 0; sample < 50; ++sample) {
      std::string password;
      for (std::size_t i = 0; i < length; ++i) {
        seed = seed * 1103515245u + 12345u;
        password.push_back(static_cast<char>(seed >> 24));
      }
      check(password);
    }
  }
}

}  // namespace
}  // namespace kelvox
