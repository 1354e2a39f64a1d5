// What waiting callers cost the relay: each caller's leg hears music on hold, and every ANNOUNCE seconds a
// prompt of three seconds (its place and expected wait), the announcements spread over the interval as callers
// arrive. Each caller is a UDP socket of this program that sends 20 ms PCMU packets, as a trunk caller does while it
// waits. Printed: the relay's CPU per waiting caller per second (this process's CPU less the driver thread's),
// the frames the callers got against those due (50 a second each: the lost ones), the gaps between two frames p99
// and the longest, and the delay from an announcement asked of the relay to its first frame at the caller.
//
//   vantrel_bench_waiting [CALLERS=500] [SECONDS=30] [ANNOUNCE=10]
#include <sys/resource.h>

#include <chrono>
#include <cmath>
#include <numbers>
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

constexpr int kFirstPort = 44000;  // the relay's range for this program

struct Caller : RelayParty {
  Clock::time_point nextSend{};
  Clock::time_point nextAnnouncement{};
  Clock::time_point announcedAt{};  // waiting for the prompt's first frame since (zero: not waiting)
  Clock::time_point lastFrame{};
};

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

}  // namespace

int main(int argc, char** argv) {
  const int callers = argc > 1 ? std::atoi(argv[1]) : 500;
  const int seconds = argc > 2 ? std::atoi(argv[2]) : 30;
  const int announceEvery = argc > 3 ? std::atoi(argv[3]) : 10;
  if (callers <= 0 || callers > 2000 || seconds <= 0 || announceEvery <= 0) {
    std::fprintf(stderr, "usage: vantrel_bench_waiting [CALLERS=500 (1-2000)] [SECONDS=30] [ANNOUNCE=10]\n");
    return 2;
  }
  // Two descriptors a caller: its socket here and its port at the relay.
  rlimit files{};
  ::getrlimit(RLIMIT_NOFILE, &files);
  files.rlim_cur = files.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &files);
  TMediaRelay relay("127.0.0.1", kFirstPort, kFirstPort + 2 * callers + 16, THoldSound::Tone(),
                    std::chrono::minutes(10), [](DWORD, char) {}, [](DWORD) {});
  // The prompt: three seconds of a loud 1 kHz tone, louder than the hold tone so that its first frame shows.
  auto prompt = std::make_shared<std::vector<std::int16_t>>(3 * 8000);
  for (std::size_t i = 0; i < prompt->size(); ++i)
    (*prompt)[i] = static_cast<std::int16_t>(16000 * std::sin(2 * std::numbers::pi * 1000 * static_cast<double>(i) / 8000));

  std::vector<Caller> parties(callers);
  const auto start = Clock::now();
  for (int i = 0; i < callers; ++i) {
    Caller& caller = parties[i];
    caller.Open(relay, static_cast<DWORD>(i + 1));
    relay.PlayHoldSound(caller.leg, true);
    caller.nextSend = start + std::chrono::milliseconds(i * 7 % 20);
    caller.nextAnnouncement = start + std::chrono::seconds(1) + std::chrono::milliseconds(1000 * announceEvery) * i / callers;
  }
  // One second to settle, then the window measured.
  const auto windowStart = start + std::chrono::seconds(1);
  const auto end = windowStart + std::chrono::seconds(seconds);
  std::uint64_t receivedAtStart = 0;
  std::vector<double> gaps, delays;
  auto tick = [&](Clock::time_point now, bool measuring) {
    for (Caller& caller : parties) {
      if (caller.nextSend <= now) {
        caller.nextSend += std::chrono::milliseconds(20);
        caller.Send(false);
      }
      if (caller.nextAnnouncement <= now) {
        caller.nextAnnouncement += std::chrono::seconds(announceEvery);
        // Composed anew for each announcement, as the exchange does (the relay keeps playing a sound it has).
        relay.PlayPrompt(caller.leg, std::make_shared<const std::vector<std::int16_t>>(*prompt));
        if (measuring) caller.announcedAt = Clock::now();
      }
    }
  };
  auto packet = [&](std::uint32_t index, const std::uint8_t* payload, std::size_t size, Clock::time_point at,
                    bool measuring) {
    Caller& caller = parties[index];
    if (measuring && caller.lastFrame != Clock::time_point{}) gaps.push_back(Ms(at - caller.lastFrame));
    caller.lastFrame = at;
    if (caller.announcedAt != Clock::time_point{} && Loudness(payload, size) > 6000) {
      delays.push_back(Ms(at - caller.announcedAt));
      caller.announcedAt = {};
    }
  };
  const double cpu = DriveParties(parties, windowStart, end, tick, packet, &receivedAtStart);
  std::uint64_t received = 0;
  for (const Caller& caller : parties) received += caller.received;
  const double due = 50.0 * callers * seconds;
  const double got = static_cast<double>(received - receivedAtStart);
  double longest = 0;
  for (double gap : gaps) longest = std::max(longest, gap);
  const auto counts = relay.Counts();
  std::printf("%d callers waiting %d s, music on hold, a 3 s announcement every %d s each\n", callers, seconds,
              announceEvery);
  std::printf("  relay CPU %.1f us per waiting caller per second (%.1f %% of a core in all)\n",
              1e6 * cpu / (static_cast<double>(callers) * seconds), 100 * cpu / seconds);
  std::printf("  frames delivered %.0f of %.0f due (%.3f %% short), hold frames %llu, prompt frames %llu\n", got, due,
              due > got ? 100 * (due - got) / due : 0.0, static_cast<unsigned long long>(counts.holdFrames),
              static_cast<unsigned long long>(counts.promptFrames));
  std::printf("  gap between a caller's frames p50 %.1f ms, p99 %.1f ms, longest %.1f ms\n", Percentile(gaps, 0.5),
              Percentile(gaps, 0.99), longest);
  std::printf("  announcement asked to its first frame p50 %.1f ms, p99 %.1f ms (%zu announcements)\n",
              Percentile(delays, 0.5), Percentile(delays, 0.99), delays.size());
  return 0;
}
