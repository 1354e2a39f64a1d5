#include "Reports.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <regex>
#include <set>
#include <stdexcept>

#include "DataConnection.h"

namespace vantrel {

namespace {

// Wall-clock arithmetic by the calendar: the fields as if they were UTC, where no clock ever jumps.
std::time_t CalendarSeconds(const TWallClock& time) {
  std::tm fields = time.Fields();
  return ::timegm(&fields);
}

TWallClock FromCalendarSeconds(std::time_t seconds) {
  std::tm fields{};
  ::gmtime_r(&seconds, &fields);
  return {fields.tm_year + 1900, fields.tm_mon + 1, fields.tm_mday, fields.tm_hour, fields.tm_min, fields.tm_sec};
}

// Whether the local clock shows this time on some day (not in the hour skipped at a change to summer time).
bool ExistsLocally(const TWallClock& time) {
  std::tm fields{};
  fields.tm_year = time.year - 1900;
  fields.tm_mon = time.month - 1;
  fields.tm_mday = time.day;
  fields.tm_hour = time.hour;
  fields.tm_min = time.minute;
  fields.tm_isdst = -1;
  if (::mktime(&fields) == static_cast<std::time_t>(-1)) return false;
  return fields.tm_hour == time.hour && fields.tm_min == time.minute && fields.tm_mday == time.day;
}

long ToLong(const std::string& text) {
  if (text.empty()) return 0;
  return static_cast<long>(std::llround(std::stod(text)));
}

int MinutesOf(TReportInterval interval) {
  switch (interval) {
    case TReportInterval::Minutes15:
      return 15;
    case TReportInterval::Minutes30:
      return 30;
    case TReportInterval::Hour:
      return 60;
    case TReportInterval::Day:
      return 24 * 60;
    case TReportInterval::Week:
      return 7 * 24 * 60;
  }
  return 60;
}

TWallClock IntervalStart(const TWallClock& time, TReportInterval interval) {
  TWallClock start = time;
  start.second = 0;
  switch (interval) {
    case TReportInterval::Minutes15:
    case TReportInterval::Minutes30:
      start.minute = time.minute / MinutesOf(interval) * MinutesOf(interval);
      break;
    case TReportInterval::Hour:
      start.minute = 0;
      break;
    case TReportInterval::Day:
    case TReportInterval::Week: {
      start.hour = start.minute = 0;
      if (interval == TReportInterval::Week) {
        std::tm fields{};
        const std::time_t seconds = CalendarSeconds(start);
        ::gmtime_r(&seconds, &fields);
        start = AddDays(start, -((fields.tm_wday + 6) % 7));  // back to Monday
      }
      break;
    }
  }
  return start;
}

std::string Minutes(const TWallClock& time) { return time.Text().substr(0, 16); }

// The SQL of one dialect for what the two databases spell differently. Every value put into a statement is a
// number or a time this unit formatted itself: nothing of a request reaches the text unchecked.
// A change of the local clock: wall-clock times from `before` are followed by those from `after` (earlier at the
// change to winter time); an interval of time spanning it lasts `seconds` more than its wall-clock times say.
struct TClockChange {
  TWallClock before, after;
  long seconds = 0;
};

TWallClock LocalWallClock(std::time_t instant) {
  std::tm fields{};
  ::localtime_r(&instant, &fields);
  return {fields.tm_year + 1900, fields.tm_mon + 1, fields.tm_mday, fields.tm_hour, fields.tm_min, fields.tm_sec};
}

long OffsetAt(std::time_t instant) {
  std::tm fields{};
  ::localtime_r(&instant, &fields);
  return fields.tm_gmtoff;
}

// The changes of the local clock between the two wall-clock times (a day more each side for the zone's offset).
std::vector<TClockChange> ClockChanges(const TWallClock& from, const TWallClock& to) {
  std::vector<TClockChange> changes;
  const std::time_t first = CalendarSeconds(from) - 2 * 86400, last = CalendarSeconds(to) + 2 * 86400;
  for (std::time_t at = first; at < last; at += 3600) {
    if (OffsetAt(at) == OffsetAt(at + 3600)) continue;
    std::time_t low = at, high = at + 3600;  // the offset changes in (low, high]
    while (high - low > 1) {
      const std::time_t middle = low + (high - low) / 2;
      (OffsetAt(middle) == OffsetAt(low) ? low : high) = middle;
    }
    // low is the last second of the old offset: the clock would have shown its time plus one second next.
    const TWallClock before = FromCalendarSeconds(CalendarSeconds(LocalWallClock(low)) + 1);
    changes.push_back({before, LocalWallClock(high), OffsetAt(low) - OffsetAt(high)});
  }
  return changes;
}

class TReportSql {
 public:
  TReportSql(TSqlDialect dialect, const TReportQuery& query)
      : postgres_(dialect == TSqlDialect::PostgreSQL),
        changes_(ClockChanges(AddDays(query.from, -2), AddDays(query.to, 2))) {
    if (dialect == TSqlDialect::SqlServer) throw std::runtime_error("Reports need an SQLite or PostgreSQL CRM");
  }

