#include "LiveState.h"

#include <chrono>

namespace vantrel::web {

std::int64_t EpochMilliseconds() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

nlohmann::json ToJson(const TLiveCall& call) {
  return {{"id", call.id},
          {"state", call.state},
          {"direction", call.incoming ? "in" : "out"},
          {"remote", call.remote},
          {"caller", call.caller},
          {"called", call.called},
          {"originalCaller", call.originalCaller},
          {"contact", call.contact},
          {"company", call.company},
          {"since", call.since}};
}

nlohmann::json ToJson(const TLiveLine& line) {
  nlohmann::json calls = nlohmann::json::array();
  for (const auto& call : line.calls) calls.push_back(ToJson(call));
  return {{"number", line.number},
          {"name", line.name},
          {"outer", line.outer},
          {"rule", line.rule},
          {"operator", line.operatorID == 0 ? nlohmann::json() : nlohmann::json(line.operatorID)},
          {"dnd", line.dnd},
          {"calls", std::move(calls)}};
}

nlohmann::json ToJson(const TPastCall& call) {
  return {{"id", call.id},
          {"direction", call.incoming ? "in" : "out"},
          {"remote", call.remote},
          {"originalCaller", call.originalCaller},
          {"connected", call.connected},
          {"began", call.began},
          {"ended", call.ended}};
}

nlohmann::json ToJson(const TLiveOperator& person) {
  return {{"id", person.id},
          {"name", person.name},
          {"computer", person.computer},
          {"line", person.line},
          {"status", person.status},
          {"pauseReason", person.pauseReason},
          {"pauseReasonName", person.pauseReasonName},
          {"activity", person.activity},
          {"wrapUpUntil", person.wrapUpUntil == 0 ? nlohmann::json() : nlohmann::json(person.wrapUpUntil)},
          {"statusSince", person.statusSince},
          {"calls", person.calls},
          {"loginTime", person.loginTime}};
}

nlohmann::json ToJson(const TLiveQueue& queue) {
  return {{"ruleID", queue.ruleID},
          {"rule", queue.rule},
          {"waiting", queue.waiting},
          {"longestWait", queue.longestWait},
          {"offered", queue.offered},
          {"answered", queue.answered},
          {"abandoned", queue.abandoned},
          {"overflowed", queue.overflowed},
          {"answeredInServiceLevel", queue.answeredInServiceLevel},
          {"serviceLevelSeconds", queue.serviceLevelSeconds},
          {"serviceLevelPercent", queue.serviceLevel < 0 ? nlohmann::json() : nlohmann::json(queue.serviceLevel)},
          {"shortAbandoned", queue.shortAbandoned},
          {"averageSpeedOfAnswer", queue.averageSpeedOfAnswer},
          {"averageTalkTime", queue.averageTalkTime}};
}

nlohmann::json ToJson(const TLiveState& state) {
  nlohmann::json lines = nlohmann::json::array(), operators = nlohmann::json::array(), queues = nlohmann::json::array();
  for (const auto& line : state.lines) lines.push_back(ToJson(line));
  for (const auto& person : state.operators) operators.push_back(ToJson(person));
  for (const auto& queue : state.queues) queues.push_back(ToJson(queue));
  nlohmann::json callbacks = nlohmann::json::array();
  for (const auto& callback : state.callbacks) {
    callbacks.push_back({{"ruleID", callback.ruleID},
                         {"number", callback.number},
                         {"state", callback.state},
                         {"place", callback.place},
                         {"attempts", callback.attempts},
                         {"waitSeconds", callback.waitSeconds}});
  }
  nlohmann::json reasons = nlohmann::json::array();
  for (const auto& [id, name] : state.pauseReasons) reasons.push_back({{"id", id}, {"name", name}});
  return {{"connected", state.connected}, {"pauseReasons", std::move(reasons)}, {"server", state.server},
          {"lines", std::move(lines)},    {"operators", std::move(operators)},  {"queues", std::move(queues)},
          {"callbacks", std::move(callbacks)}};
}

}  // namespace vantrel::web
