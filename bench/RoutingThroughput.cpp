// Routed calls per second, run by hand: every line has a rule that sends offered calls to an outside number;
// each call is offered, answered by the server, transferred when the target answers, and hung up, with its
// call-log rows written to an embedded SQLite CRM.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>

#include "bench/InProcessServer.h"

using namespace vantrel;
using namespace vantrel::bench;
using telephony::TSoftExchange;
using Clock = std::chrono::steady_clock;

namespace {

double RoutedCallsPerSecond(InProcessServer& server, int lineCount, const std::filesystem::path& folder) {
  std::vector<std::string> stations;
  for (int i = 0; i < lineCount; ++i) stations.push_back(std::to_string(4000 + i));
  ::Environment_var environment =
      server.StartEnvironment(stations, lineCount * 2 + 4, folder / std::to_string(lineCount));
  ::Database_var database = environment->GetDatabase();
  InProcessServer::RouteAllLinesTo(environment, "777");
  ::Lines_var lines = environment->GetLines();

  const auto start = Clock::now();
  std::map<DWORD, bool> callers;  // far end -> hung up
  for (int i = 0; i < lineCount; ++i) {
    callers[server.Exchange().CallStation(std::to_string(4000 + i), "55" + std::to_string(i))] = false;
  }
  std::size_t finished = 0;
  while (finished < callers.size()) {
    Pump();
    for (const auto& party : server.Exchange().Status()) {
      if (!party.outside) continue;
      if (party.number == "777" && party.state == "RINGING") server.Exchange().AnswerFarEnd(party.id);
      auto caller = callers.find(party.id);
      if (caller != callers.end() && !caller->second && party.peerNumber == "777" && party.state == "CONNECTED") {
        server.Exchange().HangUpFarEnd(party.id);
        caller->second = true;
        ++finished;
      }
    }
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  // Let the lines clean up before the next round.
  PumpUntil([&] {
    for (CORBA::Long i = 0; i < lines->GetItemsCount(); ++i) {
      if (::Line_var(::Line::_narrow(::ContainerItem_var(lines->GetItem(i))))->GetCallsCount() != 0) return false;
    }
    return true;
  });
  CORBA::String_var rows;
  database->GetFieldValue("select count(*) as C from tq_VantrelLog", "C", rows.out());
  std::printf("%4d lines: %4zu routed calls in %.3f s: %7.1f calls/s (%s call-log rows)\n", lineCount, callers.size(),
              seconds, static_cast<double>(callers.size()) / seconds, rows.in());
  server.StopEnvironment();
  return static_cast<double>(callers.size()) / seconds;
}

}  // namespace

int main() {
  InProcessServer server;
  const auto folder = std::filesystem::temp_directory_path() / "vantrel-bench-routing";
  std::filesystem::remove_all(folder);
  for (int lines : {10, 100, 500}) RoutedCallsPerSecond(server, lines, folder);
  std::filesystem::remove_all(folder);
  return 0;
}
