#include "DateTime.h"

#include <chrono>
#include <cmath>
#include <ctime>

namespace vantrel {

namespace {

constexpr double kMillisecondsPerDay = 86400000.0;

// Days from 1970-01-01 of a proleptic Gregorian date (Howard Hinnant's days_from_civil).
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void CivilFromDays(std::int64_t z, int& year, int& month, int& day) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(static_cast<std::int64_t>(yoe) + era * 400 + (month <= 2));
}

const std::int64_t kEpochOffset = DaysFromCivil(1899, 12, 30);

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

}  // namespace

bool TryEncodeDate(int year, int month, int day, TDateTime& result) {
  static constexpr int kDaysInMonth[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1) return false;
  const int days = kDaysInMonth[month - 1] + (month == 2 && IsLeapYear(year) ? 1 : 0);
  if (day > days) return false;
  result =
      static_cast<double>(DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) - kEpochOffset);
  return true;
}

bool TryEncodeTime(int hour, int minute, int second, int millisecond, TDateTime& result) {
  if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 || millisecond < 0 ||
      millisecond > 999)
    return false;
  result = ((hour * 3600.0 + minute * 60.0 + second) * 1000.0 + millisecond) / kMillisecondsPerDay;
  return true;
}

TDateTimeParts DecodeDateTime(TDateTime value) {
  TDateTimeParts parts;
  // Before the epoch the fraction still counts forward from midnight, as in the original runtime.
  double whole = std::trunc(value);
  auto millis = static_cast<std::int64_t>(std::llround(std::fabs(value - whole) * kMillisecondsPerDay));
  if (millis >= static_cast<std::int64_t>(kMillisecondsPerDay)) {
    millis -= static_cast<std::int64_t>(kMillisecondsPerDay);
    whole += value < 0 ? -1 : 1;
  }
  CivilFromDays(static_cast<std::int64_t>(whole) + kEpochOffset, parts.year, parts.month, parts.day);
  parts.hour = static_cast<int>(millis / 3600000);
  parts.minute = static_cast<int>(millis / 60000 % 60);
  parts.second = static_cast<int>(millis / 1000 % 60);
  parts.millisecond = static_cast<int>(millis % 1000);
  return parts;
}

TDateTime NowLocal() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local{};
  localtime_r(&seconds, &local);
  TDateTime date = 0, time = 0;
  TryEncodeDate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, date);
  TryEncodeTime(local.tm_hour, local.tm_min, local.tm_sec > 59 ? 59 : local.tm_sec, static_cast<int>(millis), time);
  return date + time;
}

TDateTime DateOf(TDateTime value) { return std::trunc(value); }

TDateTime TimeOf(TDateTime value) { return std::fabs(value - std::trunc(value)); }

namespace {
std::string TwoDigits(int value) { return (value < 10 ? "0" : "") + std::to_string(value); }
}  // namespace

std::string DateTimeText(TDateTime value, bool compact) {
  const TDateTimeParts parts = DecodeDateTime(value);
  const std::string year = std::to_string(parts.year);
  if (compact) {
    return year + TwoDigits(parts.month) + TwoDigits(parts.day) + TwoDigits(parts.hour) + TwoDigits(parts.minute) +
           TwoDigits(parts.second);
  }
  return year + "-" + TwoDigits(parts.month) + "-" + TwoDigits(parts.day) + " " + TwoDigits(parts.hour) + ":" +
         TwoDigits(parts.minute) + ":" + TwoDigits(parts.second);
}

}  // namespace vantrel
