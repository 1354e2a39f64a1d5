#include "LineRouter.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <stdexcept>

#include "lines/LineInternal.h"
#include "lines/LineLib.h"
#include "model/Servant.h"
#include "platform/Ticks.h"
#include "routing/OperatorLib.h"
#include "routing/RuleLib.h"
#include "routing/RulesLib.h"
#include "support/VantrelCommonRoutines.h"
#include "telephony/diZuduUtils.h"

namespace vantrel {

using telephony::TTapiCall;
using TState = TRoutedCall::TState;

namespace {
// Targets one routed call tries at most before the server stops routing it (a rule that only yields busy
// numbers would otherwise go round for as long as the caller waits).
constexpr int kMaxRoutingAttempts = 50;
}  // namespace

// ---- support ----

bool TLineRouter::ApplyRule(CORBA::Long call, bool increment, std::string& result, TRoutedCall& routed,
                            CORBA::Long* waitingGroup) {
  ::Rule_var rule = RuleOf(routed);
  if (CORBA::is_nil(rule)) throw std::runtime_error("The line has no rule");
  CORBA::String_var caller = line_.GetCallerID(call), called = line_.GetCalledID(call);
  result = called.in();
  const TLocalServant<TRule_Impl> local{rule.in()};
  if (local) {
    std::string target;
    const bool applied = local->ApplyFrom(caller.in(), called.in(), target, routed.ActionIndex, routed.Restart,
                                          increment, waitingGroup, true);
    if (applied) result = target;
    return applied;
  }
  CORBA::String_var target;
  const bool applied = rule->Apply(caller.in(), called.in(), target.out(), routed.Restart, increment);
  if (applied) result = target.in();
  return applied;
}

TRoutedCall* TLineRouter::RoutedCallOf(CORBA::Long call) {
  const auto byCaller = routed_.find(call);
  if (byCaller != routed_.end()) return &byCaller->second;
  for (auto& [caller, routed] : routed_) {
    if (routed.Consult == call) return &routed;
  }
  return nullptr;
}

void TLineRouter::TrackRequest(LONG before, CORBA::Long caller, TRequest kind) {
  const LONG request = line_.tapiLine_->LastRequestID();
  if (request != before) requests_[request] = {caller, kind};
}

void TLineRouter::DropConsultation(TRoutedCall& routed) {
  TTapiCall* consult = line_.GetCallByHandle(routed.Consult);
  if (consult == nullptr) return;
  consult->CallStatus.Invalidate();
  if (consult->State() == LINECALLSTATE_IDLE) return;
  const telephony::TAsyncRequests async(*line_.tapiLine_);
  const LONG before = line_.tapiLine_->LastRequestID();
  consult->Drop();
  TrackRequest(before, routed.Caller(), TRequest::Drop);
}

void TLineRouter::ForgetEndedRoutedCalls() {
  for (auto it = routed_.begin(); it != routed_.end();) {
    if (it->second.State() == TState::Gone && it->second.Consult == 0) {
      const CORBA::Long caller = it->first;
      std::erase_if(requests_, [&](const auto& request) { return request.second.first == caller; });
      it = routed_.erase(it);
    } else {
      ++it;
    }
  }
}

void TLineRouter::OnReply(LONG requestId, LONG result) {
  if (const auto asked = callbackRequests_.find(requestId); asked != callbackRequests_.end()) {
    const std::string key = asked->second;
    callbackRequests_.erase(asked);
    const auto callback = callbacks_.find(key);
    if (result == 0 || callback == callbacks_.end()) return;
    LogFormat("callback %s: request %d refused: %s",
              {key, static_cast<long>(requestId), telephony::TapiErrorText(result)});
    line_.Guard("TLine_Impl.OnCallbackReply", [&] {
      if (callback->second.State() == TCallback::TState::RingingOperator)
        CallbackBackInLine(callback->second, "the call to the operator was refused");
      else if (callback->second.State() == TCallback::TState::CallingCaller)
        EndCallbackAttempt(callback->second, "the call to the caller was refused");
    });
    return;
  }
  const auto found = requests_.find(requestId);
  if (found == requests_.end()) return;
  const auto [caller, kind] = found->second;
  requests_.erase(found);
  if (result == 0) return;
  const auto routed = routed_.find(caller);
  if (routed == routed_.end()) return;
  LogFormat("routing %d: request %d refused: %s",
            {static_cast<long>(caller), static_cast<long>(requestId), telephony::TapiErrorText(result)});
  // A dial or a transfer that cannot go on drops what is left of it: the consultation call's end brings the
  // caller back for the next target, or leaves nothing behind when the caller is gone.
  if (kind == TRequest::Dial || kind == TRequest::CompleteTransfer) {
    line_.Guard("TLine_Impl.DoConnected", [&] { DropConsultation(routed->second); });
  }
}

::Line_ptr TLineRouter::LineAt(const std::string& phoneNumber) {
  ::Lines_var lines = line_.GetLines();
  if (CORBA::is_nil(lines) || phoneNumber.empty()) return ::Line::_nil();
  return ::Line::_narrow(::ContainerItem_var(lines->GetItemByDevicePhoneNumber(phoneNumber.c_str())));
}

::Operator_ptr TLineRouter::OperatorAt(const std::string& phoneNumber) {
  ::Line_var line = LineAt(phoneNumber);
  return CORBA::is_nil(line) ? ::Operator::_nil() : line->GetOperator();
}

void TLineRouter::PauseOperatorAt(const std::string& phoneNumber) {
  ::Operator_var seated = OperatorAt(phoneNumber);
  if (CORBA::is_nil(seated) || seated->GetStatus() != ::OperatorReady) return;
  LogFormat("operator %d paused: a routed call rang unanswered", {static_cast<long>(seated->GetID())});
  seated->SetStatus(::OperatorPause);
  seated->SetPauseReason(kPausedByNoAnswer);
}

void TLineRouter::CheckRingTimeouts(DWORD ticks) {
  if (routed_.empty()) return;
  const ::Rules_var rules = line_.GetRules();
  const TLocalServant<TRules_Impl> settings{rules.in()};
  const int seconds = settings ? settings->RingTimeout() : 0;
  if (seconds <= 0) return;
  for (auto& [caller, routed] : routed_) {
    if (routed.State() != TState::Dialling) continue;
    if (static_cast<std::int32_t>(ticks - routed.DialledAt) < seconds * 1000) continue;
    LogFormat("routing %d: the target did not answer within %d s", {static_cast<long>(caller), seconds});
    line_.Guard("TLine_Impl.PauseOperatorAt", [&] {
      CORBA::String_var dialled = line_.GetCallNote(routed.Consult, "RESULTPHONENUMBER");
      WriteQueueLog(TQueueEvent::RingNoAnswer, routed, dialled.in(), seconds);
      if (settings->PauseOnNoAnswer()) PauseOperatorAt(dialled.in());
    });
    // As for a busy target: the consultation call goes, and its end asks the rule for the next target.
    routed.Transition(TState::Answered, "ring time-out");
    line_.Guard("TLine_Impl.DoBusy", [&] { DropConsultation(routed); });
  }
}

TQueueCallerKey TLineRouter::QueueKey(CORBA::Long caller) const { return {line_.GetID(), caller}; }

// ---- the queue ----

bool TLineRouter::StartWaiting(TRoutedCall& routed, CORBA::Long group) {
  const auto rules = line_.LocalRules();
  ::Rule_var rule = RuleOf(routed);
  TTapiCall* caller = line_.GetCallByHandle(routed.Caller());
  if (!rules || CORBA::is_nil(rule) || caller == nullptr) return false;
  const ::RuleQueueSettings settings = rule->GetQueueSettings();
  const auto now = TRoutedCall::TClock::now();
  if (!routed.QueuedSince) routed.QueuedSince = now;
  if (now - *routed.QueuedSince >= std::chrono::seconds(settings.MaxWait)) {
    NoteOverflow(routed);  // came back after a target rang out, with its wait used up
    return false;
  }
  if (!rules->Queue().Enter(QueueKey(routed.Caller()), routed.Rule, group, settings.Priority, settings.MaxWaiting,
                            *routed.QueuedSince)) {
    LogFormat("routing %d: %d callers wait already", {static_cast<long>(routed.Caller()), settings.MaxWaiting});
    NoteOverflow(routed);
    return false;
  }
  routed.WaitingGroup = group;
  routed.Transition(TState::Waiting, "no member of the group is ready");
  WriteQueueLog(TQueueEvent::Entered, routed, {}, 0);
  AnnounceToCallers();  // the first announcement before the music
  // Held, the caller hears what the exchange plays to held callers.
  const telephony::TAsyncRequests async(*line_.tapiLine_);
  const LONG before = line_.tapiLine_->LastRequestID();
  caller->Hold();
  TrackRequest(before, routed.Caller(), TRequest::Hold);
  return true;
}

void TLineRouter::TakeOffHold(TRoutedCall& routed, const char* why) {
  // Off hold, the caller is connected again and the rule goes on from the group's action.
  routed.WaitingGroup = -1;
  routed.Transition(TState::Answered, why);
  line_.Unhold(routed.Caller());
}

void TLineRouter::ServeWaitingCallers() {
  const auto rules = line_.LocalRules();
  if (!rules || (routed_.empty() && callbacks_.empty())) return;
  const auto now = TRoutedCall::TClock::now();
  for (auto& [caller, routed] : routed_) {
    if (routed.State() != TState::Waiting || !routed.QueuedSince) continue;
    const ::Rule_var rule = RuleOf(routed);  // the line's, or the one chosen in the menu
    if (CORBA::is_nil(rule)) continue;
    const ::RuleQueueSettings settings = rule->GetQueueSettings();
    if (now - *routed.QueuedSince < std::chrono::seconds(settings.MaxWait)) continue;
    LogFormat("routing %d: waited %d s for group %d",
              {static_cast<long>(caller), settings.MaxWait, static_cast<long>(routed.WaitingGroup)});
    rules->Queue().Leave(QueueKey(caller));
    NoteOverflow(routed);
    routed.NoWaiting = true;
    TakeOffHold(routed, "its wait ran out");
  }
  // The callers next in line that wait here, one after the other while a member is free for them that no caller
  // released before has taken yet.
  const long lineId = line_.GetID();
  for (bool released = true; released;) {
    released = false;
    for (const auto& [key, group] : rules->Queue().NextCallers()) {
      if (key.line != lineId) continue;
      if (key.handle < 0) {
        // A callback: its operator is rung, then the caller called.
        const auto callback = std::find_if(callbacks_.begin(), callbacks_.end(),
                                           [&](const auto& item) { return item.second.QueueHandle == key.handle; });
        if (callback == callbacks_.end() || (callback->second.State() != TCallback::TState::Waiting &&
                                             callback->second.State() != TCallback::TState::Requested)) {
          rules->Queue().Leave(key);
          released = true;
          break;
        }
        if (callback->second.State() == TCallback::TState::Requested) continue;  // the caller is still on the line
        const ::Rule_var rule = RuleByID(callback->second.Rule);
        const TLocalServant<TRule_Impl> local{rule.in()};
        if (!local) continue;
        const long taken = rules->Queue().Released(group);
        if (local->ReadyMembersAt(callback->second.ActionIndex, taken + 1) <= taken) continue;
        if (!ServeCallback(callback->second, key)) continue;
        released = true;
        break;
      }
      const auto found = routed_.find(static_cast<CORBA::Long>(key.handle));
      if (found == routed_.end() || found->second.State() != TState::Waiting) {
        // A caller this line no longer routes would hold up its group for good.
        rules->Queue().Leave(key);
        released = true;
        break;
      }
      const ::Rule_var rule = RuleOf(found->second);
      const TLocalServant<TRule_Impl> local{rule.in()};
      if (!local) continue;
      const long taken = rules->Queue().Released(group);
      if (local->ReadyMembersAt(found->second.ActionIndex, taken + 1) <= taken) continue;
      rules->Queue().Release(key);
      TakeOffHold(found->second, "a member of the group is ready");
      released = true;
      break;
    }
  }
}

void TLineRouter::ServeNextCallers() {
  const auto rules = line_.LocalRules();
  ::Lines_var lines = line_.GetLines();
  if (!rules || CORBA::is_nil(lines)) return;
  for (const long id : rules->Queue().LinesOfNextCallers()) {
    ::ContainerItem_var item = lines->GetItemByID(id);
    if (const TLocalServant<TLine_Impl> line{item.in()}) {
      line_.Guard("TLine_Impl.ServeWaitingCallers", [&] { line->router_.ServeWaitingCallers(); });
    } else {
      rules->Queue().ForgetLine(id);  // the line is gone, and its callers with it
    }
  }
}

// ---- accounting and the queue log ----

void TLineRouter::NoteCallerAnswered(TRoutedCall& routed, const std::string& target) {
  if (routed.PutThrough) return;
  routed.PutThrough = true;
  const auto rules = line_.LocalRules();
  ::Rule_var rule = RuleOf(routed);
  if (!rules || CORBA::is_nil(rule)) return;
  const ::RuleQueueSettings settings = rule->GetQueueSettings();
  // Whole seconds, as the queue log has them, so that reports made from it agree with the figures.
  rules->Queue().NoteAnswered(routed.Rule, SecondsSince(routed.OfferedAt), settings.ServiceLevelSeconds);
  WriteQueueLog(TQueueEvent::Connected, routed, target, SecondsSince(routed.OfferedAt));
  ::Operator_var seated = OperatorAt(target);
  if (const TLocalServant<TOperator_Impl> own{seated.in()}) {
    own->NoteRoutedCallAnswered(routed.Rule, settings.WrapUp);
    own->Unreserve();  // the call is at the operator's line now
  }
}

void TLineRouter::RecordPutThrough(const TRoutedCall& routed, const std::string& target) {
  line_.Guard("TLine_Impl.RecordPutThrough", [&] {
    ::Rule_var rule = RuleOf(routed);
    if (CORBA::is_nil(rule) || !rule->GetRecordsCalls()) return;
    // Recorded where it is put through: the operator's line keeps the recording and its row once the caller
    // has left this line.
    ::Line_var line = LineAt(target);
    const TLocalServant<TLine_Impl> at{line.in()};
    if (!at) {
      LogFormat("Recording: call %d put through to %s not recorded: no line of this server has that number",
                {static_cast<long>(routed.Caller()), target});
      return;
    }
    CORBA::String_var own = line_.GetDevicePhoneNumber();
    at->RecordPutThrough(own.in());
  });
}

void TLineRouter::NoteOverflow(const TRoutedCall& routed) {
  if (const auto rules = line_.LocalRules()) rules->Queue().NoteOverflowed(routed.Rule);
  WriteQueueLog(TQueueEvent::Overflowed, routed, {}, SecondsSince(routed.OfferedAt));
}

void TLineRouter::NoteCallerGone(TRoutedCall& routed) {
  if (routed.State() == TState::CallingBack) {
    // Not abandoned: the callback keeps the caller's place.
    OnCallbackCallerGone(routed);
    return;
  }
  if (routed.State() == TState::Gone || routed.PutThrough) return;
  const auto rules = line_.LocalRules();
  if (!rules) return;
  rules->Queue().Leave(QueueKey(routed.Caller()));
  rules->Queue().NoteAbandoned(routed.Rule, SecondsSince(routed.OfferedAt), rules->ShortAbandonSeconds());
  WriteQueueLog(TQueueEvent::Abandoned, routed, {}, SecondsSince(routed.OfferedAt));
  LogFormat("routing %d: the caller hung up before an operator answered", {static_cast<long>(routed.Caller())});
}

void TLineRouter::ReleaseMemberAt(const std::string& phoneNumber) {
  line_.Guard("TLine_Impl.ReleaseMemberAt", [&] {
    ::Operator_var seated = OperatorAt(phoneNumber);
    if (const TLocalServant<TOperator_Impl> own{seated.in()}) own->Unreserve();
  });
}

long TLineRouter::SecondsSince(TRoutedCall::TClock::time_point since) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::seconds>(TRoutedCall::TClock::now() - since).count());
}

