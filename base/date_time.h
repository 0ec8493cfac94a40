// Date-times as the bouncer keeps them: a count of days since 30 December 1899,
// the time of day as the fraction. Their texts follow the date and time formats
// of the environment's locale (LC_ALL, then LC_TIME, then LANG); the C locale,
// and any locale the system does not have, gives day/month/four-digit year and
// the 24-hour clock.
#pragma once

#include <string>

namespace kelvox {

using TDateTime = double;

struct TDateTimeParts {
  int Year = 1899;
  int Month = 12;  // 1 to 12
  int Day = 30;    // 1 to 31
  int Hour = 0;
  int Minute = 0;
  int Second = 0;
  int Millisecond = 0;
};

TDateTime EncodeDateTime(const TDateTimeParts& parts);
/// To the nearest millisecond.
TDateTimeParts DecodeDateTime(TDateTime value);

/// The local date and time of the machine now.
TDateTime Now();

/// The date in the locale's short date format ("06/12/2026" in the C locale).
std::string ShortDateText(TDateTime value);
/// The time of day in the locale's long time format ("14:05:09" in the C locale).
std::string LongTimeText(TDateTime value);
/// The date, a space and the time; the time is left out at exactly midnight
/// (so the zero date-time reads "30/12/1899" in the C locale).
std::string DateTimeText(TDateTime value);

}  // namespace kelvox
