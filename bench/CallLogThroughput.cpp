// Call-log rows per second, run by hand. A/B in one run, alternated, five rounds each:
//   A: the earlier path, one transaction per row (the EventOrder select, then the insert), SQLite in its
//      rollback-journal mode with full sync;
//   B: the call-log writer: rows handed over (what a line pays), then written in batches by its thread.
// On SQLite with an empty call log and with one of a million rows, and on PostgreSQL when
// VANTREL_TEST_POSTGRES names the test server. Then the line's own WriteLog on the telephony thread.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/InProcessServer.h"
#include "database/CallLogWriter.h"
#include "support/FormatText.h"

using namespace vantrel;
using namespace vantrel::bench;
using telephony::TSoftExchange;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

namespace {

constexpr int kRounds = 5;
constexpr int kRowsPerCall = 8;

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Figures {
  std::vector<double> rowsPerSecond, cpuMicrosPerRow, handOffMicrosPerRow;
};

std::string Summary(std::vector<double> values, const char* format) {
  std::sort(values.begin(), values.end());
  char text[128];
  std::snprintf(text, sizeof text, format, values[values.size() / 2], values.front(), values.back());
  return text;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

TCallLogRow Row(int call, int type) {
  TCallLogRow row;
  row.CallEventType = type;
  row.CallHandle = "20261207" + std::to_string(100000 + call % 100000) + "-" + std::to_string(65536 + call);
  row.BeginTime = "2026-12-07 10:00:00";
  row.EndTime = "2026-12-07 10:00:05";
  row.LinePhoneNumber = "4000";
  row.CallerPhoneNumber = "5550" + std::to_string(call % 1000);
  row.CalledPhoneNumber = "4000";
  row.ConnectedPhoneNumber = "4001";
  return row;
}

// Rows of earlier calls, eight per call key, as a busy call centre's log holds them.
void FillCallLog(TDataConnection& crm, int rows) {
  crm.Execute(
      "with recursive n(i) as (select 0 union all select i + 1 from n where i + 1 < " + std::to_string(rows) +
      ") insert into tq_VantrelLog (CallEventType, CallHandle, BeginTime, EndTime, LinePhoneNumber, LineIsOuter, "
      "CallerPhoneNumber, CalledPhoneNumber, ConnectedPhoneNumber, Operator_id, Task_id, EventOrder, "
      "ParentCallHandle, ConsultCallHandle) select i % 10, '20250101' || printf('%06d', i / 80) || '-' || "
      "(65536 + i / 8), '2025-01-01 08:00:00', '2025-01-01 08:00:05', '4000', 0, '5550' || (i % 1000), '4000', "
      "'4000', 0, 0, i % 8 + 1, '', '' from n");
}

// A fresh CRM; SQLite files get the journal mode asked for (WAL is a property of the file).
void MakeCrm(const fs::path& folder, const std::string& connectionString, bool rollbackJournal, int earlierRows) {
  fs::remove_all(folder);
  fs::create_directories(folder);
  TDataConnection crm(folder.string());
  crm.SetConnectionString(connectionString);
  crm.Open();
  if (crm.Dialect() == TSqlDialect::PostgreSQL) crm.Execute("drop table if exists tq_VantrelLog");
  if (rollbackJournal) crm.Execute("pragma journal_mode=DELETE");
  CreateCrmSchema(crm, crm.Dialect());
  if (earlierRows > 0) FillCallLog(crm, earlierRows);
}

// A: each row its own select and insert, as WriteLog did on the telephony thread.
void MeasureRowByRow(const fs::path& folder, const std::string& connectionString, int rows, Figures& figures) {
  TDataConnection crm(folder.string());
  crm.SetConnectionString(connectionString);
  crm.Open();
  if (crm.Dialect() == TSqlDialect::SQLite) crm.Execute("pragma synchronous=FULL");
  const double cpu = CpuSeconds();
  const auto start = Clock::now();
  for (int i = 0; i < rows; ++i) {
    const TCallLogRow row = Row(i / kRowsPerCall, i % kRowsPerCall);
    const auto next = crm.QueryFirstRow(TCallLogWriter::NextEventOrderStatement(row.CallHandle), {"EventOrder"});
    crm.Execute(TCallLogWriter::InsertStatement(row, next ? StrToIntDef(next->front(), 0) : 0));
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  figures.rowsPerSecond.push_back(rows / seconds);
  figures.cpuMicrosPerRow.push_back((CpuSeconds() - cpu) / rows * 1e6);
  figures.handOffMicrosPerRow.push_back(seconds / rows * 1e6);  // the line waits for all of it
}

// B: the writer.
void MeasureWriter(const fs::path& folder, const std::string& connectionString, int rows, Figures& figures) {
  TCallLogWriter writer(folder.string(), folder / "CallLog.journal", [&] { return connectionString; });
  const double cpu = CpuSeconds();
  const auto start = Clock::now();
  double handOff = 0;
  for (int i = 0; i < rows; ++i) {
    TCallLogRow row = Row(i / kRowsPerCall, i % kRowsPerCall);
    const auto before = Clock::now();
    writer.Append(std::move(row));
    handOff += std::chrono::duration<double>(Clock::now() - before).count();
  }
  if (!writer.WaitUntilWritten(std::chrono::minutes(5))) std::printf("  (the writer did not finish)\n");
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  figures.rowsPerSecond.push_back(rows / seconds);
  figures.cpuMicrosPerRow.push_back((CpuSeconds() - cpu) / rows * 1e6);
  figures.handOffMicrosPerRow.push_back(handOff / rows * 1e6);
}

void CompareOn(const char* name, const std::string& connectionString, int earlierRows, int rowsA, int rowsB) {
  const fs::path base = fs::temp_directory_path() / "vantrel-bench-calllog";
  const bool sqlite = connectionString.find("SQLite") != std::string::npos;
  Figures a, b;
  for (int round = 0; round < kRounds; ++round) {
    MakeCrm(base / "a", connectionString, sqlite, earlierRows);
    MeasureRowByRow(base / "a", connectionString, rowsA, a);
    MakeCrm(base / "b", connectionString, false, earlierRows);
    MeasureWriter(base / "b", connectionString, rowsB, b);
  }
  fs::remove_all(base);
  std::printf("%s\n", name);
  std::printf("  A row by row: %s rows/s, CPU %s us/row, the line waits %s us/row\n",
              Summary(a.rowsPerSecond, "%7.0f (%.0f-%.0f)").c_str(),
              Summary(a.cpuMicrosPerRow, "%5.1f (%.1f-%.1f)").c_str(),
              Summary(a.handOffMicrosPerRow, "%7.1f (%.1f-%.1f)").c_str());
  std::printf("  B writer:     %s rows/s, CPU %s us/row, the line waits %s us/row\n",
              Summary(b.rowsPerSecond, "%7.0f (%.0f-%.0f)").c_str(),
              Summary(b.cpuMicrosPerRow, "%5.1f (%.1f-%.1f)").c_str(),
              Summary(b.handOffMicrosPerRow, "%7.2f (%.2f-%.2f)").c_str());
  std::printf("  B/A: %.1fx the rows per second, %.2fx the CPU per row\n",
              Median(b.rowsPerSecond) / Median(a.rowsPerSecond), Median(b.cpuMicrosPerRow) / Median(a.cpuMicrosPerRow));
}

// The line's WriteLog as the server's events and clients call it: what the telephony thread pays per row.
void MeasureLineWriteLog() {
  constexpr int kStations = 50, kRows = 40;
  InProcessServer server;
  const fs::path ini = fs::temp_directory_path() / "vantrel-bench-calllog-line";
  fs::remove_all(ini);
  std::vector<std::string> stations;
  for (int i = 0; i < kStations; ++i) stations.push_back(std::to_string(4000 + i));
  ::Environment_var environment = server.StartEnvironment(stations, kStations + 4, ini);
  ::Lines_var lines = environment->GetLines();
  std::vector<DWORD> callers;
  std::vector<::Line_var> line;
  for (int i = 0; i < kStations; ++i) {
    line.push_back(::Line::_narrow(::ContainerItem_var(lines->GetItem(i))));
    callers.push_back(server.Exchange().CallStation(stations[i], "5551" + std::to_string(i)));
  }
  double writing = 0;
  int written = 0;
  for (int i = 0; i < kStations; ++i) {
    PumpUntil([&] { return line[i]->GetOfferingCall() != 0; });
    const CORBA::Long handle = line[i]->GetOfferingCall();
    const auto start = Clock::now();
    for (int row = 0; row < kRows; ++row) written += line[i]->WriteLog(::LogTaskCreated, handle, row) ? 1 : 0;
    writing += std::chrono::duration<double>(Clock::now() - start).count();
  }
  for (const DWORD caller : callers) server.Exchange().HangUpFarEnd(caller);
  for (int i = 0; i < kStations; ++i) PumpUntil([&] { return line[i]->GetCallsCount() == 0; });
  std::printf("Line.WriteLog in the server's process: %d rows, %.1f us a row on the telephony thread\n", written,
              writing / written * 1e6);
  server.StopEnvironment();
  fs::remove_all(ini);
}

}  // namespace

int main() {
  const std::string sqlite = InProcessServer::kConnectionString;
  CompareOn("SQLite, empty call log", sqlite, 0, 1000, 50000);
  CompareOn("SQLite, call log of 1 000 000 rows", sqlite, 1000000, 1000, 50000);
  if (const char* postgres = std::getenv("VANTREL_TEST_POSTGRES"); postgres != nullptr && *postgres != '\0') {
    CompareOn("PostgreSQL (test server, ODBC)", postgres, 0, 1000, 20000);
  }
  MeasureLineWriteLog();
  return 0;
}