void TLineRouter::WriteQueueLog(TQueueEvent event, const TRoutedCall& routed, const std::string& operatorPhone,
                                long seconds, long reason) {
  line_.Guard("TLine_Impl.WriteQueueLog", [&] {
    // The live call first: a line with many callers keeps only its latest ones in the history.
    std::optional<TCallsHistoryItem> entry;
    if (TTapiCall* live = line_.GetCallByHandle(routed.Caller())) {
      entry = TCallsHistoryList::FromCall(*live);
    } else {
      entry = line_.history_.GetItem(routed.Caller());
    }
    const TDateTime now = NowLocal();
    const TDateTime begin = entry && entry->BeginTime != 0 ? entry->BeginTime : now;
    TCallLogRow row;
    row.QueueEvent = event;
    row.CallHandle = DateTimeText(begin, true) + "-" + std::to_string(routed.Caller());
    row.BeginTime = DateTimeText(now, false);
    row.CallerPhoneNumber = entry ? entry->CallerID : std::string();
    row.Rule_id = routed.Rule;
    row.Seconds = seconds;
    row.Reason = reason;
    WriteRoutingRow(std::move(row), operatorPhone);
  });
}

void TLineRouter::WriteRoutingRow(TCallLogRow row, const std::string& operatorPhone) {
  CORBA::String_var linePhoneNumber = line_.GetDevicePhoneNumber();
  if (row.BeginTime.empty()) row.BeginTime = DateTimeText(NowLocal(), false);
  row.LinePhoneNumber = linePhoneNumber.in();
  row.ConnectedPhoneNumber = operatorPhone;
  if (::Line_var line = LineAt(operatorPhone); !CORBA::is_nil(line)) row.Operator_id = line->GetOperatorID();
  line_.AcceptLogRow(std::move(row), "TLine_Impl.WriteQueueLog");
}

