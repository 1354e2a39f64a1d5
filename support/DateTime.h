#pragma once

#include <cstdint>
#include <string>

namespace vantrel {

// Days since 1899-12-30 with the time of day as the fraction, as the original runtime counted.
using TDateTime = double;

struct TDateTimeParts {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millisecond = 0;
};

bool TryEncodeDate(int year, int month, int day, TDateTime& result);
bool TryEncodeTime(int hour, int minute, int second, int millisecond, TDateTime& result);
TDateTimeParts DecodeDateTime(TDateTime value);
TDateTime NowLocal();
// "yyyymmddhhnnss" (compact) or "yyyy-mm-dd hh:mm:ss", as the call log writes its keys and times.
std::string DateTimeText(TDateTime value,
                         bool compact);  // local wall-clock time: for stamps people read, never for elapsed times
TDateTime DateOf(TDateTime value);
TDateTime TimeOf(TDateTime value);

}  // namespace vantrel
