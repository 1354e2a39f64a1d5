// What the gateway knows of the server at one moment, as browsers and integrators read it.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace vantrel::web {

// Milliseconds since the epoch, as browsers count them.
std::int64_t EpochMilliseconds();

struct TLiveCall {
  long id = 0;
  std::string state;  // "offering", "connected", "on hold", ...
  bool incoming = false;
  std::string remote;  // the party this line talks to
  std::string caller;
  std::string called;
  std::string originalCaller;  // the outside caller, also at an operator's line after a routed transfer
  std::string contact;         // CRM contact and company, from the call's notes
  std::string company;
  std::int64_t since = 0;  // when the gateway first saw the call
};

struct TLiveLine {
  std::string number;
  std::string name;
  bool outer = false;
  std::string rule;
  long operatorID = 0;  // 0: nobody logged in here
  bool dnd = false;
  std::vector<TLiveCall> calls;
};

// A call that has left a line.
struct TPastCall {
  long id = 0;
  bool incoming = false;
  std::string remote;
  std::string originalCaller;
  bool connected = false;
  std::int64_t began = 0;
  std::int64_t ended = 0;
};

struct TLiveOperator {
  long id = 0;
  std::string name;
  std::string computer;
  std::string line;
  std::string status;  // "ready", "busy", "pause", "wrap-up"
  long pauseReason = 0;
  std::string pauseReasonName;  // from the settings' list; empty when not paused
  // What a supervisor means: "ringing", "on a call", "on hold", "dialling" while a call is at the operator's
  // line, else "ready", "busy", "paused" or "wrap-up".
  std::string activity;
  std::int64_t wrapUpUntil = 0;  // when the wrap-up ends; 0 when not wrapping up
  std::int64_t statusSince = 0;
  long calls = 0;
  std::string loginTime;  // "HH:MM"
};

struct TLiveQueue {
  long ruleID = 0;
  std::string rule;
  long waiting = 0, longestWait = 0, offered = 0, answered = 0, abandoned = 0, overflowed = 0;
  long answeredInServiceLevel = 0, serviceLevelSeconds = 0, averageSpeedOfAnswer = 0, averageTalkTime = 0;
  // The server's service level over the callers whose wait ended (short abandons left out); -1: none ended yet.
  long serviceLevel = -1, shortAbandoned = 0;
};

// A callback a caller asked for that is not made yet: their place in the rule's line (0 while being called).
struct TLiveCallback {
  long ruleID = 0;
  std::string number, state;
  long place = 0, attempts = 0, waitSeconds = 0;
};

// Counters since the server started, for /metrics.
struct TServerCounters {
  long offered = 0, answered = 0, abandoned = 0;
  long callLogRowsWaiting = 0;
  long listeningClients = 0;
};

struct TLiveState {
  bool connected = false;
  std::string server;  // where the gateway reaches it
  std::vector<TLiveLine> lines;
  std::vector<TLiveOperator> operators;
  std::vector<TLiveQueue> queues;  // since midnight
  std::vector<TLiveCallback> callbacks;
  std::map<long, std::string> pauseReasons;
  TServerCounters sinceStart;
};

nlohmann::json ToJson(const TLiveCall& call);
nlohmann::json ToJson(const TLiveLine& line);
nlohmann::json ToJson(const TPastCall& call);
nlohmann::json ToJson(const TLiveOperator& person);
nlohmann::json ToJson(const TLiveQueue& queue);
// The whole state as the wallboard draws it.
nlohmann::json ToJson(const TLiveState& state);

}  // namespace vantrel::web
