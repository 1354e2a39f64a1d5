// Sustained routed traffic, run by hand: every line has a rule that sends offered calls to the outside number
// 7000; callers are offered at a steady rate spread over the lines, the target answers as soon as it rings, and
// the caller hangs up once the transfer has put it through. For each size: calls/s routed, host CPU per call
// (the process's user+sys from /proc less what this driver spent), offer-to-transfer p50/p99, and the calls
// left in the exchange once the offers stop (must be 0). The call log is on (SQLite).
//   vantrel_bench_traffic [SECONDS] [RATE]   (default 60 s at 600 calls/s offered)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "bench/InProcessServer.h"
#include "bench/Measures.h"
#include "model/DatabaseLib.h"

using namespace vantrel;
using namespace vantrel::bench;
using telephony::TSoftExchange;
using Clock = std::chrono::steady_clock;

namespace {

void RunTraffic(InProcessServer& server, int lineCount, double seconds, double rate,
                const std::filesystem::path& folder) {
  std::vector<std::string> stations;
  for (int i = 0; i < lineCount; ++i) stations.push_back(std::to_string(4000 + i));
  ::Environment_var environment =
      server.StartEnvironment(stations, lineCount * 4 + 64, folder / std::to_string(lineCount));
  InProcessServer::RouteAllLinesTo(environment, "7000");

  std::unordered_map<DWORD, Clock::time_point> offeredAt;  // caller far end -> when it was offered
  std::vector<double> latencies;
  std::size_t offered = 0, routed = 0, refused = 0;
  double driverCpu = 0;
  const double cpuBefore = ProcessCpuSeconds();
  const auto start = Clock::now();
  const auto offersEnd = start + std::chrono::duration<double>(seconds);
  auto lastScan = start;
  for (;;) {
    Pump();
    const auto now = Clock::now();
    const double driverStart = ThreadCpuSeconds();
    // Offers at the steady rate, round the lines.
    if (now < offersEnd) {
      const auto due = static_cast<std::size_t>(std::chrono::duration<double>(now - start).count() * rate);
      for (; offered < due; ++offered) {
        DWORD caller = 0;
        try {
          caller = server.Exchange().CallStation(stations[offered % stations.size()],
                                                 "6" + std::to_string(1000000 + offered));
        } catch (const std::invalid_argument&) {
          // All trunks busy: the server is behind.
        }
        if (caller == 0) {
          ++refused;
          continue;
        }
        offeredAt[caller] = now;
      }
    }
    if (now - lastScan >= std::chrono::milliseconds(5)) {
      lastScan = now;
      for (const auto& party : server.Exchange().Status()) {
        if (!party.outside) continue;
        if (party.number == "7000" && party.state == "RINGING") server.Exchange().AnswerFarEnd(party.id);
        const auto caller = offeredAt.find(party.id);
        if (caller != offeredAt.end() && party.peerNumber == "7000" && party.state == "CONNECTED") {
          latencies.push_back(std::chrono::duration<double, std::milli>(now - caller->second).count());
          offeredAt.erase(caller);
          server.Exchange().HangUpFarEnd(party.id);
          ++routed;
        }
      }
    }
    driverCpu += ThreadCpuSeconds() - driverStart;
    if (now >= offersEnd && (offeredAt.empty() || now > offersEnd + std::chrono::seconds(30))) break;
  }
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  const double hostCpu = ProcessCpuSeconds() - cpuBefore - driverCpu;
  // Let the lines let go of their finished calls, then count what the exchange still holds.
  PumpUntil([&] { return server.Exchange().Status().empty(); }, std::chrono::seconds(10));
  const std::size_t left = server.Exchange().Status().size();
  std::printf(
      "%5d lines: %6zu offered (%zu refused), %6zu routed in %5.1f s: %6.1f calls/s, host CPU %6.0f us/call, "
      "offer to transfer p50 %6.1f ms p99 %7.1f ms, %zu calls left\n",
      lineCount, offered, refused, routed, elapsed, static_cast<double>(routed) / elapsed,
      routed == 0 ? 0.0 : hostCpu / static_cast<double>(routed) * 1e6, Percentile(latencies, 0.5),
      Percentile(latencies, 0.99), left);
  // Every routed call leaves the same rows: the count of each kind equals the calls routed.
  ::Database_var database = environment->GetDatabase();
  const TLocalServant<TDatabase_Impl> crm{database.in()};
  if (crm) crm->CallLog().WaitUntilWritten(std::chrono::seconds(60));
  std::string kinds;
  for (int type = 0; type <= 10; ++type) {
    CORBA::String_var count;
    const std::string sql = "select count(*) as C from tq_VantrelLog where CallEventType = " + std::to_string(type);
    database->GetFieldValue(sql.c_str(), "C", count.out());
    if (std::string(count.in()) != "0") kinds += " " + std::to_string(type) + ":" + count.in();
  }
  std::printf("       call-log rows by kind (kind:rows):%s\n", kinds.c_str());
  std::fflush(stdout);
  server.StopEnvironment();
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 60;
  const double rate = argc > 2 ? std::atof(argv[2]) : 600;
  InProcessServer server;
  const auto folder = std::filesystem::temp_directory_path() / "vantrel-bench-traffic";
  std::filesystem::remove_all(folder);
  std::printf("routed calls offered at %.0f calls/s for %.0f s\n", rate, seconds);
  for (int lines : {10, 100, 500, 1000}) RunTraffic(server, lines, seconds, rate, folder);
  std::filesystem::remove_all(folder);
  return 0;
}
