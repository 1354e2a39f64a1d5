// Callers waiting with music and announcements, run by hand: the trunk line 4000 lets every caller wait for a
// group whose one operator is paused, and each caller hears its place in line (places 1 to 30) and the expected
// wait every 10 s (AnnounceEvery=10). For 100 and 500 callers waiting at once: host CPU per waiting caller per
// second (the process's user+sys from /proc less what this driver spent), the announcements made against those
// due, and how far each caller's announcements drift from every 10 s, p50/p99 (seen through the exchange's
// status, polled every 20 ms). The simulated callers have no media: the relay's share is SipTraffic's.
//   vantrel_bench_announcements [SECONDS]   (default 30 s for each size)
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

#include "bench/InProcessServer.h"
#include "bench/Measures.h"
#include "routing/RulesLib.h"
#include "support/PromptSet.h"
#include "support/ProcessState.h"
#include "support/WavSound.h"

using namespace vantrel;
using namespace vantrel::bench;
using Clock = std::chrono::steady_clock;

namespace {

constexpr CORBA::Long kGroup = 7;
constexpr int kEverySeconds = 10;

void WritePrompts(const std::filesystem::path& ini) {
  std::filesystem::create_directories(ini / "Prompts");
  std::ofstream(ini / "Prompts" / "prompts.txt") << TPromptSet::ListText(TPromptSet::DefaultEntries());
  for (const TPromptEntry& entry : TPromptSet::DefaultEntries()) {
    TWavSound sound{8000, std::vector<std::int16_t>(2400)};  // 300 ms each
    for (std::size_t i = 0; i < sound.samples.size(); ++i)
      sound.samples[i] = static_cast<std::int16_t>(4000 * std::sin(2 * std::numbers::pi * 600 * i / 8000));
    std::ofstream(ini / "Prompts" / (entry.name + ".wav"), std::ios::binary) << WavBytes(sound);
  }
  TWavSound music{8000, std::vector<std::int16_t>(16000, 0)};
  std::ofstream(ini / "music.wav", std::ios::binary) << WavBytes(music);
  std::ofstream(ini / "Settings.ini") << "[Prompts]\nMusic=music.wav\n";
}

void RunWaiting(InProcessServer& server, int waiting, double seconds, const std::filesystem::path& ini) {
  WritePrompts(ini);
  ::Environment_var environment = server.StartEnvironment({"4000", "5000"}, waiting + 8, ini);
  server.Exchange().SetPrompts(TPromptSet::Shared(ini.string()));
  ::Database_var database = environment->GetDatabase();
  database->ExecuteSQL("insert into tq_ContactInGroup (Contact_id, Group_id) values (1, 7)");
  ::Rules_var rules = environment->GetRules();
  ::Rule_var rule = ::Rule::_narrow(::ContainerItem_var(rules->CreateItem(true)));
  ::RuleAction_var action = ::RuleAction::_narrow(::ContainerItem_var(rule->CreateItem(true)));
  action->SetActionType(::Group);
  action->SetGroupID(kGroup);
  rule->SetQueueSettings(::RuleQueueSettings{3600, 0, 0, 0, 20});
  ::RuleCallerExperience experience;
  experience.Greeting = "";
  experience.AnnouncePosition = true;
  experience.AnnounceWait = true;
  experience.AnnounceEvery = kEverySeconds;
  rule->SetCallerExperience(experience);
  // A handled call of two minutes, so that every caller also hears the expected wait.
  if (const TLocalServant<TRules_Impl> local{rules.in()}) local->Queue().NoteTalk(rule->GetID(), 120);
  ::Lines_var lines = environment->GetLines();
  ::Line::_narrow(::ContainerItem_var(lines->GetItemByDevicePhoneNumber("4000")))->SetRule(rule);
  ::Operators_var operators = environment->GetOperators();
  ::Operator_var seated = ::Operator::_narrow(::ContainerItem_var(operators->CreateItem(true)));
  seated->SetID(1);
  seated->SetLine(::Line::_narrow(::ContainerItem_var(lines->GetItemByDevicePhoneNumber("5000"))));
  seated->SetStatus(::OperatorPause);

  for (int i = 0; i < waiting; ++i) server.Exchange().CallStation("4000", "6" + std::to_string(1000000 + i));
  PumpUntil(
      [&] {
        std::size_t held = 0;
        for (const auto& party : server.Exchange().Status()) held += party.outside && !party.hearing.empty() ? 1 : 0;
        return held == static_cast<std::size_t>(waiting);
      },
      std::chrono::seconds(60));

  std::map<std::string, bool> announcing;           // caller -> hearing an announcement at the last look
  std::map<std::string, Clock::time_point> lastAt;  // caller -> when its last announcement began
  std::vector<double> drifts;                       // ms from every 10 s
  long announcements = 0;
  double driverCpu = 0;
  // Announcements already under way are not counted: each caller's first one came as it started to wait.
  for (const auto& party : server.Exchange().Status()) {
    if (party.outside) announcing[party.number] = party.hearing != "music" && !party.hearing.empty();
  }
  const double cpuBefore = ProcessCpuSeconds();
  const auto start = Clock::now();
  auto nextLook = start;
  while (Clock::now() < start + std::chrono::duration<double>(seconds)) {
    Pump();
    const auto now = Clock::now();
    if (now < nextLook) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      continue;
    }
    nextLook = now + std::chrono::milliseconds(20);
    const double driverStart = ThreadCpuSeconds();
    for (const auto& party : server.Exchange().Status()) {
      if (!party.outside) continue;
      const bool announcingNow = party.hearing != "music" && !party.hearing.empty();
      bool& was = announcing[party.number];
      if (announcingNow && !was) {
        ++announcements;
        if (const auto last = lastAt.find(party.number); last != lastAt.end()) {
          drifts.push_back(
              std::abs(std::chrono::duration<double, std::milli>(now - last->second).count() - kEverySeconds * 1000));
        }
        lastAt[party.number] = now;
      }
      was = announcingNow;
    }
    driverCpu += ThreadCpuSeconds() - driverStart;
  }
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  const double hostCpu = ProcessCpuSeconds() - cpuBefore - driverCpu;
  // Every caller started to wait (and heard its first announcement) just before the measuring began.
  const long due = waiting * static_cast<long>(elapsed / kEverySeconds);
  std::printf(
      "%4d waiting: host CPU %6.1f us per waiting caller per second, %ld announcements of %ld due, drift from "
      "%d s p50 %6.1f ms p99 %6.1f ms\n",
      waiting, hostCpu / elapsed / waiting * 1e6, announcements, due, kEverySeconds, Percentile(drifts, 0.5),
      Percentile(drifts, 0.99));
  std::fflush(stdout);
  for (const auto& party : server.Exchange().Status()) {
    if (party.outside) server.Exchange().HangUpFarEnd(party.id);
  }
  PumpUntil([&] { return server.Exchange().Status().empty(); }, std::chrono::seconds(20));
  server.StopEnvironment();
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 30;
  SetDistributedServer(true);
  InProcessServer server;
  const auto folder = std::filesystem::temp_directory_path() / "vantrel-bench-announcements";
  std::filesystem::remove_all(folder);
  std::printf("Callers waiting with music and announcements every %d s, %.0f s each\n", kEverySeconds, seconds);
  for (int waiting : {100, 500}) RunWaiting(server, waiting, seconds, folder / std::to_string(waiting));
  std::filesystem::remove_all(folder);
  return 0;
}
