// The supervisors' reports against the CRM backends: a known day written through the call-log writer, and every
// figure of every report compared with the count made by hand (SeededDay.h tells the day's story).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>

#include "CrmBackends.h"
#include "SeededDay.h"
#include "database/CallLogWriter.h"
#include "database/Reports.h"

using namespace vantrel;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// The reports count in the server's local time; the seeded Sunday is Europe/Berlin's change to summer time.
class BerlinTime {
 public:
  BerlinTime() {
    const char* was = std::getenv("TZ");
    if (was != nullptr) previous_ = was;
    hadTz_ = was != nullptr;
    ::setenv("TZ", "Europe/Berlin", 1);
    ::tzset();
  }
  ~BerlinTime() {
    if (hadTz_) {
      ::setenv("TZ", previous_.c_str(), 1);
    } else {
      ::unsetenv("TZ");
    }
    ::tzset();
  }

 private:
  std::string previous_;
  bool hadTz_ = false;
};

// A database of its own on the PostgreSQL server, so that other tests' tables there are not touched.
std::string ReportsConnectionString(crmtest::CrmBackend backend) {
  const std::string shared = crmtest::CrmConnectionString(backend);
  if (backend == crmtest::CrmBackend::SQLite || shared.empty()) return shared;
  TDataConnection server;
  server.SetConnectionString(shared);
  const auto exists = server.QueryFirstRow(
      "select count(*) as Found from pg_database where datname = 'vantrel_reports_test'", {"Found"});
  if (exists && exists->front() == "0") server.Execute("create database vantrel_reports_test");
  const std::string database = "Database=vantrel_test";
  std::string own = shared;
  const auto at = own.find(database);
  if (at != std::string::npos) own.replace(at, database.size(), "Database=vantrel_reports_test");
  return own;
}

class Reports : public ::testing::TestWithParam<crmtest::CrmBackend> {
 protected:
  void SetUp() override {
    connectionString_ = ReportsConnectionString(GetParam());
    if (connectionString_.empty()) GTEST_SKIP() << crmtest::kNoPostgres;
    folder_ = fs::temp_directory_path() / ("vantrel-reports-" + std::to_string(::getpid()));
    fs::remove_all(folder_);
    fs::create_directories(folder_);
    connection_.SetBaseFolder(folder_.string());
    connection_.SetConnectionString(connectionString_);
    connection_.Open();
    dialect_ = connection_.Dialect();
    if (GetParam() == crmtest::CrmBackend::PostgreSQL) {
      for (const char* table : {"tq_VantrelLog", "tq_VantrelQueueLog", "tq_Company", "tq_Contact", "tq_ContactPhone",
                                "tq_CompanyPhone", "tq_ContactInGroup"}) {
        connection_.Execute(std::string("drop table if exists ") + table);
      }
    }
    CreateCrmSchema(connection_, dialect_);
    AddSampleCrm(connection_);
    TCallLogWriter writer(folder_.string(), folder_ / "CallLog.journal", [this] { return connectionString_; });
    for (const TCallLogRow& row : seeded::Rows()) writer.Append(row);
    ASSERT_TRUE(writer.WaitUntilWritten(30s));
  }
  void TearDown() override {
    connection_.Close();
    fs::remove_all(folder_);
  }

  TReportQuery Query(const std::string& from, const std::string& to, TReportInterval interval) const {
    TReportQuery query;
    query.from = *WallClockFromText(from);
    query.to = *WallClockFromText(to);
    query.interval = interval;
    query.now = *WallClockFromText("2026-04-01 12:00");
    query.serviceLevelSeconds = {{1, 20}, {2, 30}};
    return query;
  }
  const TQueueFiguresRow* Find(const std::vector<TQueueFiguresRow>& rows, const std::string& start) {
    for (const auto& row : rows)
      if (row.start == start) return &row;
    return nullptr;
  }

  BerlinTime berlin_;
  std::string connectionString_;
  fs::path folder_;
  TDataConnection connection_;
  TSqlDialect dialect_ = TSqlDialect::SQLite;
};