void TLineRouter::OnTick(DWORD ticks) {
  CheckRingTimeouts(ticks);
  line_.Guard("TLine_Impl.ServeWaitingCallers", [&] { ServeWaitingCallers(); });
  line_.Guard("TLine_Impl.EndMenusDue", [&] { EndMenusDue(); });
  line_.Guard("TLine_Impl.TickCallbacks", [&] { TickCallbacks(); });
  line_.Guard("TLine_Impl.AnnounceToCallers", [&] { AnnounceToCallers(); });
  line_.Guard("TLine_Impl.OnRoutingTick", [&] {
    ::Operator_var seated = line_.GetOperator();
    if (const TLocalServant<TOperator_Impl> own{seated.in()}) own->EndWrapUpIfDue();
    if (const auto rules = line_.LocalRules()) rules->PublishQueueFigures();
  });
}

void TLineRouter::OnCallFinished() {
  ::Operator_var seated = line_.GetOperator();
  if (const TLocalServant<TOperator_Impl> own{seated.in()}) {
    if (const auto talk = own->NoteCallEnded()) {
      if (const auto rules = line_.LocalRules()) rules->Queue().NoteTalk(talk->rule, talk->seconds);
    }
    // The operator may be free now: the callers next in line need not wait for the next tick.
    ServeNextCallers();
  }
}