  std::string Time(const TWallClock& time) const {
    return postgres_ ? "timestamp '" + time.Text() + "'" : "'" + time.Text() + "'";
  }
  // Whole seconds from the wall-clock time `origin` to the time, by the clock's face (as the intervals are).
  // Numbers, not texts, per row: a year of rows is counted without formatting a time for each.
  std::string SecondsSince(const TWallClock& origin, const std::string& time) const {
    return postgres_ ? "cast(extract(epoch from (" + time + ") - " + Time(origin) + ") as bigint)"
                     : "cast(round((julianday(" + time + ") - julianday(" + Time(origin) + ")) * 86400.0) as integer)";
  }
  // Elapsed seconds between two wall-clock times: their difference, corrected by each change of the clock between.
  std::string SecondsBetween(const std::string& from, const std::string& to) const {
    std::string text = postgres_ ? "extract(epoch from (" + to + ") - (" + from + "))"
                                 : "(julianday(" + to + ") - julianday(" + from + ")) * 86400.0";
    for (const TClockChange& change : changes_) {
      const TWallClock& earlier = std::min(change.before, change.after);
      const TWallClock& later = std::max(change.before, change.after);
      text += " + case when (" + from + ") < " + Time(earlier) + " and (" + to + ") >= " + Time(later) + " then " +
              std::to_string(change.seconds) + " else 0 end";
    }
    return "(" + text + ")";
  }
  std::string Least(const std::string& a, const std::string& b) const {
    return (postgres_ ? "least(" : "min(") + a + ", " + b + ")";
  }

