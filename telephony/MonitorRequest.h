#pragma once

#include <string>

namespace vantrel::telephony {

// How a supervisor's station joins a monitored call: hears both sides and is heard by nobody, is heard by the
// station's side only (coaching the operator), or is heard by all.
enum class TMonitorMode { Listen, Whisper, Barge };

// What is asked of a call's monitor (the server's own extension, as recording is). Start rings the supervisor's
// station; Mode switches a running monitor; Ask only says whether the call has one.
struct TMonitorRequest {
  enum class TAction { Start, Mode, Ask };
  TAction action = TAction::Start;
  std::string supervisor;  // the station's number, for Start
  TMonitorMode mode = TMonitorMode::Listen;
};

const char* MonitorModeName(TMonitorMode mode);

}  // namespace vantrel::telephony
