#include "base/date_time.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <locale.h>

#include <chrono>
#include <ctime>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kelvox {
namespace {

// Sets the locale variables for one test and puts the old values back.
class LocaleEnv {
 public:
  LocaleEnv(const char* lc_all, const char* lc_time, const char* lang) {
    Set("LC_ALL", lc_all);
    Set("LC_TIME", lc_time);
    Set("LANG", lang);
  }
  ~LocaleEnv() {
    for (auto& [name, value] : saved_) {
      if (value) {
        ::setenv(name.c_str(), value->c_str(), 1);
      } else {
        ::unsetenv(name.c_str());
      }
    }
  }
  LocaleEnv(const LocaleEnv&) = delete;
  LocaleEnv& operator=(const LocaleEnv&) = delete;

 private:
  void Set(const std::string& name, const char* value) {
    const char* old = std::getenv(name.c_str());
    saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
    if (value) {
      ::setenv(name.c_str(), value, 1);
    } else {
      ::unsetenv(name.c_str());
    }
  }

  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST(DateTime, DayCountsFromTheOrigin) {
  const struct {
    TDateTimeParts parts;
    double value;
  } rows[] = {
      {{1899, 12, 30, 0, 0, 0, 0}, 0.0},
      {{1899, 12, 31, 6, 0, 0, 0}, 1.25},
      {{1900, 3, 1, 0, 0, 0, 0}, 61.0},
      {{1970, 1, 1, 0, 0, 0, 0}, 25569.0},
      {{2000, 2, 29, 18, 0, 0, 0}, 36585.75},
      {{2026, 12, 6, 12, 0, 0, 0}, 46362.5},
  };
  for (const auto& row : rows) {
    EXPECT_DOUBLE_EQ(EncodeDateTime(row.parts), row.value) << row.value;
    const TDateTimeParts back = DecodeDateTime(row.value);
    EXPECT_EQ(back.Year, row.parts.Year);
    EXPECT_EQ(back.Month, row.parts.Month);
    EXPECT_EQ(back.Day, row.parts.Day);
    EXPECT_EQ(back.Hour, row.parts.Hour);
  }
  const TDateTimeParts parts = DecodeDateTime(EncodeDateTime({2026, 12, 6, 23, 59, 59, 999}));
  EXPECT_EQ(parts.Day, 6);
  EXPECT_EQ(parts.Hour, 23);
  EXPECT_EQ(parts.Minute, 59);
  EXPECT_EQ(parts.Second, 59);
  EXPECT_EQ(parts.Millisecond, 999);
}

TEST(DateTime, CLocaleTexts) {
  for (const char* name : {"C", "POSIX", "C.UTF-8"}) {
    LocaleEnv env(name, nullptr, nullptr);
    const TDateTime afternoon = EncodeDateTime({2026, 12, 6, 14, 5, 9, 250});
    EXPECT_EQ(ShortDateText(afternoon), "06/12/2026") << name;
    EXPECT_EQ(LongTimeText(afternoon), "14:05:09") << name;
    EXPECT_EQ(DateTimeText(afternoon), "06/12/2026 14:05:09") << name;
    EXPECT_EQ(DateTimeText(EncodeDateTime({2026, 12, 6, 0, 0, 0, 0})), "06/12/2026") << name;
    EXPECT_EQ(DateTimeText(EncodeDateTime({2026, 12, 6, 0, 0, 0, 1})), "06/12/2026 00:00:00") << name;
    EXPECT_EQ(DateTimeText(0.0), "30/12/1899") << name;
  }
}

TEST(DateTime, LocaleComesFromTheEnvironmentInOrder) {
  const TDateTime value = EncodeDateTime({2026, 1, 2, 3, 4, 5, 0});
  {
    LocaleEnv env(nullptr, "C", "xx_YY.UTF-8");
    EXPECT_EQ(DateTimeText(value), "02/01/2026 03:04:05");
  }
  {
    // A locale the system does not have gives the C forms.
    LocaleEnv env("xx_YY.UTF-8", nullptr, nullptr);
    EXPECT_EQ(DateTimeText(value), "02/01/2026 03:04:05");
  }
  {
    LocaleEnv env(nullptr, nullptr, nullptr);
    EXPECT_EQ(DateTimeText(value), "02/01/2026 03:04:05");
  }
}

TEST(DateTime, InstalledLocaleGivesItsOwnFormats) {
  locale_t probe = ::newlocale(LC_TIME_MASK, "en_US.UTF-8", locale_t{});
  if (probe == locale_t{}) GTEST_SKIP() << "en_US.UTF-8 is not installed";
  ::freelocale(probe);
  LocaleEnv env("en_US.UTF-8", nullptr, nullptr);
  const TDateTime value = EncodeDateTime({2026, 12, 6, 14, 5, 9, 0});
  EXPECT_EQ(ShortDateText(value), "12/06/2026");
  EXPECT_EQ(LongTimeText(value), "02:05:09 PM");
}

TEST(DateTime, NowIsTheLocalTime) {
  // The bounds come from the clock that Now() reads: time() may lag it by a tick.
  const auto local = [](std::chrono::system_clock::time_point at) {
    const std::time_t t = std::chrono::system_clock::to_time_t(at);
    std::tm tm{};
    ::localtime_r(&t, &tm);
    return EncodeDateTime({tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, 0});
  };
  const auto before = std::chrono::system_clock::now();
  const TDateTime now = Now();
  const auto after = std::chrono::system_clock::now();
  EXPECT_GE(now, local(before));
  EXPECT_LT(now, local(after) + 1.0 / 86400.0);
}

}  // namespace
}  // namespace kelvox
