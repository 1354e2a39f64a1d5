// Callers waiting in line for a group of 50 operators, run by hand: the trunk line 4000 routes every caller to
// the group (Loading), and a steady number of callers is kept waiting (10, 100, 500) while the operators answer
// as soon as their phone rings and end the call as soon as the caller is put through. For each size: callers
// served per second, host CPU per served caller (the process's user+sys from /proc less what this driver
// spent), the time from an operator's call ending to their phone ringing with the next caller p50/p99, and the
// callers left once the offers stop (must be 0). The call log and the queue log are on (SQLite).
//   vantrel_bench_queue [SECONDS]   (default 20 s for each size)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "bench/InProcessServer.h"
#include "bench/Measures.h"
#include "routing/OperatorLib.h"
#include "routing/RuleLib.h"
#include "routing/RulesLib.h"
#include "support/ProcessState.h"

using namespace vantrel;
using namespace vantrel::bench;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kOperators = 50;
constexpr CORBA::Long kGroup = 7;

std::string Seat(int i) { return std::to_string(5000 + i); }

// The routing decision alone, with so many callers in line: find the next caller of the group, see that a member
// is free for it, and choose (and hold) the member, as the line does when an operator frees up.
void MeasureDecisions(::Rules_ptr rules, ::Rule_ptr rule, ::Operators_ptr operators, int waiting) {
  const TLocalServant<TRules_Impl> localRules{rules};
  const TLocalServant<TRule_Impl> localRule{rule};
  std::vector<TLocalServant<TOperator_Impl>> seated;
  for (CORBA::Long i = 0; i < operators->GetItemsCount(); ++i) seated.emplace_back(operators->GetItem(i));
  TCallQueue& queue = localRules->Queue();
  for (int i = 0; i < waiting; ++i) {
    queue.Enter(TQueueCallerKey{-1, i}, rule->GetID(), kGroup, 0, 0, Clock::now());
  }
  std::vector<double> decisions;
  for (int round = 0; round < 2000; ++round) {
    const auto start = Clock::now();
    const auto next = queue.NextCallers();
    const long taken = queue.Released(kGroup);
    std::string target;
    CORBA::Long index = 0;
    if (!next.empty() && localRule->ReadyMembersAt(0, taken + 1) > taken) {
      localRule->ApplyFrom("5550000", "4000", target, index, false, true, nullptr, true);
    }
    decisions.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    if (target.empty()) std::printf("no member chosen\n");
    for (auto& one : seated) one->Unreserve();
  }
  for (int i = 0; i < waiting; ++i) queue.Leave(TQueueCallerKey{-1, i});
  std::printf("%4d waiting: routing decision p50 %6.1f us p99 %6.1f us\n", waiting, Percentile(decisions, 0.5),
              Percentile(decisions, 0.99));
}

