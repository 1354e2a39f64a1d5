// Call-log rows per second, run by hand: a line's WriteLog (the select of the next EventOrder and the insert)
// on an embedded SQLite CRM, first with an empty call log and then with one of a million rows.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/InProcessServer.h"

using namespace vantrel;
using namespace vantrel::bench;
using telephony::TSoftExchange;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kCalls = 250;
constexpr int kStations = 50;
constexpr int kRowsPerCall = 8;

// Rows of earlier calls, eight per call key, as a busy call centre's log holds them.
void FillCallLog(const std::filesystem::path& ini, int rows) {
  std::filesystem::create_directories(ini);
  TDataConnection crm(ini.string());
  crm.SetConnectionString(InProcessServer::kConnectionString);
  crm.Open();
  CreateCrmSchema(crm, crm.Dialect());
  crm.Execute(
      "with recursive n(i) as (select 0 union all select i + 1 from n where i + 1 < " + std::to_string(rows) +
      ") insert into tq_VantrelLog (CallEventType, CallHandle, BeginTime, EndTime, LinePhoneNumber, LineIsOuter, "
      "CallerPhoneNumber, CalledPhoneNumber, ConnectedPhoneNumber, Operator_id, Task_id, EventOrder, "
      "ParentCallHandle, ConsultCallHandle) select i % 10, '20250101' || printf('%06d', i / 80) || '-' || "
      "(65536 + i / 8), '2025-01-01 08:00:00', '2025-01-01 08:00:05', '4000', 0, '5550' || (i % 1000), '4000', "
      "'4000', 0, 0, i % 8 + 1, '', '' from n");
}

void MeasureWriteLog(InProcessServer& server, const std::filesystem::path& ini, int earlierRows) {
  const auto filling = Clock::now();
  if (earlierRows > 0) FillCallLog(ini, earlierRows);
  const double fillSeconds = std::chrono::duration<double>(Clock::now() - filling).count();
  std::vector<std::string> stations;
  for (int i = 0; i < kStations; ++i) stations.push_back(std::to_string(4000 + i));
  ::Environment_var environment = server.StartEnvironment(stations, kStations + 4, ini);
  ::Lines_var lines = environment->GetLines();
  std::vector<::Line_var> line;
  for (CORBA::Long i = 0; i < kStations; ++i) line.push_back(::Line::_narrow(::ContainerItem_var(lines->GetItem(i))));
  double writing = 0;
  int written = 0;
  // Calls come in waves, one per line, since a line takes a while to let go of a finished call.
  for (int wave = 0; wave < kCalls / kStations; ++wave) {
    std::vector<DWORD> callers;
    for (int i = 0; i < kStations; ++i) {
      callers.push_back(TSoftExchange::Instance().CallStation(stations[i], "5551" + std::to_string(wave * 100 + i)));
    }
    for (int i = 0; i < kStations; ++i) {
      PumpUntil([&] { return line[i]->GetOfferingCall() != 0; });
      const CORBA::Long handle = line[i]->GetOfferingCall();
      const auto start = Clock::now();
      for (int row = 0; row < kRowsPerCall; ++row) written += line[i]->WriteLog(::LogIncomingCall, handle, 0) ? 1 : 0;
      writing += std::chrono::duration<double>(Clock::now() - start).count();
    }
    for (const DWORD caller : callers) TSoftExchange::Instance().HangUpFarEnd(caller);
    for (int i = 0; i < kStations; ++i) PumpUntil([&] { return line[i]->GetCallsCount() == 0; });
  }
  ::Database_var database = environment->GetDatabase();
  CORBA::String_var rows;
  database->GetFieldValue("select count(*) as C from tq_VantrelLog", "C", rows.out());
  if (earlierRows > 0) std::printf("%d earlier rows written in %.1f s\n", earlierRows, fillSeconds);
  std::printf("call log of %7d rows: %d WriteLog rows in %.3f s: %6.0f rows/s, %4.0f us a row (%s rows now)\n",
              earlierRows, written, writing, written / writing, writing / written * 1e6, rows.in());
  server.StopEnvironment();
}

}  // namespace

int main() {
  InProcessServer server;
  const auto folder = std::filesystem::temp_directory_path() / "vantrel-bench-calllog";
  std::filesystem::remove_all(folder);
  MeasureWriteLog(server, folder / "empty", 0);
  MeasureWriteLog(server, folder / "million", 1000000);
  std::filesystem::remove_all(folder);
  return 0;
}
