// The line's recording operations: on demand (the remote interface), for every call of a line with Record=1,
// and the record of each recording once it is over.
#include <chrono>

#include "LineLib.h"
#include "model/Servant.h"
#include "support/DateTime.h"
#include "support/VantrelCommonRoutines.h"
#include "telephony/TelephonyThread.h"

namespace vantrel {

using telephony::TRecordRequest;
using telephony::TTapiCall;
using telephony::TTelephonyThread;

char* TLine_Impl::RecordingAnswer(const char* methodName, CORBA::Long call, TRecordRequest::TAction action) {
  std::string answer;
  try {
    answer = TTelephonyThread::Instance().Call([&] { return Record(call, action); });
  } catch (...) {
    HandleError(methodName, std::current_exception());
    answer = "the recording failed; the error log says why";
  }
  return CORBA::string_dup(answer.c_str());
}

char* TLine_Impl::StartRecording(CORBA::Long call) {
  return RecordingAnswer("TLine_Impl.StartRecording", call, TRecordRequest::TAction::Start);
}

char* TLine_Impl::StopRecording(CORBA::Long call) {
  return RecordingAnswer("TLine_Impl.StopRecording", call, TRecordRequest::TAction::Stop);
}

char* TLine_Impl::PauseRecording(CORBA::Long call, CORBA::Boolean pause) {
  return RecordingAnswer("TLine_Impl.PauseRecording", call,
                         pause ? TRecordRequest::TAction::Pause : TRecordRequest::TAction::Resume);
}

std::string TLine_Impl::Record(CORBA::Long handle, TRecordRequest::TAction action) {
  TTapiCall* call = GetCallByHandle(handle);
  if (call == nullptr) return "no such call";
  TRecordRequest request;
  request.action = action;
  std::string callKey;
  const TDateTime now = NowLocal();
  if (action == TRecordRequest::TAction::Start) {
    // Keyed as the call log keys the call; filed under the day the recording starts.
    const auto entry = history_.GetItem(handle);
    const TDateTime begin = entry && entry->BeginTime != 0 ? entry->BeginTime : now;
    callKey = DateTimeText(begin, true) + "-" + std::to_string(handle);
    request.file = DateTimeText(now, false).substr(0, 10) + "/" + callKey + ".wav";
  }
  const std::string refused = call->Record(request);
  if (!refused.empty()) return refused;
  const auto steadyNow = std::chrono::steady_clock::now();
  switch (action) {
    case TRecordRequest::TAction::Start:
      recordings_.Started(handle, callKey, request.file, DateTimeText(now, false), steadyNow);
      LogFormat("Recording: call %d of line %s in %s", {static_cast<long>(handle), Name(), request.file});
      RecordingQueueRow(handle, TQueueEvent::RecordingStarted, 0, 0);
      break;
    case TRecordRequest::TAction::Stop:
      RecordingOver(handle);
      break;
    case TRecordRequest::TAction::Pause:
    case TRecordRequest::TAction::Resume:
      recordings_.Paused(handle, action == TRecordRequest::TAction::Pause, steadyNow);
      LogFormat(action == TRecordRequest::TAction::Pause ? "Recording: call %d of line %s paused"
                                                         : "Recording: call %d of line %s resumed",
                {static_cast<long>(handle), Name()});
      RecordingQueueRow(handle,
                        action == TRecordRequest::TAction::Pause ? TQueueEvent::RecordingPaused
                                                                 : TQueueEvent::RecordingResumed,
                        0, 0);
      break;
  }
  return {};
}

void TLine_Impl::RecordIfWanted(CORBA::Long call) {
  if (recordings_.Has(call)) return;
  CORBA::String_var caller = GetCallerID(call);
  const bool putThrough = recordings_.TakeExpected(caller.in(), std::chrono::steady_clock::now());
  if (!recordsCalls_ && !putThrough) return;
  const std::string refused = Record(call, TRecordRequest::TAction::Start);
  if (!refused.empty())
    LogFormat("Recording: call %d of line %s not recorded: %s", {static_cast<long>(call), Name(), refused});
}

void TLine_Impl::RecordPutThrough(const std::string& from) {
  // This line may have seen the call connect before the routing line saw its target answer; else it will.
  auto& calls = tapiLine_->Calls();
  telephony::TProtectedGuard callsHeld(calls);
  const std::vector<TTapiCall*> listed = calls.Items();
  callsHeld.Release();
  for (TTapiCall* candidate : listed) {
    const CORBA::Long handle = CallHandle(candidate);
    if (recordings_.Has(handle)) continue;
    // The truth now, not what this line has heard so far: connected to the routing line, not yet transferred.
    candidate->CallStatus.Invalidate();
    candidate->CallInfo.Invalidate();
    CORBA::String_var caller = GetCallerID(handle), connected = GetConnectedID(handle);
    if (!candidate->IsConnected() || from != caller.in() || from != connected.in()) continue;
    LogFormat("Recording: call %d of line %s put through by a rule that records", {static_cast<long>(handle), Name()});
    const std::string refused = Record(handle, TRecordRequest::TAction::Start);
    if (!refused.empty())
      LogFormat("Recording: call %d of line %s not recorded: %s", {static_cast<long>(handle), Name(), refused});
    return;
  }
  recordings_.Expect(from, std::chrono::steady_clock::now());
}

void TLine_Impl::RecordingOver(CORBA::Long call) {
  const auto finished = recordings_.Ended(call, std::chrono::steady_clock::now());
  if (!finished) return;
  LogFormat("Recording: call %d of line %s ended, %d s (paused %d s)",
            {static_cast<long>(call), Name(), finished->seconds, finished->pausedSeconds});
  RecordingQueueRow(call, TQueueEvent::RecordingStopped, finished->seconds, finished->pausedSeconds);
  // Its row goes through the call log's writer: batched, journaled while the database is away, never twice.
  CORBA::String_var linePhoneNumber = GetDevicePhoneNumber();
  ::Operator_var seated = GetOperator();
  TCallLogRow row;
  row.CallHandle = finished->callKey;
  row.BeginTime = finished->startTime;
  row.LinePhoneNumber = linePhoneNumber.in();
  row.Operator_id = CORBA::is_nil(seated) ? 0 : GetOperatorID();
  row.File = finished->file;
  row.Seconds = finished->seconds;
  row.PausedSeconds = finished->pausedSeconds;
  AcceptLogRow(std::move(row), "TLine_Impl.RecordingOver");
}

void TLine_Impl::RecordingQueueRow(CORBA::Long call, TQueueEvent event, long seconds, long pausedSeconds) {
  TCallLogRow row;
  row.QueueEvent = event;
  CallKeyed(call, row);  // as the recording's own row is keyed
  row.Seconds = seconds;
  row.Reason = pausedSeconds;
  WriteStationQueueRow(std::move(row), "TLine_Impl.RecordingQueueRow");
}

}  // namespace vantrel