void RunQueue(InProcessServer& server, int waiting, double seconds, const std::filesystem::path& folder) {
  std::vector<std::string> stations{"4000"};
  for (int i = 0; i < kOperators; ++i) stations.push_back(Seat(i));
  ::Environment_var environment =
      server.StartEnvironment(stations, waiting + 2 * kOperators + 64, folder / std::to_string(waiting));
  ::Database_var database = environment->GetDatabase();
  for (int i = 0; i < kOperators; ++i) {
    const std::string sql = "insert into tq_ContactInGroup (Contact_id, Group_id) values (" + std::to_string(i + 1) +
                            ", " + std::to_string(kGroup) + ")";
    database->ExecuteSQL(sql.c_str());
  }
  ::Rules_var rules = environment->GetRules();
  ::Rule_var rule = ::Rule::_narrow(::ContainerItem_var(rules->CreateItem(true)));
  ::RuleAction_var action = ::RuleAction::_narrow(::ContainerItem_var(rule->CreateItem(true)));
  action->SetActionType(::Group);
  action->SetGroupID(kGroup);
  rule->SetQueueSettings(::RuleQueueSettings{3600, 0, 0, 0, 20});
  ::Lines_var lines = environment->GetLines();
  ::Line::_narrow(::ContainerItem_var(lines->GetItemByDevicePhoneNumber("4000")))->SetRule(rule);
  ::Operators_var operators = environment->GetOperators();
  for (int i = 0; i < kOperators; ++i) {
    ::Operator_var seated = ::Operator::_narrow(::ContainerItem_var(operators->CreateItem(true)));
    seated->SetID(i + 1);
    seated->SetLine(::Line::_narrow(::ContainerItem_var(lines->GetItemByDevicePhoneNumber(Seat(i).c_str()))));
  }

  MeasureDecisions(rules, rule, operators, waiting);

  std::map<std::string, Clock::time_point> freedAt;  // seat -> when its last call ended
  std::vector<double> nextRings;                     // ms from a seat's call ending to its next ring
  std::size_t offered = 0, served = 0;
  double driverCpu = 0;
  const double cpuBefore = ProcessCpuSeconds();
  const auto start = Clock::now();
  const auto offersEnd = start + std::chrono::duration<double>(seconds);
  for (;;) {
    Pump();
    const auto now = Clock::now();
    const double driverStart = ThreadCpuSeconds();
    std::size_t outside = 0;
    for (const auto& party : server.Exchange().Status()) {
      if (party.outside) {
        ++outside;
        // Put through to an operator: the caller has been served, and the operator ends the call.
        if (party.state == "CONNECTED" && party.peerNumber != "4000") {
          server.Exchange().HangUpStation(party.peerNumber);
          freedAt[party.peerNumber] = now;
          ++served;
        }
        continue;
      }
      if (party.number == "4000") continue;
      if (party.state == "OFFERING") {
        const auto freed = freedAt.find(party.number);
        if (freed != freedAt.end()) {
          nextRings.push_back(std::chrono::duration<double, std::milli>(now - freed->second).count());
          freedAt.erase(freed);
        }
        server.Exchange().PickUp(party.number);
      }
    }
    // The callers waiting, kept at the size: one new caller for each one put through.
    if (now < offersEnd) {
      for (; offered - served < static_cast<std::size_t>(waiting + kOperators); ++offered) {
        server.Exchange().CallStation("4000", "6" + std::to_string(1000000 + offered));
      }
    }
    driverCpu += ThreadCpuSeconds() - driverStart;
    if (now >= offersEnd && (outside == 0 || now > offersEnd + std::chrono::seconds(60))) break;
  }
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  const double hostCpu = ProcessCpuSeconds() - cpuBefore - driverCpu;
  PumpUntil([&] { return server.Exchange().Status().empty(); }, std::chrono::seconds(10));
  const std::size_t left = server.Exchange().Status().size();
  ::QueueFiguresSeq_var figures = rules->GetQueueFigures(false);
  const long answered = figures->length() > 0 ? figures[0].Answered : 0;
  std::printf(
      "%4d waiting: %6zu served in %5.1f s: %6.1f callers/s, host CPU %6.0f us/caller, call end to next ring "
      "p50 %6.2f ms p99 %7.2f ms, answered (figures) %ld, %zu parties left\n",
      waiting, served, elapsed, static_cast<double>(served) / elapsed,
      served == 0 ? 0.0 : hostCpu / static_cast<double>(served) * 1e6, Percentile(nextRings, 0.5),
      Percentile(nextRings, 0.99), answered, left);
  std::fflush(stdout);
  server.StopEnvironment();
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 20;
  SetDistributedServer(true);  // one operator per employee, any number of them
  InProcessServer server;
  const auto folder = std::filesystem::temp_directory_path() / "vantrel-bench-queue";
  std::filesystem::remove_all(folder);
  std::printf("%d operators, callers kept waiting for them, %.0f s each\n", kOperators, seconds);
  for (int waiting : {10, 100, 500}) RunQueue(server, waiting, seconds, folder);
  std::filesystem::remove_all(folder);
  return 0;
}