 private:
  const bool postgres_;
  const std::vector<TClockChange> changes_;
};

// An outcome row may come this long after its caller was offered.
constexpr int kLongestCallDays = 1;

std::string ServiceLevelCase(const TReportQuery& query) {
  if (query.serviceLevelSeconds.empty()) return std::to_string(query.defaultServiceLevel);
  std::string text = "case Rule_id";
  for (const auto& [rule, seconds] : query.serviceLevelSeconds) {
    text += " when " + std::to_string(rule) + " then " + std::to_string(seconds);
  }
  return text + " else " + std::to_string(query.defaultServiceLevel) + " end";
}

int ServiceLevelOf(const TReportQuery& query, long rule) {
  const auto found = query.serviceLevelSeconds.find(rule);
  return found == query.serviceLevelSeconds.end() ? query.defaultServiceLevel : found->second;
}

// A state begun this long before the range and still open is known; one begun earlier is not (a server stopped
// without its operators logging out leaves open states behind, and they are not counted for ever).
constexpr int kOpenStateDays = 2;

// The moment the local clock showed the time (the first one, when the clock showed it twice).
std::time_t LocalSeconds(const TWallClock& time) {
  std::tm fields = time.Fields();
  return ::mktime(&fields);
}

// Where an open state ends: now, but not after the range.
TWallClock OpenStatesEnd(const TReportQuery& query) { return std::min(query.now, query.to); }

}  // namespace

std::optional<TReportInterval> ReportIntervalFromText(const std::string& text) {
  for (const TReportInterval interval : {TReportInterval::Minutes15, TReportInterval::Minutes30,
                                         TReportInterval::Hour, TReportInterval::Day, TReportInterval::Week}) {
    if (text == ReportIntervalText(interval)) return interval;
  }
  return std::nullopt;
}

const char* ReportIntervalText(TReportInterval interval) {
  switch (interval) {
    case TReportInterval::Minutes15:
      return "15min";
    case TReportInterval::Minutes30:
      return "30min";
    case TReportInterval::Hour:
      return "hour";
    case TReportInterval::Day:
      return "day";
    case TReportInterval::Week:
      return "week";
  }
  return "hour";
}

std::string TWallClock::Text() const {
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", year, month, day, hour, minute, second);
  return text;
}

std::tm TWallClock::Fields() const {
  std::tm fields{};
  fields.tm_year = year - 1900;
  fields.tm_mon = month - 1;
  fields.tm_mday = day;
  fields.tm_hour = hour;
  fields.tm_min = minute;
  fields.tm_sec = second;
  fields.tm_isdst = -1;
  return fields;
}

std::optional<TWallClock> WallClockFromText(const std::string& text) {
  static const std::regex pattern("([0-9]{4})-([0-9]{2})-([0-9]{2})(?:[T ]([0-9]{2}):([0-9]{2})(?::([0-9]{2}))?)?");
  std::smatch match;
  if (!std::regex_match(text, match, pattern)) return std::nullopt;
  const auto number = [&](int group) { return match[group].matched ? std::stoi(match[group].str()) : 0; };
  const TWallClock time{number(1), number(2), number(3), number(4), number(5), number(6)};
  if (time.year < 1900 || time.hour > 23 || time.minute > 59 || time.second > 59) return std::nullopt;
  // The calendar must give the same day back (no 31 April, no 29 February of a common year).
  if (FromCalendarSeconds(CalendarSeconds(time)) != time) return std::nullopt;
  return time;
}

TWallClock AddMinutes(const TWallClock& time, long minutes) {
  return FromCalendarSeconds(CalendarSeconds(time) + static_cast<std::time_t>(minutes) * 60);
}

TWallClock AddDays(const TWallClock& time, int days) { return AddMinutes(time, static_cast<long>(days) * 24 * 60); }

TWallClock NowWallClock() {
  const std::time_t now = std::time(nullptr);
  std::tm fields{};
  ::localtime_r(&now, &fields);
  return {fields.tm_year + 1900, fields.tm_mon + 1, fields.tm_mday, fields.tm_hour, fields.tm_min, fields.tm_sec};
}

std::optional<double> TQueueFiguresRow::ServiceLevelPercent() const {
  const long counted = offered - shortAbandoned;
  if (counted <= 0) return std::nullopt;
  return 100.0 * static_cast<double>(answeredInServiceLevel) / static_cast<double>(counted);
}

namespace {
std::optional<double> Average(long sum, long count) {
  if (count <= 0) return std::nullopt;
  return static_cast<double>(sum) / static_cast<double>(count);
}
}  // namespace

std::optional<double> TQueueFiguresRow::AverageWait() const { return Average(waitSeconds, answered + abandoned); }
std::optional<double> TQueueFiguresRow::AverageSpeedOfAnswer() const { return Average(answerSeconds, answered); }
std::optional<double> TQueueFiguresRow::AverageTalk() const { return Average(talkSeconds, talks); }
std::optional<double> TQueueFiguresRow::AverageWrapUp() const { return Average(wrapUpSeconds, wrapUps); }

void TQueueFiguresRow::Add(const TQueueFiguresRow& other) {
  offered += other.offered;
  answered += other.answered;
  answeredInServiceLevel += other.answeredInServiceLevel;
  abandoned += other.abandoned;
  shortAbandoned += other.shortAbandoned;
  overflowed += other.overflowed;
  waitSeconds += other.waitSeconds;
  longestWait = std::max(longestWait, other.longestWait);
  answerSeconds += other.answerSeconds;
  talks += other.talks;
  talkSeconds += other.talkSeconds;
  wrapUps += other.wrapUps;
  wrapUpSeconds += other.wrapUpSeconds;
}

long TOperatorFiguresRow::PauseSeconds() const {
  long sum = 0;
  for (const auto& [reason, seconds] : pauseSeconds) sum += seconds;
  return sum;
}

std::optional<double> TOperatorFiguresRow::Occupancy() const {
  const long available = loggedInSeconds - PauseSeconds();
  if (available <= 0) return std::nullopt;
  return std::min(100.0, 100.0 * static_cast<double>(talkSeconds + wrapUpSeconds) / static_cast<double>(available));
}

std::vector<std::string> ReportIntervals(const TReportQuery& query) {
  std::vector<std::string> starts;
  const int minutes = MinutesOf(query.interval);
  for (TWallClock at = IntervalStart(query.from, query.interval); at < query.to; at = AddMinutes(at, minutes)) {
    // A day or week starts at midnight, which every day has; a shorter interval may fall into the skipped hour.
    if (minutes >= 24 * 60 || ExistsLocally(at)) starts.push_back(Minutes(at));
  }
  return starts;
}

std::vector<TQueueFiguresRow> RuleFigures(TDataConnection& connection, TSqlDialect dialect, const TReportQuery& query,
                                          bool byInterval) {
  const TReportSql sql(dialect, query);
  // Each row's seconds since the first interval's start: its interval is a division away.
  const TWallClock origin = IntervalStart(query.from, query.interval);
  const long size = MinutesOf(query.interval) * 60L;
  const std::string first = std::to_string(CalendarSeconds(query.from) - CalendarSeconds(origin));
  const std::string last = std::to_string(CalendarSeconds(query.to) - CalendarSeconds(origin));
  const std::string period = byInterval ? "S / " + std::to_string(size) : std::string("0");
  const auto label = [&](const std::string& index) {
    return byInterval ? Minutes(AddMinutes(origin, ToLong(index) * (size / 60))) : std::string();
  };
  // Counted per rule, interval and kind of row (the database's work is one pass with a few sums); the figures are
  // put together from the kinds below. "Within" is the answered within the rule's service level, the abandoned
  // within the short-abandon time.
  std::string text =
      "select Rule_id, " + period + " as Period, Kind, count(*), sum(Seconds), max(Seconds), sum(case when Seconds <= " +
      "(case Kind when 2 then " + ServiceLevelCase(query) + " when 3 then " + std::to_string(kShortAbandonSeconds) +
      " else -1 end) then 1 else 0 end) "
      // S: when the caller was offered (the outcome's time less the seconds since the offer), when the call was
      // answered (its end less the talk), when the wrap-up began (its end less its length).
      "from (select Rule_id, QueueEventType as Kind, coalesce(Seconds, 0) as Seconds, " +
      sql.SecondsSince(origin, "EventTime") +
      " - coalesce(Seconds, 0) as S from tq_VantrelQueueLog where QueueEventType in (2, 3, 5, 12, 14) and EventTime >= " +
      sql.Time(query.from) + " and EventTime < " + sql.Time(AddDays(query.to, kLongestCallDays));
  if (query.rule != 0) text += " and Rule_id = " + std::to_string(query.rule);
  text += ") q where S >= " + first + " and S < " + last + " group by Rule_id, Period, Kind";
  std::map<std::pair<long, std::string>, TQueueFiguresRow> rows;
  for (const auto& fields : connection.QueryRows(text)) {
    const long rule = ToLong(fields[0]);
    const std::string start = label(fields[1]);
    TQueueFiguresRow& row = rows[{rule, start}];
    row.rule = rule;
    row.start = start;
    row.serviceLevelSeconds = ServiceLevelOf(query, rule);
    const long count = ToLong(fields[3]), seconds = ToLong(fields[4]), longest = ToLong(fields[5]),
               within = ToLong(fields[6]);
    switch (ToLong(fields[2])) {
      case 2:  // put through: Seconds since offered
        row.offered += count;
        row.answered += count;
        row.answeredInServiceLevel += within;
        row.waitSeconds += seconds;
        row.answerSeconds += seconds;
        row.longestWait = std::max(row.longestWait, longest);
        break;
      case 3:  // gave up: Seconds since offered
        row.offered += count;
        row.abandoned += count;
        row.shortAbandoned += within;
        row.waitSeconds += seconds;
        row.longestWait = std::max(row.longestWait, longest);
        break;
      case 5:
        row.overflowed += count;
        break;
      case 12:
        row.talks += count;
        row.talkSeconds += seconds;
        break;
      case 14:
        row.wrapUps += count;
        row.wrapUpSeconds += seconds;
        break;
      default:
        break;
    }
  }
  std::vector<TQueueFiguresRow> result;
  for (auto& [key, row] : rows) result.push_back(std::move(row));
  return result;
}

std::vector<TQueueFiguresRow> IntervalFigures(TDataConnection& connection, TSqlDialect dialect,
                                              const TReportQuery& query) {
  std::map<std::string, TQueueFiguresRow> byStart;
  const int serviceLevel = query.rule != 0 ? ServiceLevelOf(query, query.rule) : query.defaultServiceLevel;
  for (const std::string& start : ReportIntervals(query)) {
    TQueueFiguresRow& row = byStart[start];
    row.rule = query.rule;
    row.start = start;
    row.serviceLevelSeconds = serviceLevel;
  }
  for (const TQueueFiguresRow& row : RuleFigures(connection, dialect, query, true)) {
    auto found = byStart.find(row.start);
    if (found == byStart.end()) {
      // The repeated hour of a change to winter time: its calls are in the interval of that wall-clock time.
      found = byStart.emplace(row.start, TQueueFiguresRow{}).first;
      found->second.rule = query.rule;
      found->second.start = row.start;
      found->second.serviceLevelSeconds = serviceLevel;
    }
    found->second.Add(row);
  }
  std::vector<TQueueFiguresRow> result;
  for (auto& [start, row] : byStart) result.push_back(std::move(row));
  return result;
}

std::vector<TOperatorFiguresRow> OperatorFigures(TDataConnection& connection, TSqlDialect dialect,
                                                 const TReportQuery& query) {
  const TReportSql sql(dialect, query);
  std::map<long, TOperatorFiguresRow> rows;
  const auto rowOf = [&](long id) -> TOperatorFiguresRow& {
    TOperatorFiguresRow& row = rows[id];
    row.operatorID = id;
    return row;
  };
  const std::string only = query.operatorID != 0 ? " and Operator_id = " + std::to_string(query.operatorID) : "";
  // One pass over the range: calls put through to the operator (2), the talk of the calls that ended (12), and the
  // states that ended with the seconds they lasted (10 logged in, 13 paused by reason, 14 wrap-up, 15 busy), each
  // less any part before the range.
  const auto add = [](TOperatorFiguresRow& row, long kind, long reason, long seconds) {
    if (kind == 9 || kind == 10) row.loggedInSeconds += seconds;
    if (kind == 6 || kind == 13) row.pauseSeconds[reason] += seconds;
    if (kind == 8 || kind == 14) row.wrapUpSeconds += seconds;
    if (kind == 11 || kind == 15) row.busySeconds += seconds;
    if (kind == 12) row.talkSeconds += seconds;
  };
  for (const auto& fields : connection.QueryRows(
           "select Operator_id, QueueEventType, case when QueueEventType = 13 then coalesce(Reason, 0) else 0 end as "
           "PauseReason, count(*), sum(" +
           sql.Least("coalesce(Seconds, 0)", sql.SecondsSince(query.from, "EventTime")) +
           ") from tq_VantrelQueueLog where QueueEventType in (2, 10, 12, 13, 14, 15) and Operator_id > 0 and "
           "EventTime >= " +
           sql.Time(query.from) + " and EventTime < " + sql.Time(query.to) + only +
           " group by Operator_id, QueueEventType, PauseReason")) {
    TOperatorFiguresRow& row = rowOf(ToLong(fields[0]));
    const long kind = ToLong(fields[1]);
    if (kind == 2) {
      row.answered += ToLong(fields[3]);
      continue;
    }
    add(row, kind, ToLong(fields[2]), std::max(0L, ToLong(fields[4])));
    if (kind == 14) row.wrapUps += ToLong(fields[3]);
  }
  // The states still open at the end of the range (begun, and not ended before it) count from their start (or the
  // range's) to the end of the range or now, by the local clock.
  std::map<long, std::map<long, long>> last;  // operator -> kind -> the ID of its last row
  for (const auto& fields : connection.QueryRows(
           "select Operator_id, QueueEventType, max(ID) from tq_VantrelQueueLog where QueueEventType in (6, 8, 9, 10, "
           "11, 13, 14, 15) and Operator_id > 0 and EventTime >= " +
           sql.Time(std::min(AddDays(query.from, -kOpenStateDays), AddDays(query.to, -kOpenStateDays))) +
           " and EventTime < " + sql.Time(query.to) + only +
           " group by Operator_id, QueueEventType")) {
    last[ToLong(fields[0])][ToLong(fields[1])] = ToLong(fields[2]);
  }
  std::string open;
  for (const auto& [id, kinds] : last) {
    for (const auto& [began, ended] : {std::pair{9L, 10L}, {6L, 13L}, {8L, 14L}, {11L, 15L}}) {
      const auto start = kinds.find(began);
      const auto end = kinds.find(ended);
      if (start != kinds.end() && (end == kinds.end() || end->second < start->second))
        open += (open.empty() ? "" : ", ") + std::to_string(start->second);
    }
  }
  if (!open.empty()) {
    const TWallClock until = OpenStatesEnd(query);
    for (const auto& fields : connection.QueryRows(
             "select Operator_id, QueueEventType, coalesce(Reason, 0), EventTime from tq_VantrelQueueLog where ID in (" +
             open + ")")) {
      const auto began = WallClockFromText(fields[3].substr(0, 19));
      if (!began) continue;
      const long seconds = static_cast<long>(LocalSeconds(until) - LocalSeconds(std::max(*began, query.from)));
      if (seconds > 0) add(rowOf(ToLong(fields[0])), ToLong(fields[1]), ToLong(fields[2]), seconds);
    }
  }
  // Hold at the operator's line: from each hold row of a call to the call's next row at that line.
  for (const auto& fields : connection.QueryRows(
           "with h as (select Operator_id, CallEventType as Kind, EndTime as Started, lead(EndTime) over (partition "
           "by CallHandle, LinePhoneNumber order by EventOrder) as Ended from tq_VantrelLog where CallEventType in "
           "(6, 7, 8, 9) and EndTime >= " +
           sql.Time(query.from) + " and EndTime < " + sql.Time(AddDays(query.to, kLongestCallDays)) + only +
           ") select Operator_id, sum(" + sql.SecondsBetween("Started", "Ended") +
           ") from h where Kind = 6 and Ended is not null and Operator_id > 0 and Started < " + sql.Time(query.to) +
           " group by Operator_id")) {
    rowOf(ToLong(fields[0])).holdSeconds = ToLong(fields[1]);
  }
  if (!rows.empty()) {
    std::string ids;
    for (const auto& [id, row] : rows) ids += (ids.empty() ? "" : ", ") + std::to_string(id);
    for (const auto& fields : connection.QueryRows("select ID, Name from tq_Contact where ID in (" + ids + ")")) {
      const auto found = rows.find(ToLong(fields[0]));
      if (found != rows.end()) found->second.name = fields[1];
    }
  }
  std::vector<TOperatorFiguresRow> result;
  for (auto& [id, row] : rows) result.push_back(std::move(row));
  return result;
}

std::vector<THeatCell> OfferedByWeekdayAndHour(TDataConnection& connection, TSqlDialect dialect,
                                               const TReportQuery& query) {
  const TReportSql sql(dialect, query);
  // Hours since the first day's midnight, then weekday and hour by the calendar.
  const TWallClock origin = IntervalStart(query.from, TReportInterval::Day);
  std::string text = "select S / 3600 as HourIndex, count(*) from (select " + sql.SecondsSince(origin, "EventTime") +
                     " - coalesce(Seconds, 0) as S from tq_VantrelQueueLog where QueueEventType in (2, 3) and "
                     "EventTime >= " +
                     sql.Time(query.from) + " and EventTime < " + sql.Time(AddDays(query.to, kLongestCallDays));
  if (query.rule != 0) text += " and Rule_id = " + std::to_string(query.rule);
  text += ") q where S >= " + std::to_string(CalendarSeconds(query.from) - CalendarSeconds(origin)) + " and S < " +
          std::to_string(CalendarSeconds(query.to) - CalendarSeconds(origin)) + " group by HourIndex";
  std::tm fields{};
  const std::time_t midnight = CalendarSeconds(origin);
  ::gmtime_r(&midnight, &fields);
  std::map<std::pair<int, int>, long> counts;
  for (const auto& row : connection.QueryRows(text)) {
    const long hours = ToLong(row[0]);
    counts[{static_cast<int>((fields.tm_wday + hours / 24) % 7), static_cast<int>(hours % 24)}] += ToLong(row[1]);
  }
  std::vector<THeatCell> cells;
  for (const auto& [at, offered] : counts) cells.push_back({at.first, at.second, offered});
  return cells;
}

}  // namespace vantrel
