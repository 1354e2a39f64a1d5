// What mixing costs the relay against forwarding, for the same number of legs (A/B in one run, in turn):
// A = two-party calls forwarded byte for byte, B = three-party conferences mixed every 20 ms. Each party is a UDP
// socket of this program sending a 20 ms PCMU packet every 20 ms, as a phone does. Printed per phase: the relay's
// CPU per party-second (this process's CPU less the driver thread's own), the packets the parties got against
// those due, and the delay from a speaker's first loud packet to each other party's first loud one (p50/p99): the
// delay mixing adds is B's less A's.
//
//   vantrel_bench_mixer [CONFERENCES=50] [SECONDS=10]

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "bench/Measures.h"
#include "bench/RelayParties.h"

using namespace vantrel::telephony;
using vantrel::bench::Loudness;
using vantrel::bench::Percentile;
using vantrel::bench::DriveParties;
using vantrel::bench::RelayParty;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kParties = 3;          // per conference; A pairs the same legs two by two
constexpr int kFirstPort = 43000;    // the relay's range for this program
constexpr auto kBurst = std::chrono::milliseconds(400);  // a speaker's loud span, then as long quiet

// A party of a leg, and when it began waiting for a speaker's burst (zero: not waiting).
struct Party : RelayParty {
  Clock::time_point waitingSince{};
};

struct Result {
  double cpuPerPartySecond = 0;  // seconds of CPU
  double delivered = 0;          // packets the parties got against those due
  std::vector<double> delays;    // ms
};

// One phase: the legs opened, joined (mixed) or linked two by two (forwarded), driven for the seconds given.
Result Run(int conferences, int seconds, bool mixed) {
  TMediaRelay relay("127.0.0.1", kFirstPort, kFirstPort + 4 * kParties * conferences + 16, THoldSound::Tone(),
                    std::chrono::minutes(10), [](DWORD, char) {}, [](DWORD) {});
  const int count = conferences * kParties;
  std::vector<Party> parties(count);
  for (int i = 0; i < count; ++i) {
    Party& party = parties[i];
    party.Open(relay, static_cast<DWORD>(i + 1));
  }
  // Mixed: conference c holds legs 3c+1..3c+3, the first the outside party. Forwarded: legs paired in turn.
  for (int i = 0; i < count; ++i) {
    if (mixed) {
      const DWORD room = static_cast<DWORD>(i / kParties * kParties + 1);
      relay.Join(parties[i].leg, room, i % kParties == 0 ? TMediaMixer::TSide::Outside : TMediaMixer::TSide::Station);
    } else if ((i ^ 1) < count) {
      relay.Link(parties[i].leg, parties[i ^ 1].leg);
    }
  }
  // A speaker per conference (its first party; for the pairs, the even one of each): loud and quiet in turn,
  // conferences started a little apart so the onsets fall on different parts of the mixer's 20 ms.
  auto speaks = [&](int i) { return mixed ? i % kParties == 0 : i % 2 == 0; };
  auto hears = [&](int listener, int speaker) {
    return mixed ? listener / kParties == speaker / kParties && listener != speaker : listener == (speaker ^ 1);
  };

  Result result;
  std::vector<bool> loud(count, false);
  const auto start = Clock::now();
  // Each party sends on a phase of its own in the 20 ms, as phones do: the mixer's tick falls anywhere.
  std::vector<Clock::time_point> nextSend(count);
  for (int i = 0; i < count; ++i) nextSend[i] = start + std::chrono::milliseconds(i * 7 % 20);
  const auto warmUp = start + std::chrono::seconds(1);
  const auto end = warmUp + std::chrono::seconds(seconds);
  std::uint64_t sentInWindow = 0, receivedAtWindow = 0;
  auto tick = [&](Clock::time_point now, bool measuring) {
    for (int i = 0; i < count; ++i) {
      if (nextSend[i] > now) continue;
      nextSend[i] += std::chrono::milliseconds(20);
      Party& party = parties[i];
      bool isLoud = false;
      if (speaks(i)) {
        const auto offset = now - start + std::chrono::milliseconds(7 * (i / kParties % 20));
        isLoud = offset >= std::chrono::seconds(1) && (offset / kBurst) % 2 == 1;
        if (isLoud && !loud[i] && measuring)
          for (int j = 0; j < count; ++j)
            if (hears(j, i)) parties[j].waitingSince = now;
        loud[i] = isLoud;
      }
      party.Send(isLoud);
      if (measuring) ++sentInWindow;
    }
  };
  auto packet = [&](std::uint32_t index, const std::uint8_t* payload, std::size_t size, Clock::time_point at, bool) {
    Party& party = parties[index];
    if (party.waitingSince != Clock::time_point{} && Loudness(payload, size) > 1000) {
      result.delays.push_back(std::chrono::duration<double, std::milli>(at - party.waitingSince).count());
      party.waitingSince = {};
    }
  };
  const double cpu = DriveParties(parties, warmUp, end, tick, packet, &receivedAtWindow);
  std::uint64_t received = 0;
  for (const Party& party : parties) received += party.received;
  result.cpuPerPartySecond = cpu / (static_cast<double>(count) * seconds);
  // Each party sends as much as it is due to receive: one packet every 20 ms.
  result.delivered = sentInWindow > 0 ? static_cast<double>(received - receivedAtWindow) / sentInWindow : 0;
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  const int conferences = argc > 1 ? std::atoi(argv[1]) : 50;
  const int seconds = argc > 2 ? std::atoi(argv[2]) : 10;
  if (conferences <= 0 || conferences > 300 || seconds <= 0) {
    std::fprintf(stderr, "usage: vantrel_bench_mixer [CONFERENCES=50 (1-300)] [SECONDS=10]\n");
    return 2;
  }
  std::printf("%d legs: %d two-party calls forwarded (A) against %d three-party conferences mixed (B), %d s each, "
              "A B B A\n",
              conferences * kParties, conferences * kParties / 2, conferences, seconds);
  std::vector<Result> a, b;
  for (bool mixed : {false, true, true, false}) {
    Result result = Run(conferences, seconds, mixed);
    std::printf("  %s: relay CPU %.1f us per party-second, %.2f%% of the packets due delivered, "
                "speaker to listener p50 %.1f ms p99 %.1f ms (%zu onsets)\n",
                mixed ? "B mixed    " : "A forwarded", 1e6 * result.cpuPerPartySecond, 100 * result.delivered,
                Percentile(result.delays, 0.5), Percentile(result.delays, 0.99), result.delays.size());
    (mixed ? b : a).push_back(std::move(result));
  }
  auto mean = [](const std::vector<Result>& runs, auto field) {
    double sum = 0;
    for (const Result& run : runs) sum += field(run);
    return sum / static_cast<double>(runs.size());
  };
  const double cpuA = mean(a, [](const Result& r) { return r.cpuPerPartySecond; });
  const double cpuB = mean(b, [](const Result& r) { return r.cpuPerPartySecond; });
  const double delayA = mean(a, [](const Result& r) { return Percentile(r.delays, 0.5); });
  const double delayB = mean(b, [](const Result& r) { return Percentile(r.delays, 0.5); });
  std::printf("mixed / forwarded CPU per party-second: %.2f; delay mixing adds (p50): %.1f ms\n",
              cpuA > 0 ? cpuB / cpuA : 0.0, delayB - delayA);
  return 0;
}
