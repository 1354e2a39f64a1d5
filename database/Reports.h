// Supervisors' history: figures of the rules' queues and of the operators over a range of days, counted by the
// database from the queue log (tq_VantrelQueueLog) and the call log (tq_VantrelLog).
//
// Times are the server's local wall-clock times, as the logs hold them. A caller's figures belong to the interval
// in which the call was offered (the time of its outcome row less the seconds since it was offered). An operator's
// state (logged in, paused, wrap-up, busy) counts with the length the server measured, written when it ended, less
// any part before the range; one still open at the range's end counts until then (or now). Which state is open is
// read from the order of the rows, the order the call-log writer keeps.
#pragma once

#include <ctime>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "SqlDialect.h"

namespace vantrel {

class TDataConnection;

enum class TReportInterval { Minutes15, Minutes30, Hour, Day, Week };

// "15min", "30min", "hour", "day", "week".
std::optional<TReportInterval> ReportIntervalFromText(const std::string& text);
const char* ReportIntervalText(TReportInterval interval);

// A local wall-clock time, "yyyy-mm-dd hh:mm:ss".
struct TWallClock {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  std::string Text() const;
  // The fields for the C library's clock functions, daylight saving left for mktime to find.
  std::tm Fields() const;
  bool operator<(const TWallClock& other) const { return Text() < other.Text(); }
  bool operator==(const TWallClock& other) const = default;
};
// "yyyy-mm-dd", "yyyy-mm-dd hh:mm" or "yyyy-mm-ddThh:mm[:ss]" naming a real day and time; none otherwise.
std::optional<TWallClock> WallClockFromText(const std::string& text);
// The wall-clock time so many minutes (or days) later, by the calendar.
TWallClock AddMinutes(const TWallClock& time, long minutes);
TWallClock AddDays(const TWallClock& time, int days);
TWallClock NowWallClock();

struct TReportQuery {
  TWallClock from, to;  // from included, to excluded
  TReportInterval interval = TReportInterval::Hour;
  long rule = 0;         // 0: every rule
  long operatorID = 0;   // 0: every operator
  TWallClock now;        // states still open end here (or at `to`, whichever is first)
  // Each rule's service level in seconds; others have defaultServiceLevel.
  std::map<long, int> serviceLevelSeconds;
  int defaultServiceLevel = 20;
};

// A caller gave up within this many seconds: a short abandon, which managers leave out of the service level.
constexpr long kShortAbandonSeconds = 5;

struct TQueueFiguresRow {
  long rule = 0;
  std::string start;  // "yyyy-mm-dd hh:mm" of the interval; empty for a whole range
  int serviceLevelSeconds = 20;
  long offered = 0, answered = 0, answeredInServiceLevel = 0, abandoned = 0, shortAbandoned = 0, overflowed = 0;
  long waitSeconds = 0, longestWait = 0, answerSeconds = 0;  // waits of the answered and abandoned
  long talks = 0, talkSeconds = 0, wrapUps = 0, wrapUpSeconds = 0;

  // Answered within the service level of the offered less the short abandons, in percent; none without calls.
  std::optional<double> ServiceLevelPercent() const;
  std::optional<double> AverageWait() const;
  std::optional<double> AverageSpeedOfAnswer() const;
  std::optional<double> AverageTalk() const;
  std::optional<double> AverageWrapUp() const;
  void Add(const TQueueFiguresRow& other);
};

struct TOperatorFiguresRow {
  long operatorID = 0;
  std::string name;  // from the CRM's contacts, when there
  long answered = 0, talkSeconds = 0, holdSeconds = 0, wrapUps = 0, wrapUpSeconds = 0;
  long loggedInSeconds = 0, busySeconds = 0;
  std::map<long, long> pauseSeconds;  // by reason

  long PauseSeconds() const;
  // Talk and after-call work of the time logged in and not paused, in percent; none without such time.
  std::optional<double> Occupancy() const;
};

// Offered calls by weekday (0 Sunday .. 6 Saturday) and hour of day.
struct THeatCell {
  int weekday = 0, hour = 0;
  long offered = 0;
};

// Every interval of the range as "yyyy-mm-dd hh:mm", by the calendar; wall-clock times the clock skips (a change to
// summer time) are left out. The first interval starts at or before `from` (a week on its Monday).
std::vector<std::string> ReportIntervals(const TReportQuery& query);

// Per rule over the whole range (start empty), or per rule and interval.
std::vector<TQueueFiguresRow> RuleFigures(TDataConnection& connection, TSqlDialect dialect, const TReportQuery& query,
                                          bool byInterval);
// Every interval of the range, the rules (or the one asked for) taken together.
std::vector<TQueueFiguresRow> IntervalFigures(TDataConnection& connection, TSqlDialect dialect,
                                              const TReportQuery& query);
std::vector<TOperatorFiguresRow> OperatorFigures(TDataConnection& connection, TSqlDialect dialect,
                                                 const TReportQuery& query);
std::vector<THeatCell> OfferedByWeekdayAndHour(TDataConnection& connection, TSqlDialect dialect,
                                               const TReportQuery& query);

}  // namespace vantrel