// ---- the routing's part of the event steps ----

void TLineRouter::OnOffering(CORBA::Long call) {
  bool applied = false;
  std::string result;
  TRoutedCall candidate(call);
  ::Rule_var rule = line_.GetRule();
  ::Rules_var rules = line_.GetRules();
  if (!CORBA::is_nil(rule) && !CORBA::is_nil(rules) && rules->GetEnabled() && rule->GetEnabled()) {
    CORBA::Long waitingGroup = -1;
    applied = ApplyRule(call, false, result, candidate, &waitingGroup);
    if (!applied && waitingGroup >= 0) {
      // No member of the group is ready: the server answers the caller, who waits for one.
      applied = true;
      result.clear();
    }
    if (!applied && HasMenu()) {
      // The caller's choice decides where the call goes: the server answers it for the menu.
      applied = true;
      result.clear();
    }
    LogFormat("TestTransfer_DOOFFERING_Number = %s Handle = %s RESTART = %s",
              {result, std::to_string(call), candidate.Restart ? "1" : "0"});
  }
  CORBA::String_var own = line_.GetDevicePhoneNumber();
  LogFormat("TestTransfer_DOOFFERING RULEApplied = %s DevicePhoneNumber =  %s", {applied ? "1" : "0", own.in()});
  TTapiCall* found = line_.GetCallByHandle(call);
  if (applied && result != own.in() && found != nullptr) {
    line_.SetCallOwner(*found);
    line_.SetCallNote(call, "RULED", "1");
    CORBA::String_var ruled = line_.GetCallNote(call, "RULED");
    LogFormat("TestTransfer_DOOFFERING_RULED %s_CallHandle %s", {ruled.in(), std::to_string(call)});
    candidate.Rule = line_.GetRuleID();
    if (const auto local = line_.LocalRules()) {
      local->Queue().NoteOffered(candidate.Rule, ::Rule_var(line_.GetRule())->GetQueueSettings().ServiceLevelSeconds);
    }
    TRoutedCall& routed = routed_.insert_or_assign(call, candidate).first->second;
    routed.Transition(TState::Offered,
                      result.empty() ? "the server answers the caller (to wait or choose)" : "the rule chose a target");
    const telephony::TAsyncRequests async(*line_.tapiLine_);
    const LONG before = line_.tapiLine_->LastRequestID();
    line_.tapiLine_->Answer(found);
    TrackRequest(before, call, TRequest::Answer);
  } else {
    line_.SetCallNote(call, "RULED", "0");
  }
}

