// A made-up but plausible day of a call centre, as the queue log and the call log would hold it: operators log in
// in the morning, pause for a break and lunch, answer callers put through by the rules, wrap up and log out;
// callers come more in the morning and after lunch, some give up, some overflow. For the quick start's reports
// (only when asked for) and for the reports' benchmark.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "CallLogRow.h"

namespace vantrel {

struct TSampleDay {
  int year = 0, month = 0, day = 0;
  std::vector<long> operators;  // CRM employee IDs
  std::vector<long> rules;
  int callers = 200;
  std::uint32_t seed = 1;
};

// The day's rows in the order of their times; the operators' phones are "2" and their ID's last two digits.
std::vector<TCallLogRow> SampleDayRows(const TSampleDay& day);

}  // namespace vantrel