// offered, answered, in level, abandoned, short, overflowed, wait sum, longest, answer sum, talks, talk sum,
// wrap-ups, wrap-up sum
std::vector<long> Figures(const TQueueFiguresRow& row) {
  return {row.offered,     row.answered,    row.answeredInServiceLevel, row.abandoned,   row.shortAbandoned,
          row.overflowed,  row.waitSeconds, row.longestWait,            row.answerSeconds, row.talks,
          row.talkSeconds, row.wrapUps,     row.wrapUpSeconds};
}

}  // namespace

TEST_P(Reports, EachRulesFiguresOfTheDayAreTheCallsCountedByHand) {
  const auto rows = RuleFigures(connection_, dialect_, Query("2026-03-28", "2026-03-29", TReportInterval::Day), false);
  ASSERT_EQ(rows.size(), 2u);
  // Rule 1: callers 1-6 and 9 (offered before midnight); 1, 6 and 9 within 20 s; 3 is a short abandon; 9's talk
  // is on Sunday.
  EXPECT_EQ(rows[0].rule, 1);
  EXPECT_EQ(Figures(rows[0]), (std::vector<long>{7, 5, 3, 2, 1, 1, 198, 80, 155, 4, 420, 2, 50}));
  EXPECT_DOUBLE_EQ(*rows[0].ServiceLevelPercent(), 50.0);  // 3 of 7 less the short abandon
  EXPECT_DOUBLE_EQ(*rows[0].AverageSpeedOfAnswer(), 31.0);
  EXPECT_DOUBLE_EQ(*rows[0].AverageWrapUp(), 25.0);
  EXPECT_EQ(rows[1].rule, 2);
  EXPECT_EQ(Figures(rows[1]), (std::vector<long>{2, 1, 1, 1, 0, 1, 65, 40, 25, 1, 300, 0, 0}));
  EXPECT_EQ(rows[1].serviceLevelSeconds, 30);

  // Rules the server no longer knows have the default service level (20 s): rule 2's caller 7 (25 s) is then out.
  auto unknown = Query("2026-03-28", "2026-03-29", TReportInterval::Day);
  unknown.serviceLevelSeconds.clear();
  EXPECT_EQ(RuleFigures(connection_, dialect_, unknown, false)[1].answeredInServiceLevel, 0);

  auto only = Query("2026-03-28", "2026-03-29", TReportInterval::Day);
  only.rule = 2;
  const auto one = RuleFigures(connection_, dialect_, only, false);
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(Figures(one[0]), Figures(rows[1]));
}