void TLineRouter::OnConnected(CORBA::Long call) {
  if (OnCallbackConnected(call)) return;
  bool applied = false;
  std::string result;
  TRoutedCall* routed = line_.IsRuled(call) ? RoutedCallOf(call) : nullptr;
  if (routed != nullptr && routed->IsOver()) routed = nullptr;
  const bool isCaller = routed != nullptr && routed->Caller() == call;
  if (isCaller && StartGreeting(*routed)) return;  // the routing goes on once the greeting is heard
  if (isCaller && StartMenu(*routed)) return;      // and with the rule the caller chooses
  if (isCaller) routed->Transition(TState::Answered, "the caller is connected");
  if (routed != nullptr && !isCaller && routed->Consult == call) {
    // The target answered the consultation call: the transfer goes to it, whatever the rule would choose now
    // (asked again, it would pass its member over as busy, or choose a second one).
    CORBA::String_var dialled = line_.GetCallNote(call, "RESULTPHONENUMBER");
    result = dialled.in();
    applied = !result.empty();
  } else if (routed != nullptr) {
    CORBA::Long waitingGroup = -1;
    applied = ApplyRule(call, true, result, *routed, isCaller && !routed->NoWaiting ? &waitingGroup : nullptr);
    if (!applied && waitingGroup >= 0 && !StartWaiting(*routed, waitingGroup)) {
      // The wait ran out or the line of callers is full: on to the rule's next action at once.
      routed->NoWaiting = true;
      applied = ApplyRule(call, true, result, *routed);
    }
  }
  if (routed != nullptr) {
    LogFormat("TestTransfer_DOCONNECTED_Number = %s Handle = %s RESTART = %s",
              {result, std::to_string(call), routed->Restart ? "1" : "0"});
    routed->Restart = false;
  }
  CORBA::String_var own = line_.GetDevicePhoneNumber();
  if (!applied || result == own.in()) return;
  if (TTapiCall* found = line_.GetCallByHandle(call)) line_.SetCallOwner(*found);
  line_.SetCallNote(call, "RULED", "1");
  line_.SetCallNote(call, "RESULTPHONENUMBER", result.c_str());
  routed->Target = result;
  CORBA::String_var noted = line_.GetCallNote(call, "RESULTPHONENUMBER");
  LogFormat("TestTransfer_DOConnected_RESULTPHONENUMBER_%s", {noted.in()});
  if (line_.GetCallIsIncoming(call) && isCaller) {
    TTapiCall* found = line_.GetCallByHandle(call);
    TTapiCall* consult = nullptr;
    if (found != nullptr && !found->IsOnHold() && found->IsConnected()) {
      if (++routed->Attempts > kMaxRoutingAttempts) {
        LogFormat("routing %d: no target answered after %d tries", {static_cast<long>(call), kMaxRoutingAttempts});
        routed->Transition(TState::Ended, "too many tries");
      } else {
        LogMessage("TestTransfer_Beforesetuptrans");
        const telephony::TAsyncRequests async(*line_.tapiLine_);
        const LONG before = line_.tapiLine_->LastRequestID();
        consult = found->SetupTransfer();
        TrackRequest(before, call, TRequest::SetupTransfer);
        LogMessage("TestTransfer_Aftersetuptrans");
      }
    }
    LogFormat("TestTransfer_DoConnected_ConsultCallAssigned_Consult %s_ ACall %s",
              {consult != nullptr ? "1" : "0", std::to_string(line_.CallHandle(consult))});
    if (consult != nullptr) {
      consult->SetOwner(true);
      routed->Consult = line_.CallHandle(consult);
      routed->Transition(TState::Consulting, "transfer set up");
    } else {
      ReleaseMemberAt(result);  // no consultation call to ring them with
    }
  }
  if (line_.GetCallIsOutgoing(call) && line_.GetCallIsConnected(call) && !isCaller) {
    // The consultation call: its target answered.
    routed->Transition(TState::Completing, "target answered");
    NoteCallerAnswered(*routed, result);
    RecordPutThrough(*routed, result);
    try {
      const telephony::TAsyncRequests async(*line_.tapiLine_);
      const LONG before = line_.tapiLine_->LastRequestID();
      if (TTapiCall* found = line_.GetCallByHandle(call)) found->CompleteTransfer(false);
      TrackRequest(before, routed->Caller(), TRequest::CompleteTransfer);
    } catch (const telephony::ETapiError& error) {
      DropConsultation(*routed);
      if (error.ErrorCode != LINEERR_INVALCALLSTATE) throw;
      // The caller went as the target answered: what is left of the transfer went, and the step goes on, so
      // the consultation call is still logged as connected.
      LogFormat("routing %d: the caller left as the target answered", {static_cast<long>(routed->Caller())});
    } catch (...) {
      DropConsultation(*routed);
      throw;
    }
    routed->Restart = true;
  }
}

