// Callbacks of a line's callers: the offer announced to waiting callers, digit 1 that asks for one (the callback
// takes the caller's place in line), the CRM's rows that keep them over a restart, and the rules' board that shows
// them. The calls that make a callback are in LineCallbackCalls.cpp.
#include <algorithm>
#include <cstdio>
#include <ctime>

#include "lines/LineInternal.h"
#include "lines/LineLib.h"
#include "lines/LineRouter.h"
#include "model/DatabaseLib.h"
#include "model/Servant.h"
#include "routing/OperatorLib.h"
#include "routing/RuleLib.h"
#include "routing/RulesLib.h"
#include "support/ExceptionText.h"
#include "support/VantrelCommonRoutines.h"
#include "telephony/diZuduUtils.h"

namespace vantrel {

using telephony::TTapiCall;
using TState = TRoutedCall::TState;
using TCallbackState = TCallback::TState;

namespace {

constexpr const char* kConfirmation = "callback-confirm";
// The CRM is asked again this long after it could not be read at a start.
constexpr std::chrono::seconds kLoadRetry{2};

// Seconds since the "yyyy-mm-dd hh:mm:ss" of the server's local clock (negative: ahead); 0 when it cannot be read.
long SecondsAgo(const std::string& text) {
  std::tm parts{};
  if (std::sscanf(text.c_str(), "%d-%d-%d %d:%d:%d", &parts.tm_year, &parts.tm_mon, &parts.tm_mday, &parts.tm_hour,
                  &parts.tm_min, &parts.tm_sec) != 6) {
    return 0;
  }
  parts.tm_year -= 1900;
  parts.tm_mon -= 1;
  parts.tm_isdst = -1;
  const std::time_t then = std::mktime(&parts);
  if (then == static_cast<std::time_t>(-1)) return 0;
  return static_cast<long>(std::difftime(std::time(nullptr), then));
}

long ToNumber(const std::string& text, long fallback) {
  try {
    return std::stol(text);
  } catch (const std::exception&) {
    return fallback;
  }
}

}  // namespace

::Rule_ptr TLineRouter::RuleByID(CORBA::Long rule) {
  const ::Rules_var rules = line_.GetRules();
  if (CORBA::is_nil(rules) || rule < 0) return ::Rule::_nil();
  return ::Rule::_narrow(::ContainerItem_var(rules->GetItemByID(rule)));
}

std::optional<::RuleCallback> TLineRouter::CallbackOffer(const TRoutedCall& routed) {
  const ::Rule_var rule = RuleOf(routed);
  if (CORBA::is_nil(rule)) return std::nullopt;
  const ::RuleCallback settings = rule->GetCallback();
  if (!settings.Enabled) return std::nullopt;
  if (!line_.GetIsOuter()) {
    // Only an outer line reaches a trunk to call the caller back on.
    if (!callbackOfferRefusedLogged_) {
      CORBA::String_var number = line_.GetDevicePhoneNumber();
      LogErrorLine("Callback: rule " + std::to_string(routed.Rule) + " offers callbacks, but line " + number.in() +
                   " is not an outer line (no trunk to call back on); not offered there");
    }
    callbackOfferRefusedLogged_ = true;
    return std::nullopt;
  }
  CORBA::String_var caller = line_.GetCallerID(routed.Caller());
  if (caller.in()[0] == '\0') return std::nullopt;  // no number to call back
  return settings;
}

bool TLineRouter::RequestCallback(TRoutedCall& routed) {
  const auto offer = CallbackOffer(routed);
  const auto rules = line_.LocalRules();
  const ::Rule_var rule = RuleOf(routed);
  TTapiCall* live = line_.GetCallByHandle(routed.Caller());
  if (!offer || !rules || CORBA::is_nil(rule) || live == nullptr) {
    LogFormat("routing %d: digit 1, but no callback is offered to the caller", {static_cast<long>(routed.Caller())});
    return false;
  }
  // The callback's key is the call key of the call that asked for it: its rows join that call's.
  const TCallsHistoryItem entry = TCallsHistoryList::FromCall(*live);
  const std::string key =
      DateTimeText(entry.BeginTime != 0 ? entry.BeginTime : NowLocal(), true) + "-" + std::to_string(routed.Caller());
  if (callbacks_.contains(key)) return false;
  const auto now = TCallback::TClock::now();
  TCallback& callback = callbacks_.emplace(key, TCallback(key)).first->second;
  callback.QueueHandle = --lastCallbackHandle_;
  callback.Caller = routed.Caller();
  callback.Rule = routed.Rule;
  callback.ActionIndex = routed.ActionIndex;
  callback.WaitingGroup = routed.WaitingGroup;
  callback.CallerNumber = entry.CallerID;
  callback.RequestedAt = DateTimeText(NowLocal(), false);
  callback.QueuedSince = routed.QueuedSince.value_or(now);
  callback.OfferedAt = routed.OfferedAt;
  // The callback takes the caller's place in line; it was in line already, so the rule's limit does not apply.
  rules->Queue().Leave(QueueKey(routed.Caller()));
  rules->Queue().Enter({line_.GetID(), callback.QueueHandle}, callback.Rule, callback.WaitingGroup,
                       rule->GetQueueSettings().Priority, 0, callback.QueuedSince);
  routed.WaitingGroup = -1;
  routed.Transition(TState::CallingBack, "the caller asked to be called back");
  callback.Transition(TCallbackState::Requested, "the caller pressed 1");
  WriteQueueLog(TQueueEvent::CallbackRequested, routed, {}, SecondsSince(routed.OfferedAt));
  SaveCallback(callback);
  ShowCallback(callback);
  // The confirmation, then the server ends the call.
  const auto length = Prompts()->Length(kConfirmation);
  callback.HeardUntil = now + length;
  if (length.count() == 0) {
    LogFormat("Prompts: %s is missing; skipped", {kConfirmation});
  } else if (!PlayToCaller(routed, kConfirmation, {kConfirmation})) {
    callback.HeardUntil = now;
  }
  return true;
}

TCallback* TLineRouter::CallbackAskedBy(CORBA::Long caller) {
  for (auto& [key, callback] : callbacks_) {
    if (callback.Caller == caller && callback.State() == TCallbackState::Requested) return &callback;
  }
  return nullptr;
}

void TLineRouter::OnCallbackCallerGone(TRoutedCall& routed) {
  TCallback* callback = CallbackAskedBy(routed.Caller());
  if (callback == nullptr) return;
  callback->Caller = 0;
  callback->Transition(TCallbackState::Waiting, "the caller's call ended");
  ShowCallback(*callback);
}

void TLineRouter::DropCallbackCall(CORBA::Long call) {
  TTapiCall* found = call == 0 ? nullptr : line_.GetCallByHandle(call);
  if (found == nullptr) return;
  found->CallStatus.Invalidate();
  if (found->State() == LINECALLSTATE_IDLE) return;
  try {
    const telephony::TAsyncRequests async(*line_.tapiLine_);
    found->Drop();
  } catch (const telephony::ETapiError& error) {
    LogFormat("callback: call %d not dropped: %s",
              {static_cast<long>(call), telephony::TapiErrorText(error.ErrorCode)});
  }
}

void TLineRouter::OnHeld(CORBA::Long call) {
  const auto found = routed_.find(call);
  if (found == routed_.end() || found->second.State() != TState::Waiting) return;
  // Held, a caller's digits are heard only when asked for (the device layer stops at once when a call leaves
  // CONNECTED, in this same step): digit 1 is the callback's.
  TTapiCall* caller = line_.GetCallByHandle(call);
  if (caller == nullptr || caller->ActiveDigitModes != 0 || !CallbackOffer(found->second)) return;
  if (const LONG result = lineMonitorDigits(caller->Handle, LINEDIGITMODE_DTMF); result == 0) {
    caller->ActiveDigitModes = LINEDIGITMODE_DTMF;  // so that the device layer stops it again
  } else {
    LogFormat("routing %d: its digits not heard: %s", {static_cast<long>(call), telephony::TapiErrorText(result)});
  }
}

void TLineRouter::TickCallbacks() {
  if (!callbacksLoaded_) LoadCallbacks();
  if (callbacks_.empty()) return;
  const auto now = TCallback::TClock::now();
  const auto rules = line_.LocalRules();
  const auto ringLimit = std::chrono::seconds(rules && rules->RingTimeout() > 0 ? rules->RingTimeout() : 60);
  for (auto& [key, callback] : callbacks_) {
    switch (callback.State()) {
      case TCallbackState::Requested:
        if (now >= callback.HeardUntil && callback.Caller != 0) {
          // Heard: the server hangs up; the call's end moves the callback on.
          callback.HeardUntil = TCallback::TClock::time_point::max();
          DropCallbackCall(callback.Caller);
        }
        break;
      case TCallbackState::Retrying:
        if (now >= callback.NextAttempt) CallbackBackInLine(callback, "its next attempt is due");
        break;
      case TCallbackState::RingingOperator:
      case TCallbackState::CallingCaller:
        if (now - callback.RingingSince >= ringLimit) {
          if (callback.State() == TCallbackState::RingingOperator) {
            LogFormat("callback %s: the operator at %s did not answer", {key, callback.OperatorPhone});
            WriteCallbackLog(TQueueEvent::RingNoAnswer, callback, callback.OperatorPhone, 0);
            if (rules && rules->PauseOnNoAnswer()) PauseOperatorAt(callback.OperatorPhone);
            CallbackBackInLine(callback, "the operator did not answer");
          } else {
            EndCallbackAttempt(callback, "the caller did not answer");
          }
        } else {
          // Held for the callback for as long as it takes (a reservation lapses on its own otherwise).
          ::Operator_var seated = OperatorAt(callback.OperatorPhone);
          if (const TLocalServant<TOperator_Impl> own{seated.in()}) own->Reserve();
        }
        break;
      default:
        break;
    }
  }
  std::erase_if(callbacks_, [](const auto& item) {
    return item.second.IsOver() && item.second.OperatorCall == 0 && item.second.CallerCall == 0;
  });
}

void TLineRouter::LoadCallbacks() {
  const auto now = TCallback::TClock::now();
  if (now < nextCallbackLoad_) return;
  nextCallbackLoad_ = now + kLoadRetry;
  const ::Database_var database = line_.GetDatabase();
  const TLocalServant<TDatabase_Impl> crm{database.in()};
  CORBA::String_var linePhoneNumber = line_.GetDevicePhoneNumber();
  if (!crm || linePhoneNumber.in()[0] == '\0') {
    callbacksLoaded_ = true;
    return;
  }
  // The rows an earlier run left in the journal are in the CRM first: the latest row of each callback counts.
  if (crm->GetCallLogRowsWaiting() > 0) return;
  std::vector<std::vector<std::string>> rows;
  try {
    rows = crm->PendingCallbacks(linePhoneNumber.in());
  } catch (...) {
    // Asked again every few seconds; said once.
    if (!callbackLoadFailureLogged_) {
      LogFormat("Callback: the CRM's callbacks of line %s not read yet: %s",
                {linePhoneNumber.in(), ExceptionText(std::current_exception())});
    }
    callbackLoadFailureLogged_ = true;
    return;
  }
  callbacksLoaded_ = true;
  for (const auto& row : rows) {
    if (row.size() < 7 || callbacks_.contains(row[0])) continue;
    TCallback& callback = callbacks_.emplace(row[0], TCallback(row[0])).first->second;
    callback.QueueHandle = --lastCallbackHandle_;
    callback.Rule = static_cast<CORBA::Long>(ToNumber(row[1], -1));
    callback.CallerNumber = row[2];
    callback.RequestedAt = row[3];
    callback.Attempts = static_cast<int>(ToNumber(row[5], 0));
    callback.QueuedSince = callback.OfferedAt = now - std::chrono::seconds(std::max(0L, SecondsAgo(row[3])));
    // It waits at the rule's first group action, as a new caller would.
    const ::Rule_var rule = RuleByID(callback.Rule);
    if (!CORBA::is_nil(rule)) {
      line_.Guard("TLine_Impl.LoadCallbacks", [&] {
        for (CORBA::Long order = 0, count = rule->GetItemsCount(); order < count; ++order) {
          ::RuleAction_var action = ::RuleAction::_narrow(::ContainerItem_var(rule->GetItemByOrder(order)));
          if (CORBA::is_nil(action) || !action->GetEnabled() || action->GetActionType() != ::Group) continue;
          callback.ActionIndex = order;
          callback.WaitingGroup = action->GetGroupID();
          break;
        }
      });
    }
    LogFormat("callback %s of %s: taken up again after a restart (%s, %d attempts)",
              {row[0], callback.CallerNumber, row[4], static_cast<long>(callback.Attempts)});
    if (callback.WaitingGroup < 0) {
      callback.Transition(TCallbackState::Waiting, "left by an earlier run");
      FailCallback(callback, "its rule has no group to wait for");
    } else if (row[4] == "Retrying" && !row[6].empty()) {
      callback.Transition(TCallbackState::Retrying, "left by an earlier run");
      // Due when the CRM says (at once when that has passed).
      callback.NextAttempt = now + std::chrono::seconds(std::max(0L, -SecondsAgo(row[6])));
      ShowCallback(callback);
    } else {
      callback.Transition(TCallbackState::Retrying, "left by an earlier run");
      CallbackBackInLine(callback, "left by an earlier run");
    }
  }
}

void TLineRouter::CallbackBackInLine(TCallback& callback, const char* why) {
  const CORBA::Long operatorCall = callback.OperatorCall;
  callback.OperatorCall = 0;
  DropCallbackCall(operatorCall);
  if (!callback.OperatorPhone.empty()) ReleaseMemberAt(callback.OperatorPhone);
  callback.OperatorPhone.clear();
  const auto rules = line_.LocalRules();
  const ::Rule_var rule = RuleByID(callback.Rule);
  if (!rules || CORBA::is_nil(rule)) {
    callback.Transition(TCallbackState::Failed, "its rule is gone");
    SaveCallback(callback);
    ShowCallback(callback);
    return;
  }
  callback.Transition(TCallbackState::Waiting, why);
  const TQueueCallerKey key{line_.GetID(), callback.QueueHandle};
  rules->Queue().Leave(key);
  rules->Queue().Enter(key, callback.Rule, callback.WaitingGroup, rule->GetQueueSettings().Priority, 0,
                       callback.QueuedSince);
  SaveCallback(callback);
  ShowCallback(callback);
}

void TLineRouter::EndCallbackAttempt(TCallback& callback, const char* why) {
  const CORBA::Long operatorCall = callback.OperatorCall, callerCall = callback.CallerCall;
  callback.OperatorCall = callback.CallerCall = 0;
  DropCallbackCall(callerCall);
  DropCallbackCall(operatorCall);
  // The operator is free between attempts.
  if (!callback.OperatorPhone.empty()) ReleaseMemberAt(callback.OperatorPhone);
  callback.OperatorPhone.clear();
  const ::Rule_var rule = RuleByID(callback.Rule);
  const ::RuleCallback settings = CORBA::is_nil(rule) ? ::RuleCallback{false, 0, 60} : rule->GetCallback();
  if (callback.Attempts > settings.Retries) {
    FailCallback(callback, why);
    return;
  }
  callback.Transition(TCallbackState::Retrying, why);
  callback.NextAttempt = TCallback::TClock::now() + std::chrono::seconds(settings.RetrySeconds);
  SaveCallback(callback);
  ShowCallback(callback);
}

void TLineRouter::FailCallback(TCallback& callback, const char* why) {
  if (!callback.Transition(TCallbackState::Failed, why)) return;
  LogFormat("callback %s: failed after %d attempts", {callback.Key(), static_cast<long>(callback.Attempts)});
  WriteCallbackLog(TQueueEvent::CallbackFailed, callback, {}, callback.Attempts);
  if (const auto rules = line_.LocalRules()) {
    rules->Queue().Leave({line_.GetID(), callback.QueueHandle});
    // Counted once for the caller, whatever the attempts.
    rules->Queue().NoteAbandoned(callback.Rule, SecondsSince(callback.OfferedAt), rules->ShortAbandonSeconds());
  }
  SaveCallback(callback);
  ShowCallback(callback);
}

void TLineRouter::SaveCallback(const TCallback& callback) {
  // What a restart needs: one that was being made when the server stopped waits in line again.
  const char* state = "Waiting";
  switch (callback.State()) {
    case TCallbackState::Retrying:
      state = "Retrying";
      break;
    case TCallbackState::CallingCaller:
      state = "CallingCaller";
      break;
    case TCallbackState::Connected:
    case TCallbackState::Done:
      state = "Done";
      break;
    case TCallbackState::Failed:
      state = "Failed";
      break;
    default:
      break;
  }
  line_.Guard("TLine_Impl.SaveCallback", [&] {
    CORBA::String_var linePhoneNumber = line_.GetDevicePhoneNumber();
    TCallLogRow row;
    row.CallbackState = state;
    row.CallHandle = callback.Key();
    row.Rule_id = callback.Rule;
    row.LinePhoneNumber = linePhoneNumber.in();
    row.CallerPhoneNumber = callback.CallerNumber;
    row.BeginTime = callback.RequestedAt;
    if (callback.State() == TCallbackState::Retrying) {
      const auto left =
          std::chrono::duration_cast<std::chrono::seconds>(callback.NextAttempt - TCallback::TClock::now());
      row.EndTime = DateTimeText(NowLocal() + static_cast<double>(std::max<long>(0, left.count())) / 86400.0, false);
    }
    row.Reason = callback.Attempts;
    line_.AcceptLogRow(std::move(row), "TLine_Impl.SaveCallback");
  });
}

void TLineRouter::ShowCallback(const TCallback& callback) {
  const auto rules = line_.LocalRules();
  if (!rules) return;
  if (callback.IsOver() || callback.State() == TCallbackState::Connected) {
    rules->Callbacks().Remove(callback.Key());
    return;
  }
  CORBA::String_var linePhoneNumber = line_.GetDevicePhoneNumber();
  rules->Callbacks().Put({callback.Key(), callback.Rule, line_.GetID(), callback.QueueHandle, linePhoneNumber.in(),
                          callback.CallerNumber, CallbackStateName(callback.State()), callback.Attempts,
                          callback.OfferedAt});
}

void TLineRouter::WriteCallbackLog(TQueueEvent event, const TCallback& callback, const std::string& operatorPhone,
                                   long reason) {
  line_.Guard("TLine_Impl.WriteQueueLog", [&] {
    TCallLogRow row;
    row.QueueEvent = event;
    row.CallHandle = callback.Key();
    row.CallerPhoneNumber = callback.CallerNumber;
    row.Rule_id = callback.Rule;
    row.Seconds = SecondsSince(callback.OfferedAt);
    row.Reason = reason;
    WriteRoutingRow(std::move(row), operatorPhone);
  });
}

}  // namespace vantrel
