// Supervisors listening in on the line's calls: who may, the telephony layer asked to ring the supervisor's
// station, and the queue log's rows of each monitor's start and end.
#include <chrono>

#include "LineLib.h"
#include "model/DatabaseLib.h"
#include "model/Servant.h"
#include "routing/RulesLib.h"
#include "support/DateTime.h"
#include "support/VantrelCommonRoutines.h"
#include "telephony/TelephonyThread.h"

namespace vantrel {

using telephony::TMonitorMode;
using telephony::TMonitorRequest;
using telephony::TTapiCall;
using telephony::TTelephonyThread;

namespace {

// The remote interface's mode; a value beyond its enumeration (a client built from another interface) is refused.
bool ModeOf(::MonitorMode remote, TMonitorMode* mode) {
  switch (remote) {
    case ::MonitorListen:
      *mode = TMonitorMode::Listen;
      return true;
    case ::MonitorWhisper:
      *mode = TMonitorMode::Whisper;
      return true;
    case ::MonitorBarge:
      *mode = TMonitorMode::Barge;
      return true;
    default:
      return false;
  }
}

std::string BadMode(::MonitorMode remote) {
  return "no such monitor mode " + std::to_string(static_cast<long>(remote)) + " (listen 0, whisper 1, barge 2)";
}

}  // namespace

char* TLine_Impl::Monitor(CORBA::Long call, const char* supervisorNumber, ::MonitorMode remoteMode) {
  std::string answer;
  try {
    TMonitorMode mode{};
    const std::string supervisor = supervisorNumber != nullptr ? supervisorNumber : "";
    if (!ModeOf(remoteMode, &mode)) {
      answer = BadMode(remoteMode);
    } else {
      answer = MonitorRefusal(supervisor);
      if (answer.empty())
        answer = TTelephonyThread::Instance().Call([&] { return StartMonitor(call, supervisor, mode); });
    }
  } catch (...) {
    HandleError("TLine_Impl.Monitor", std::current_exception());
    answer = "the monitor failed; the error log says why";
  }
  return CORBA::string_dup(answer.c_str());
}

char* TLine_Impl::SetMonitorMode(CORBA::Long call, ::MonitorMode remoteMode) {
  std::string answer;
  try {
    TMonitorMode mode{};
    if (!ModeOf(remoteMode, &mode))
      answer = BadMode(remoteMode);
    else
      answer = TTelephonyThread::Instance().Call([&] { return SwitchMonitor(call, mode); });
  } catch (...) {
    HandleError("TLine_Impl.SetMonitorMode", std::current_exception());
    answer = "the monitor failed; the error log says why";
  }
  return CORBA::string_dup(answer.c_str());
}

std::string TLine_Impl::MonitorRefusal(const std::string& supervisor) {
  if (supervisor.empty()) return "no supervisor's station given";
  CORBA::String_var own = GetDevicePhoneNumber();
  if (supervisor == own.in()) return "station " + supervisor + " cannot listen in on its own call";
  const TLocalServant<TRules_Impl> rules = LocalRules();
  const int group = rules ? rules->SupervisorGroup() : 0;
  if (group == 0) return "nobody may listen in: Rules.ini names no [Rules] SupervisorGroup=";
  ::Lines_var lines = LinesContainer();
  if (CORBA::is_nil(lines)) return "no lines";
  ::Line_var line = ::Line::_narrow(::ContainerItem_var(lines->GetItemByDevicePhoneNumber(supervisor.c_str())));
  if (CORBA::is_nil(line)) return "no line at station " + supervisor;
  ::Operator_var seated = line->GetOperator();
  if (CORBA::is_nil(seated)) return "nobody is logged in at station " + supervisor;
  if (!seated->GetIsInGroup(group))
    return "the operator at station " + supervisor + " is not in the supervisors' group " + std::to_string(group);
  return {};
}

std::string TLine_Impl::StartMonitor(CORBA::Long handle, const std::string& supervisor, TMonitorMode mode) {
  TTapiCall* call = GetCallByHandle(handle);
  if (call == nullptr) return "no such call";
  if (auto running = monitors_.find(handle); running != monitors_.end())
    return "the call has a monitor already (station " + running->second.supervisor + ")";
  TMonitorRequest request;
  request.action = TMonitorRequest::TAction::Start;
  request.supervisor = supervisor;
  request.mode = mode;
  const std::string refused = call->Monitor(request);
  if (!refused.empty()) return refused;
  monitors_[handle] = TLineMonitor{supervisor, mode, std::chrono::steady_clock::now()};
  LogFormat("Monitor: call %d of line %s, station %s rung (%s)",
            {static_cast<long>(handle), Name(), supervisor, telephony::MonitorModeName(mode)});
  MonitorQueueRow(handle, TQueueEvent::MonitorStarted, supervisor, 0, static_cast<long>(mode));
  return {};
}

std::string TLine_Impl::SwitchMonitor(CORBA::Long handle, TMonitorMode mode) {
  TTapiCall* call = GetCallByHandle(handle);
  if (call == nullptr) return "no such call";
  auto running = monitors_.find(handle);
  if (running == monitors_.end()) return "the call has no monitor";
  TMonitorRequest request;
  request.action = TMonitorRequest::TAction::Mode;
  request.mode = mode;
  const std::string refused = call->Monitor(request);
  if (!refused.empty()) return refused;
  LogFormat("Monitor: call %d of line %s, station %s: %s -> %s",
            {static_cast<long>(handle), Name(), running->second.supervisor,
             telephony::MonitorModeName(running->second.mode), telephony::MonitorModeName(mode)});
  running->second.mode = mode;
  return {};
}

void TLine_Impl::CheckMonitor(CORBA::Long handle) {
  if (monitors_.count(handle) == 0) return;
  TTapiCall* call = GetCallByHandle(handle);
  TMonitorRequest request;
  request.action = TMonitorRequest::TAction::Ask;
  if (call == nullptr || !call->Monitor(request).empty()) MonitorOver(handle);
}

void TLine_Impl::MonitorOver(CORBA::Long handle) {
  auto running = monitors_.find(handle);
  if (running == monitors_.end()) return;
  const TLineMonitor monitor = running->second;
  monitors_.erase(running);
  const auto seconds =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - monitor.started).count();
  LogFormat("Monitor: call %d of line %s, station %s ended, %d s",
            {static_cast<long>(handle), Name(), monitor.supervisor, static_cast<long>(seconds)});
  MonitorQueueRow(handle, TQueueEvent::MonitorEnded, monitor.supervisor, static_cast<long>(seconds),
                  static_cast<long>(monitor.mode));
}

void TLine_Impl::MonitorQueueRow(CORBA::Long call, TQueueEvent event, const std::string& supervisor, long seconds,
                                 long mode) {
  TCallLogRow row;
  row.QueueEvent = event;
  CallKeyed(call, row);
  row.ConnectedPhoneNumber = supervisor;
  row.Seconds = seconds;
  row.Reason = mode;
  WriteStationQueueRow(std::move(row), "TLine_Impl.MonitorQueueRow");
}

}  // namespace vantrel
