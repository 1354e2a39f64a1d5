// The supervisors' reports on a year of a 50-seat centre, run by hand: about a million queue-log rows written by
// the call-log writer, then each report for a week by half hours and for the year by days, medians of 5; then the
// call-log writer's rows per second with and without the reports' indexes, A/B alternated in one run.
// SQLite always; PostgreSQL when VANTREL_TEST_POSTGRES names the test server (a database of its own is made).
//   vantrel_bench_reports [DAYS]   (default 365)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "database/CallLogWriter.h"
#include "database/CrmSchema.h"
#include "database/Reports.h"
#include "database/SampleHistory.h"

using namespace vantrel;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

namespace {

constexpr int kRounds = 5;
constexpr int kSeats = 50;
constexpr int kCallersPerDay = 500;
constexpr int kWriterRows = 20000;

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

double SecondsOf(const std::function<void()>& body) {
  const auto start = Clock::now();
  body();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

TSampleDay Day(int offset, std::uint32_t salt) {
  const TWallClock date = AddDays(TWallClock{2025, 1, 1, 0, 0, 0}, offset);
  TSampleDay day;
  day.year = date.year;
  day.month = date.month;
  day.day = date.day;
  for (long id = 1; id <= kSeats; ++id) day.operators.push_back(id);
  day.rules = {1, 2, 3};
  day.callers = kCallersPerDay;
  day.seed = static_cast<std::uint32_t>(offset) * 7919u + salt;
  return day;
}

// Rows through the server's writer; returns rows per second.
double Write(const std::string& folder, const std::string& connectionString, const std::vector<TCallLogRow>& rows) {
  const fs::path journal = fs::path(folder) / "bench.journal";
  TCallLogWriter writer(folder, journal, [&] { return connectionString; });
  // The first batch after a start makes sure of the tables and indexes: not part of the figure.
  writer.Append(rows.front());
  writer.WaitUntilWritten(std::chrono::minutes(1));
  const double seconds = SecondsOf([&] {
    for (std::size_t i = 1; i < rows.size(); ++i) writer.Append(rows[i]);
    if (!writer.WaitUntilWritten(std::chrono::minutes(30))) std::fprintf(stderr, "rows not written in time\n");
  });
  return static_cast<double>(rows.size() - 1) / seconds;
}

// A call's call-log rows, as a line writes them, for the writer's mix.
std::vector<TCallLogRow> CallRows(int call, const std::string& day) {
  std::vector<TCallLogRow> rows;
  for (const int type : {1, 2, 6, 8, 9}) {
    TCallLogRow row;
    row.CallEventType = type;
    row.CallHandle = "20260101000000-" + std::to_string(900000 + call);
    row.BeginTime = day + " 10:00:00";
    row.EndTime = day + " 10:0" + std::to_string(type % 10) + ":00";
    row.LinePhoneNumber = "201";
    row.Operator_id = 1 + call % kSeats;
    rows.push_back(row);
  }
  return rows;
}

void Run(const char* name, const std::string& folder, const std::string& connectionString, int days) {
  TDataConnection connection(folder);
  connection.SetConnectionString(connectionString);
  connection.Open();
  const TSqlDialect dialect = connection.Dialect();
  for (const char* table : {"tq_VantrelLog", "tq_VantrelQueueLog", "tq_Company", "tq_Contact", "tq_ContactPhone",
                            "tq_CompanyPhone", "tq_ContactInGroup"}) {
    connection.Execute(std::string("drop table if exists ") + table);
  }
  CreateCrmSchema(connection, dialect);
  AddSampleCrm(connection);

  std::vector<TCallLogRow> year;
  for (int offset = 0; offset < days; ++offset) {
    auto rows = SampleDayRows(Day(offset, 1));
    year.insert(year.end(), std::make_move_iterator(rows.begin()), std::make_move_iterator(rows.end()));
  }
  const double fillRate = Write(folder, connectionString, year);
  std::printf("%s: %zu queue-log rows (%d days, %d seats, %d callers a day) written at %.0f rows/s\n", name,
              year.size(), days, kSeats, kCallersPerDay, fillRate);

  TReportQuery week;
  week.from = AddDays(TWallClock{2025, 1, 1, 0, 0, 0}, std::min(days - 7, 160));
  week.to = AddDays(week.from, 7);
  week.interval = TReportInterval::Minutes30;
  week.now = TWallClock{2026, 1, 1, 0, 0, 0};
  TReportQuery wholeYear = week;
  wholeYear.from = TWallClock{2025, 1, 1, 0, 0, 0};
  wholeYear.to = AddDays(wholeYear.from, days);
  wholeYear.interval = TReportInterval::Day;
  for (const auto& [label, query] : {std::pair{"week by 30 min", week}, std::pair{"year by day", wholeYear}}) {
    const std::pair<const char*, std::function<std::size_t()>> reports[] = {
        {"rules", [&, q = query] { return RuleFigures(connection, dialect, q, false).size(); }},
        {"intervals", [&, q = query] {
           return IntervalFigures(connection, dialect, q).size() + OfferedByWeekdayAndHour(connection, dialect, q).size();
         }},
        {"operators", [&, q = query] { return OperatorFigures(connection, dialect, q).size(); }},
    };
    for (const auto& [report, body] : reports) {
      std::vector<double> times;
      std::size_t rows = 0;
      for (int round = 0; round < kRounds; ++round) times.push_back(SecondsOf([&] { rows = body(); }) * 1000.0);
      std::printf("%s: %-14s %-9s median %7.1f ms (min %.1f, max %.1f), %zu rows\n", name, label, report,
                  Median(times), *std::min_element(times.begin(), times.end()),
                  *std::max_element(times.begin(), times.end()), rows);
    }
  }

  // The writer with and without the reports' two indexes, in turn, on the full log: queue rows of further days and
  // a call's call-log rows beside each answered caller.
  std::vector<double> without, with;
  for (int round = 0; round < 2 * kRounds; ++round) {
    const bool indexes = round % 2 == 1;
    if (indexes) CreateCrmSchema(connection, dialect);  // made again on the full log, before the clock starts
    std::vector<TCallLogRow> rows;
    for (int day = 0; static_cast<int>(rows.size()) < kWriterRows; ++day) {
      const TSampleDay sample = Day(days + round * 10 + day, 2);
      int call = 0;
      for (auto& row : SampleDayRows(sample)) {
        if (row.QueueEvent == TQueueEvent::Connected) {
          for (auto& callRow : CallRows(round * 100000 + day * 1000 + call++, row.BeginTime.substr(0, 10)))
            rows.push_back(callRow);
        }
        rows.push_back(std::move(row));
      }
    }
    rows.resize(kWriterRows);
    // The writer makes missing indexes on its first batch: without them, it runs on a log whose indexes it made.
    const double rate = [&] {
      if (indexes) return Write(folder, connectionString, rows);
      const fs::path journal = fs::path(folder) / "bench.journal";
      TCallLogWriter writer(folder, journal, [&] { return connectionString; });
      writer.Append(rows.front());
      writer.WaitUntilWritten(std::chrono::minutes(1));
      TDataConnection other(folder);
      other.SetConnectionString(connectionString);
      other.Execute("drop index ix_VantrelQueueLog_EventTime");
      other.Execute("drop index ix_VantrelLog_EndTime");
      const double seconds = SecondsOf([&] {
        for (std::size_t i = 1; i < rows.size(); ++i) writer.Append(rows[i]);
        writer.WaitUntilWritten(std::chrono::minutes(30));
      });
      return static_cast<double>(rows.size() - 1) / seconds;
    }();
    (indexes ? with : without).push_back(rate);
  }
  std::printf("%s: call-log writer without the reports' indexes median %.0f rows/s (%.0f-%.0f), with them %.0f rows/s "
              "(%.0f-%.0f): %.2fx\n",
              name, Median(without), *std::min_element(without.begin(), without.end()),
              *std::max_element(without.begin(), without.end()), Median(with),
              *std::min_element(with.begin(), with.end()), *std::max_element(with.begin(), with.end()),
              Median(with) / Median(without));
}

}  // namespace

int main(int argc, char** argv) {
  const int days = argc > 1 ? std::max(8, std::atoi(argv[1])) : 365;
  const fs::path folder = fs::temp_directory_path() / ("vantrel-bench-reports-" + std::to_string(::getpid()));
  fs::create_directories(folder);
  try {
    Run("SQLite", folder.string(), "Provider=SQLite;Data Source=reports.sqlite3", days);
    if (const char* postgres = std::getenv("VANTREL_TEST_POSTGRES")) {
      TDataConnection server;
      server.SetConnectionString(postgres);
      const auto exists = server.QueryFirstRow(
          "select count(*) as Found from pg_database where datname = 'vantrel_reports_bench'", {"Found"});
      if (exists && exists->front() == "0") server.Execute("create database vantrel_reports_bench");
      std::string own = postgres;
      const auto at = own.find("Database=vantrel_test");
      if (at != std::string::npos) own.replace(at, 21, "Database=vantrel_reports_bench");
      Run("PostgreSQL", folder.string(), own, days);
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "vantrel_bench_reports: %s\n", error.what());
    fs::remove_all(folder);
    return 1;
  }
  if (std::getenv("VANTREL_BENCH_KEEP") == nullptr) fs::remove_all(folder);
  return 0;
}
