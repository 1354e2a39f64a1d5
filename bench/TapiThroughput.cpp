// Telephony layer figures, run by hand: how many TAPI messages per second reach the lines' events from the
// exchange, and how long a synchronous operation takes from the call to its return.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "bench/Pumping.h"
#include "telephony/SoftExchange.h"
#include "telephony/TelephonyBackEnd.h"
#include "telephony/diZudu.h"

using namespace vantrel;
using namespace vantrel::bench;
using namespace vantrel::telephony;
using Clock = std::chrono::steady_clock;

int main() {
  constexpr int kStations = 200;
  constexpr int kRounds = 25;
  TExchangeConfig config;
  config.trunks = kStations;
  for (int i = 0; i < kStations; ++i) config.stations.push_back({std::to_string(3000 + i), {}});
  TTelephonyBackEnd telephony(std::make_unique<TSoftExchange>());
  TSoftExchange& exchange = *telephony.SoftExchange();
  exchange.Configure(config);

  std::vector<std::unique_ptr<TTapiLine>> lines;
  std::size_t messages = 0;
  std::size_t ended = 0;
  for (int i = 0; i < kStations; ++i) {
    auto line = std::make_unique<TTapiLine>();
    line->SetEnabled(true);
    line->SetDeviceName("Line " + std::to_string(3000 + i));
    line->Options.AutoDropDiscCalls = -1;  // the figure is the message path, not the clean-up timers
    line->OnTapiMessage = [&](TTapiDevice&, DWORD, DWORD, DWORD, DWORD) { ++messages; };
    line->OnState[LINECALLSTATE_DISCONNECTED] = [&](TTapiLine&, TTapiCall&) { ++ended; };
    line->SetActive(true);
    lines.push_back(std::move(line));
  }

  // Throughput: outside callers ring and hang up on every line; the events are counted as the lines get them.
  const auto start = Clock::now();
  std::thread callers([&] {
    for (int round = 0; round < kRounds; ++round) {
      for (int i = 0; i < kStations; ++i) {
        const DWORD farEnd = exchange.CallStation(std::to_string(3000 + i), "5550000");
        exchange.HangUpFarEnd(farEnd);
      }
    }
  });
  PumpUntil([&] { return ended == static_cast<std::size_t>(kStations * kRounds); });
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  callers.join();
  std::printf("calls: %d on %d lines, %zu messages in %.3f s: %.0f messages/s\n", kStations * kRounds, kStations,
              messages, seconds, static_cast<double>(messages) / seconds);

  // Latency of a synchronous operation: MakeCall to an outside number, then Drop, each waiting for its reply.
  TTapiLine& line = *lines.front();
  std::vector<double> makeCall, drop;
  for (int i = 0; i < 200; ++i) {
    auto begun = Clock::now();
    TTapiCall* call = line.MakeCall("5551000");
    makeCall.push_back(std::chrono::duration<double, std::micro>(Clock::now() - begun).count());
    begun = Clock::now();
    call->Drop();
    drop.push_back(std::chrono::duration<double, std::micro>(Clock::now() - begun).count());
  }
  for (auto* figures : {&makeCall, &drop}) std::sort(figures->begin(), figures->end());
  std::printf("synchronous MakeCall: median %.0f us, 95th percentile %.0f us\n", makeCall[100], makeCall[190]);
  std::printf("synchronous Drop:     median %.0f us, 95th percentile %.0f us\n", drop[100], drop[190]);
  lines.clear();
  TapiApplication().Close();
  return 0;
}