TEST_P(Reports, EveryIntervalSizeCountsEachCallerInTheIntervalItWasOfferedIn) {
  struct TCase {
    TReportInterval interval;
    std::size_t intervals;
    std::vector<std::pair<std::string, long>> offered;  // the intervals with callers
  };
  const TCase cases[] = {
      {TReportInterval::Minutes15, 96,
       {{"2026-03-28 09:00", 2}, {"2026-03-28 09:15", 2}, {"2026-03-28 09:30", 1}, {"2026-03-28 09:45", 1},
        {"2026-03-28 10:00", 1}, {"2026-03-28 14:00", 1}, {"2026-03-28 23:45", 1}}},
      {TReportInterval::Minutes30, 48,
       {{"2026-03-28 09:00", 4}, {"2026-03-28 09:30", 2}, {"2026-03-28 10:00", 1}, {"2026-03-28 14:00", 1},
        {"2026-03-28 23:30", 1}}},
      {TReportInterval::Hour, 24,
       {{"2026-03-28 09:00", 6}, {"2026-03-28 10:00", 1}, {"2026-03-28 14:00", 1}, {"2026-03-28 23:00", 1}}},
      {TReportInterval::Day, 1, {{"2026-03-28 00:00", 9}}},
      {TReportInterval::Week, 1, {{"2026-03-23 00:00", 9}}},  // the Monday of the week
  };
  for (const TCase& test : cases) {
    SCOPED_TRACE(ReportIntervalText(test.interval));
    const auto rows = IntervalFigures(connection_, dialect_, Query("2026-03-28", "2026-03-29", test.interval));
    EXPECT_EQ(rows.size(), test.intervals);
    long total = 0;
    for (const auto& row : rows) total += row.offered;
    EXPECT_EQ(total, 9);
    for (const auto& [start, offered] : test.offered) {
      const TQueueFiguresRow* row = Find(rows, start);
      ASSERT_NE(row, nullptr) << start;
      EXPECT_EQ(row->offered, offered) << start;
    }
  }
  // Within an interval: the first half hour has 1 and 2 answered (1 in level), 3 and 4 gone (3 short).
  const auto halfHours = IntervalFigures(connection_, dialect_, Query("2026-03-28", "2026-03-29", TReportInterval::Minutes30));
  const TQueueFiguresRow* first = Find(halfHours, "2026-03-28 09:00");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(Figures(*first), (std::vector<long>{4, 2, 1, 2, 1, 0, 98, 45, 55, 2, 300, 2, 50}));
  // Caller 8 overflowed and gave up in the quarter after 14:15, but was offered before it.
  const TQueueFiguresRow* eight = Find(halfHours, "2026-03-28 14:00");
  ASSERT_NE(eight, nullptr);
  EXPECT_EQ(eight->overflowed, 1);
  EXPECT_EQ(eight->abandoned, 1);
}