bool TLineRouter::OnDialtone(CORBA::Long call) {
  if (OnCallbackDialtone(call)) return true;
  TRoutedCall* routed = RoutedCallOf(call);
  if (routed == nullptr || routed->Consult != call || routed->State() != TState::Consulting) return false;
  line_.SetCallNote(call, "RULED", "1");
  line_.SetCallNote(call, "RESULTPHONENUMBER", routed->Target.c_str());
  routed->Target.clear();
  CORBA::String_var number = line_.GetCallNote(call, "RESULTPHONENUMBER");
  LogFormat("TestTransfer_DODIALTONE FConsultHandle = %s RESPHONENUMBER = %s", {std::to_string(call), number.in()});
  if (number.in()[0] == '\0') return true;
  routed->DialledAt = platform::GetTickCount();
  routed->Transition(TState::Dialling, "consultation call has dial tone");
  if (const auto rules = line_.LocalRules()) rules->Queue().Settle(QueueKey(routed->Caller()));
  const telephony::TAsyncRequests async(*line_.tapiLine_);
  const LONG before = line_.tapiLine_->LastRequestID();
  line_.Dial(call, number.in(), 0);
  if (line_.tapiLine_->LastRequestID() == before) {
    // Refused before it was issued (reported by Dial): the consultation call goes, the caller comes back.
    DropConsultation(*routed);
  } else {
    TrackRequest(before, routed->Caller(), TRequest::Dial);
  }
  return true;
}

