#include "base/date_time.h"

#include <langinfo.h>
#include <locale.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <string_view>

namespace kelvox {

namespace {

constexpr std::int64_t kMsPerDay = 86400000;
constexpr std::int64_t kUnixEpochDay = 25569;  // 1 January 1970

// Days from 1 January 1970 to a proleptic Gregorian date (H. Hinnant's algorithm).
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void CivilFromDays(std::int64_t z, int& year, int& month, int& day) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(static_cast<std::int64_t>(yoe) + era * 400 + (month <= 2));
}

std::int64_t FloorDiv(std::int64_t a, std::int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

// The locale named by the environment, as the C library orders the variables.
std::string EnvironmentLocaleName() {
  for (const char* variable : {"LC_ALL", "LC_TIME", "LANG"}) {
    const char* value = std::getenv(variable);
    if (value != nullptr && *value != '\0') return value;
  }
  return "C";
}

bool IsCLocale(std::string_view name) { return name == "C" || name == "POSIX" || name.starts_with("C."); }

enum class TForm { ShortDate, LongTime };

std::tm ToTm(TDateTime value) {
  const TDateTimeParts parts = DecodeDateTime(value);
  std::tm tm{};
  tm.tm_year = parts.Year - 1900;
  tm.tm_mon = parts.Month - 1;
  tm.tm_mday = parts.Day;
  tm.tm_hour = parts.Hour;
  tm.tm_min = parts.Minute;
  tm.tm_sec = parts.Second;
  const std::int64_t days = DaysFromCivil(parts.Year, static_cast<unsigned>(parts.Month), static_cast<unsigned>(parts.Day));
  tm.tm_wday = static_cast<int>(((days % 7) + 11) % 7);  // 1 January 1970 was a Thursday
  tm.tm_yday = static_cast<int>(days - DaysFromCivil(parts.Year, 1, 1));
  tm.tm_isdst = -1;
  return tm;
}

std::string Format(TDateTime value, TForm form) {
  const std::tm tm = ToTm(value);
  char text[128] = {};
  const std::string name = EnvironmentLocaleName();
  locale_t locale = IsCLocale(name) ? locale_t{} : ::newlocale(LC_TIME_MASK, name.c_str(), locale_t{});
  if (locale != locale_t{}) {
    const char* format = ::nl_langinfo_l(form == TForm::ShortDate ? D_FMT : T_FMT, locale);
    const std::size_t n = format != nullptr && *format != '\0' ? ::strftime_l(text, sizeof text, format, &tm, locale) : 0;
    ::freelocale(locale);
    if (n > 0) return text;
  }
  std::strftime(text, sizeof text, form == TForm::ShortDate ? "%d/%m/%Y" : "%H:%M:%S", &tm);
  return text;
}

}  // namespace

TDateTime EncodeDateTime(const TDateTimeParts& parts) {
  const std::int64_t day = DaysFromCivil(parts.Year, static_cast<unsigned>(parts.Month), static_cast<unsigned>(parts.Day)) + kUnixEpochDay;
  const std::int64_t ms = ((parts.Hour * 60 + parts.Minute) * 60 + parts.Second) * 1000 + parts.Millisecond;
  return static_cast<double>(day) + static_cast<double>(ms) / static_cast<double>(kMsPerDay);
}

TDateTimeParts DecodeDateTime(TDateTime value) {
  const auto total_ms = static_cast<std::int64_t>(std::llround(value * static_cast<double>(kMsPerDay)));
  const std::int64_t day = FloorDiv(total_ms, kMsPerDay);
  std::int64_t ms = total_ms - day * kMsPerDay;
  TDateTimeParts parts;
  CivilFromDays(day - kUnixEpochDay, parts.Year, parts.Month, parts.Day);
  parts.Millisecond = static_cast<int>(ms % 1000);
  ms /= 1000;
  parts.Second = static_cast<int>(ms % 60);
  ms /= 60;
  parts.Minute = static_cast<int>(ms % 60);
  parts.Hour = static_cast<int>(ms / 60);
  return parts;
}

TDateTime Now() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local{};
  ::localtime_r(&seconds, &local);
  return EncodeDateTime({local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                         local.tm_sec, static_cast<int>(ms < 0 ? ms + 1000 : ms)});
}

std::string ShortDateText(TDateTime value) { return Format(value, TForm::ShortDate); }

std::string LongTimeText(TDateTime value) { return Format(value, TForm::LongTime); }

std::string DateTimeText(TDateTime value) {
  const TDateTimeParts parts = DecodeDateTime(value);
  const bool midnight = parts.Hour == 0 && parts.Minute == 0 && parts.Second == 0 && parts.Millisecond == 0;
  return midnight ? ShortDateText(value) : ShortDateText(value) + " " + LongTimeText(value);
}

}  // namespace kelvox