TEST_P(Reports, ARangeAcrossMidnightAndTheChangeToSummerTimeHasTheDaysHours) {
  const auto rows = IntervalFigures(connection_, dialect_,
                                    Query("2026-03-28T22:00", "2026-03-29T06:00", TReportInterval::Hour));
  std::vector<std::string> starts;
  for (const auto& row : rows) starts.push_back(row.start.substr(11));
  // 02:00 does not exist in Berlin that night.
  EXPECT_EQ(starts, (std::vector<std::string>{"22:00", "23:00", "00:00", "01:00", "03:00", "04:00", "05:00"}));
  EXPECT_EQ(Figures(*Find(rows, "2026-03-28 23:00")), (std::vector<long>{1, 1, 1, 0, 0, 0, 15, 15, 15, 0, 0, 0, 0}));
  EXPECT_EQ(Figures(*Find(rows, "2026-03-29 00:00")), (std::vector<long>{0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 60, 0, 0}));
  EXPECT_EQ(Figures(*Find(rows, "2026-03-29 01:00")), (std::vector<long>{1, 0, 0, 1, 0, 0, 8, 8, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Figures(*Find(rows, "2026-03-29 03:00")), (std::vector<long>{1, 1, 1, 0, 0, 0, 12, 12, 12, 0, 0, 0, 0}));

  const auto days = IntervalFigures(connection_, dialect_, Query("2026-03-28", "2026-03-30", TReportInterval::Day));
  ASSERT_EQ(days.size(), 2u);
  EXPECT_EQ(days[0].offered, 9);
  EXPECT_EQ(days[1].offered, 2);

  // Boris was logged in from 01:55 to 03:20 by the clock: 25 minutes.
  auto sunday = Query("2026-03-29", "2026-03-30", TReportInterval::Day);
  const auto operators = OperatorFigures(connection_, dialect_, sunday);
  ASSERT_EQ(operators.size(), 2u);
  EXPECT_EQ(operators[0].operatorID, 1);
  EXPECT_EQ(operators[0].answered, 1);
  EXPECT_EQ(operators[0].talkSeconds, 60);
  EXPECT_EQ(operators[0].loggedInSeconds, 30 * 60);
  EXPECT_EQ(operators[1].loggedInSeconds, 25 * 60);
  EXPECT_EQ(operators[1].answered, 1);
}

TEST_P(Reports, EachOperatorsCallsStatesAndOccupancyAreTheDayCountedByHand) {
  const auto rows = OperatorFigures(connection_, dialect_, Query("2026-03-28", "2026-03-29", TReportInterval::Day));
  ASSERT_EQ(rows.size(), 2u);
  const TOperatorFiguresRow& anna = rows[0];
  EXPECT_EQ(anna.operatorID, 1);
  EXPECT_EQ(anna.name, "Anna Berg");
  EXPECT_EQ(anna.answered, 3);  // 1, 5 and 7; 9 is hers on Sunday
  EXPECT_EQ(anna.talkSeconds, 540);
  EXPECT_EQ(anna.holdSeconds, 70);
  EXPECT_EQ(anna.wrapUps, 1);
  EXPECT_EQ(anna.wrapUpSeconds, 30);
  EXPECT_EQ(anna.busySeconds, 600);
  EXPECT_EQ(anna.pauseSeconds, (std::map<long, long>{{5, 900}, {7, 1800}}));
  // 08:55 to 17:00, and 23:50 to midnight of the next login.
  EXPECT_EQ(anna.loggedInSeconds, (8 * 60 + 5) * 60 + 10 * 60);
  EXPECT_NEAR(*anna.Occupancy(), 100.0 * 570 / (29700 - 2700), 1e-9);
  const TOperatorFiguresRow& boris = rows[1];
  EXPECT_EQ(boris.name, "Boris Klein");
  EXPECT_EQ(boris.answered, 2);
  EXPECT_EQ(boris.talkSeconds, 180);
  EXPECT_EQ(boris.holdSeconds, 0);
  EXPECT_EQ(boris.wrapUpSeconds, 20);
  EXPECT_EQ(boris.pauseSeconds, (std::map<long, long>{{5, 9000}}));  // paused until he logged out
  EXPECT_EQ(boris.loggedInSeconds, (9 * 60 + 25) * 60);

  // A range that starts in the middle of a state counts only its part in the range.
  auto afternoon = Query("2026-03-28T11:10", "2026-03-28T12:10", TReportInterval::Hour);
  afternoon.operatorID = 1;
  const auto part = OperatorFigures(connection_, dialect_, afternoon);
  ASSERT_EQ(part.size(), 1u);
  EXPECT_EQ(part[0].loggedInSeconds, 3600);
  EXPECT_EQ(part[0].pauseSeconds, (std::map<long, long>{{5, 300}, {7, 600}}));
}

TEST_P(Reports, TheWhenChartCountsOfferedCallersByWeekdayAndHour) {
  const auto cells = OfferedByWeekdayAndHour(connection_, dialect_, Query("2026-03-28", "2026-03-30", TReportInterval::Day));
  std::vector<std::string> seen;
  for (const auto& cell : cells)
    seen.push_back(std::to_string(cell.weekday) + "@" + std::to_string(cell.hour) + "=" + std::to_string(cell.offered));
  EXPECT_EQ(seen, (std::vector<std::string>{"0@1=1", "0@3=1", "6@9=6", "6@10=1", "6@14=1", "6@23=1"}));
}

INSTANTIATE_TEST_SUITE_P(Crm, Reports, ::testing::Values(crmtest::CrmBackend::SQLite, crmtest::CrmBackend::PostgreSQL),
                         crmtest::CrmBackendName);

TEST(ReportParameters, TimesAndIntervalsAreReadOnlyWhenTheyAreReal) {
  EXPECT_TRUE(WallClockFromText("2026-02-28"));
  EXPECT_FALSE(WallClockFromText("2026-02-29"));
  EXPECT_FALSE(WallClockFromText("2026-13-01"));
  EXPECT_FALSE(WallClockFromText("2026-01-01T24:00"));
  EXPECT_FALSE(WallClockFromText("2026-01-01' or 1=1 --"));
  EXPECT_EQ(WallClockFromText("2026-03-29T03:10")->Text(), "2026-03-29 03:10:00");
  EXPECT_EQ(ReportIntervalFromText("30min"), TReportInterval::Minutes30);
  EXPECT_FALSE(ReportIntervalFromText("5min"));
}
