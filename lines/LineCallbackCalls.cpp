// The calls that make a callback, from the caller's routing line: when its turn comes the line rings the operator
// chosen for it (held for it meanwhile); once the operator answers, that call is held pending transfer and a
// consultation call dials the caller's number out; the caller answering completes the transfer, so the operator
// talks to the caller. Unanswered, the operator is let go and the caller is called again later (Retrying).
#include "lines/LineInternal.h"
#include "lines/LineLib.h"
#include "lines/LineRouter.h"
#include "model/Servant.h"
#include "routing/OperatorLib.h"
#include "routing/RuleLib.h"
#include "routing/RulesLib.h"
#include "support/VantrelCommonRoutines.h"
#include "telephony/diZuduUtils.h"

namespace vantrel {

using telephony::TTapiCall;
using TCallbackState = TCallback::TState;

TCallback* TLineRouter::CallbackOfCall(CORBA::Long call) {
  if (call == 0) return nullptr;
  for (auto& [key, callback] : callbacks_) {
    if (callback.OperatorCall == call || callback.CallerCall == call) return &callback;
  }
  return nullptr;
}

bool TLineRouter::ServeCallback(TCallback& callback, const TQueueCallerKey& key) {
  const auto rules = line_.LocalRules();
  const ::Rule_var rule = RuleByID(callback.Rule);
  const TLocalServant<TRule_Impl> local{rule.in()};
  if (!rules || !local) return false;
  CORBA::String_var own = line_.GetDevicePhoneNumber();
  std::string target;
  CORBA::Long index = callback.ActionIndex;  // the callback stays at its group's action for its next attempt
  CORBA::Long waitingGroup = -1;
  // The member chosen is held for the callback.
  const bool chosen =
      local->ApplyFrom(callback.CallerNumber, own.in(), target, index, false, true, &waitingGroup, true);
  if (!chosen || target.empty() || target == own.in()) return false;
  TTapiCall* call = nullptr;
  try {
    const telephony::TAsyncRequests async(*line_.tapiLine_);
    const LONG before = line_.tapiLine_->LastRequestID();
    call = line_.tapiLine_->MakeCall(target);
    const LONG request = line_.tapiLine_->LastRequestID();
    if (request != before) callbackRequests_[request] = callback.Key();
  } catch (const telephony::ETapiError& error) {
    LogFormat("callback %s: the operator at %s not called: %s",
              {callback.Key(), target, telephony::TapiErrorText(error.ErrorCode)});
    call = nullptr;
  }
  if (call == nullptr) {
    ReleaseMemberAt(target);
    return false;
  }
  call->SetOwner(true);
  callback.OperatorCall = line_.CallHandle(call);
  callback.OperatorPhone = target;
  callback.RingingSince = TCallback::TClock::now();
  line_.SetCallNote(callback.OperatorCall, "CALLBACK", callback.Key().c_str());
  // Out of the line of callers while its operator is rung; back in it with its place if they do not answer.
  rules->Queue().Release(key);
  rules->Queue().Settle(key);
  callback.Transition(TCallbackState::RingingOperator, "a member of the group is ready");
  ShowCallback(callback);
  return true;
}

bool TLineRouter::OnCallbackConnected(CORBA::Long call) {
  TCallback* callback = CallbackOfCall(call);
  if (callback == nullptr) return false;
  TTapiCall* found = line_.GetCallByHandle(call);
  if (call == callback->OperatorCall && callback->State() == TCallbackState::RingingOperator && found != nullptr) {
    // The operator answered: they are held while the caller's number is called.
    TTapiCall* consult = nullptr;
    try {
      const telephony::TAsyncRequests async(*line_.tapiLine_);
      const LONG before = line_.tapiLine_->LastRequestID();
      consult = found->SetupTransfer();
      const LONG request = line_.tapiLine_->LastRequestID();
      if (request != before) callbackRequests_[request] = callback->Key();
    } catch (const telephony::ETapiError& error) {
      LogFormat("callback %s: no call to the caller: %s", {callback->Key(), telephony::TapiErrorText(error.ErrorCode)});
    }
    if (consult == nullptr) {
      CallbackBackInLine(*callback, "the operator's call could not be held");
      return true;
    }
    consult->SetOwner(true);
    callback->CallerCall = line_.CallHandle(consult);
    ++callback->Attempts;
    callback->RingingSince = TCallback::TClock::now();
    callback->Transition(TCallbackState::CallingCaller, "the operator answered");
    WriteCallbackLog(TQueueEvent::CallbackAttempted, *callback, callback->OperatorPhone, callback->Attempts);
    SaveCallback(*callback);
    ShowCallback(*callback);
    return true;
  }
  if (call == callback->CallerCall && callback->State() == TCallbackState::CallingCaller && found != nullptr) {
    // The caller answered: the transfer puts them through to the operator.
    callback->Transition(TCallbackState::Connected, "the caller answered");
    try {
      const telephony::TAsyncRequests async(*line_.tapiLine_);
      found->CompleteTransfer(false);
    } catch (const telephony::ETapiError& error) {
      LogFormat("callback %s: the transfer to the operator failed: %s",
                {callback->Key(), telephony::TapiErrorText(error.ErrorCode)});
      EndCallbackAttempt(*callback, "the transfer failed");
      return true;
    }
    WriteCallbackLog(TQueueEvent::CallbackAnswered, *callback, callback->OperatorPhone, callback->Attempts);
    const ::Rule_var rule = RuleByID(callback->Rule);
    const ::RuleQueueSettings settings =
        CORBA::is_nil(rule) ? ::RuleQueueSettings{0, 0, 0, 0, 20} : rule->GetQueueSettings();
    if (const auto rules = line_.LocalRules()) {
      // Counted once for the caller, however many calls it took.
      rules->Queue().NoteAnswered(callback->Rule, SecondsSince(callback->OfferedAt), settings.ServiceLevelSeconds);
    }
    ::Operator_var seated = OperatorAt(callback->OperatorPhone);
    if (const TLocalServant<TOperator_Impl> own{seated.in()}) {
      own->NoteRoutedCallAnswered(callback->Rule, settings.WrapUp);
      own->Unreserve();
    }
    SaveCallback(*callback);
    ShowCallback(*callback);
    return true;
  }
  return true;
}

bool TLineRouter::OnCallbackDialtone(CORBA::Long call) {
  TCallback* callback = CallbackOfCall(call);
  if (callback == nullptr) return false;
  if (call != callback->CallerCall || callback->State() != TCallbackState::CallingCaller) return false;
  LogFormat("callback %s: calling %s (attempt %d)",
            {callback->Key(), callback->CallerNumber, static_cast<long>(callback->Attempts)});
  const telephony::TAsyncRequests async(*line_.tapiLine_);
  const LONG before = line_.tapiLine_->LastRequestID();
  line_.Dial(call, callback->CallerNumber.c_str(), 0);
  const LONG request = line_.tapiLine_->LastRequestID();
  if (request == before) {
    EndCallbackAttempt(*callback, "the caller's number was refused");
  } else {
    callbackRequests_[request] = callback->Key();
  }
  return true;
}

bool TLineRouter::OnCallbackBusy(CORBA::Long call) {
  TCallback* callback = CallbackOfCall(call);
  if (callback == nullptr) return false;
  if (call == callback->CallerCall && callback->State() == TCallbackState::CallingCaller) {
    EndCallbackAttempt(*callback, "the caller is busy");
  } else if (call == callback->OperatorCall && callback->State() == TCallbackState::RingingOperator) {
    CallbackBackInLine(*callback, "the operator's line is busy");
  }
  return true;
}

bool TLineRouter::OnCallbackCallEnd(CORBA::Long call) {
  TCallback* callback = CallbackOfCall(call);
  if (callback == nullptr) return false;
  const bool operatorCall = call == callback->OperatorCall;
  (operatorCall ? callback->OperatorCall : callback->CallerCall) = 0;
  switch (callback->State()) {
    case TCallbackState::RingingOperator:
      if (operatorCall) CallbackBackInLine(*callback, "the operator's call ended before it was answered");
      break;
    case TCallbackState::CallingCaller:
      EndCallbackAttempt(*callback, operatorCall ? "the operator hung up" : "the call to the caller ended");
      break;
    case TCallbackState::Connected:
      // The transfer made, the line's own calls end: the caller talks to the operator.
      if (callback->OperatorCall == 0 && callback->CallerCall == 0) {
        callback->Transition(TCallbackState::Done, "the caller was put through");
      }
      break;
    default:
      break;
  }
  std::erase_if(callbacks_, [](const auto& item) {
    return item.second.IsOver() && item.second.OperatorCall == 0 && item.second.CallerCall == 0;
  });
  return true;
}

}  // namespace vantrel