void TLineRouter::OnBusy(CORBA::Long call) {
  if (OnCallbackBusy(call)) return;
  if (!line_.IsRuled(call)) return;
  LogFormat("TestTransfer_ONBUSY Handle %d", {static_cast<long>(call)});
  TRoutedCall* routed = RoutedCallOf(call);
  if (routed != nullptr && routed->Consult == call) {
    if (!routed->IsOver()) routed->Transition(TState::Answered, "target busy");
    DropConsultation(*routed);
  } else if (TTapiCall* found = line_.GetCallByHandle(call)) {
    const telephony::TAsyncRequests async(*line_.tapiLine_);
    found->Drop();
  }
}

void TLineRouter::OnIdle(CORBA::Long call) {
  const auto found = routed_.find(call);
  if (!line_.IsRuled(call) || found == routed_.end()) return;
  TRoutedCall& caller = found->second;
  NoteCallerGone(caller);
  if (caller.Consult != 0 && caller.Consult != call) {
    // The caller hung up while the target was still being called. After a completed transfer the
    // consultation call has ended too: there is nothing left to drop.
    TTapiCall* consult = line_.GetCallByHandle(caller.Consult);
    if (consult != nullptr) consult->CallStatus.Invalidate();
    if (consult == nullptr || consult->State() != LINECALLSTATE_IDLE) {
      const telephony::TAsyncRequests async(*line_.tapiLine_);
      line_.tapiLine_->Drop(consult);
      caller.Restart = true;
      LogFormat("TestTransfer_DOIDLE Restart = %s", {"1"});
    }
  }
  caller.Transition(TState::Gone, "the caller hung up");
}

void TLineRouter::OnCallEnd(CORBA::Long call) {
  if (OnCallbackCallEnd(call)) return;
  TRoutedCall* routed = RoutedCallOf(call);
  if (routed == nullptr) return;
  if (routed->Caller() == call) {
    NoteCallerGone(*routed);
    routed->Transition(TState::Gone, "the caller's call ended");
  } else {
    // The consultation call is gone: unless the transfer was made, the caller comes back from hold (see
    // DoCallFinished) and the rule is asked for the next target. The member it rang is free for others.
    // (Gone before its dial tone, it has not been given the number yet: the target still names the member.)
    CORBA::String_var dialled = line_.GetCallNote(call, "RESULTPHONENUMBER");
    ReleaseMemberAt(dialled.in()[0] != '\0' ? std::string(dialled.in()) : routed->Target);
    routed->Target.clear();
    routed->Consult = 0;
    if (!routed->IsOver()) routed->Transition(TState::Answered, "consultation call ended");
  }
  ForgetEndedRoutedCalls();
}

}  // namespace vantrel
