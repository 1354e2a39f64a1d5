#include "LineLib.h"

#include <stdexcept>

#include "lines/LineInternal.h"
#include "model/DatabaseLib.h"
#include "model/Servant.h"
#include "routing/OperatorLib.h"
#include "routing/RulesLib.h"
#include "support/VantrelCommonRoutines.h"
#include "telephony/diZuduUtils.h"

// The line's event pipeline: one step per call event, each logging it, telling the listeners, raising the
// derived events and writing their call-log rows; the routing's part of a step is TLineRouter's.

namespace vantrel {

using telephony::TTapiCall;
using telephony::TTapiLine;
using telephony::TTelephonyThread;

namespace {

// Delphi's StrToInt: the whole text a decimal number, else the runtime's message.
int StrToInt(const std::string& text) {
  const int value = StrToIntDef(text, 0);
  if (value == 0 && StrToIntDef(text, 1) == 1) {
    throw std::invalid_argument("'" + text + "' is not a valid integer value");
  }
  return value;
}

}  // namespace

// ---- the event pipeline ----

void TLine_Impl::AttachHandlers() {
  TTapiLine& line = *tapiLine_;
  using Step = void (TLine_Impl::*)(CORBA::Long);
  // The handler of one event: nothing while the line is disabled, else its step with the call's handle.
  const auto handler = [this](const char* name, Step step) {
    return [this, name, step](TTapiLine&, TTapiCall& call) {
      PublishCall(call);
      try {
        if (GetEnabled()) (this->*step)(CallHandle(&call));
      } catch (...) {
        HandleError(name, std::current_exception());
      }
    };
  };
  const auto valueHandler = [this](const char* name, Step step) {
    return [this, name, step](TTapiLine&, TTapiCall& call, DWORD) {
      PublishCall(call);
      try {
        if (GetEnabled()) (this->*step)(CallHandle(&call));
      } catch (...) {
        HandleError(name, std::current_exception());
      }
    };
  };
  line.OnState[LINECALLSTATE_ACCEPTED] = handler("TLine_Impl.InternalOnAccepted", &TLine_Impl::DoAccepted);
  line.OnState[LINECALLSTATE_BUSY] = handler("TLine_Impl.InternalOnBusy", &TLine_Impl::DoBusy);
  line.OnCallBegin = handler("TLine_Impl.InternalOnCallBegin", &TLine_Impl::DoCallBegin);
  line.OnCallDeallocate = [this](TTapiLine&, TTapiCall& call) {
    snapshot_.Forget(CallHandle(&call));  // gone for clients before they hear of it
    try {
      if (GetEnabled()) DoCallDeallocate(CallHandle(&call));
    } catch (...) {
      HandleError("TLine_Impl.InternalOnCallDeallocate", std::current_exception());
    }
  };
  line.OnParty[LINECALLINFOSTATE_CALLEDID] = handler("TLine_Impl.InternalOnCalledID", &TLine_Impl::DoCalledID);
  line.OnCallEnd = handler("TLine_Impl.InternalOnCallEnd", &TLine_Impl::DoCallEnd);
  line.OnParty[LINECALLINFOSTATE_CALLERID] = handler("TLine_Impl.InternalOnCallerID", &TLine_Impl::DoCallerID);
  line.OnCallInfo = valueHandler("TLine_Impl.InternalOnCallInfo", &TLine_Impl::DoCallInfo);
  line.OnCallPrivilege = valueHandler("TLine_Impl.InternalOnCallPrivilege", &TLine_Impl::DoCallPrivilege);
  line.OnCallState = valueHandler("TLine_Impl.InternalOnCallState", &TLine_Impl::DoCallState);
  line.OnState[LINECALLSTATE_CONFERENCED] = handler("TLine_Impl.InternalOnConferenced", &TLine_Impl::DoConferenced);
  line.OnState[LINECALLSTATE_CONNECTED] = handler("TLine_Impl.InternalOnConnected", &TLine_Impl::DoConnected);
  line.OnParty[LINECALLINFOSTATE_CONNECTEDID] = handler("TLine_Impl.InternalOnConnectedID", &TLine_Impl::DoConnectedID);
  line.OnState[LINECALLSTATE_DIALING] = handler("TLine_Impl.InternalOnDialing", &TLine_Impl::DoDialing);
  line.OnState[LINECALLSTATE_DIALTONE] = handler("TLine_Impl.InternalOnDialtone", &TLine_Impl::DoDialtone);
  line.OnDigit = [this](TTapiLine&, TTapiCall& call, DWORD digit) {
    PublishCall(call);
    try {
      if (!GetEnabled()) return;
      DoDigit(CallHandle(&call));
      // A routed caller's digit may be a choice in its menu.
      OnLine("TLine_Impl.DoDigit", [&] { router_.OnDigit(CallHandle(&call), static_cast<char>(digit & 0xFF)); });
    } catch (...) {
      HandleError("TLine_Impl.InternalOnDigit", std::current_exception());
    }
  };
  line.OnDigits = [this](TTapiLine&, TTapiCall& call, const std::string&, DWORD) {
    try {
      if (GetEnabled()) DoDigits(CallHandle(&call));
    } catch (...) {
      HandleError("TLine_Impl.InternalOnDigits", std::current_exception());
    }
  };
  line.OnState[LINECALLSTATE_DISCONNECTED] = handler("TLine_Impl.InternalOnDisconnected", &TLine_Impl::DoDisconnected);
  line.OnGenerate = valueHandler("TLine_Impl.InternalOnGenerate", &TLine_Impl::DoGenerate);
  line.OnState[LINECALLSTATE_ONHOLD] = handler("TLine_Impl.nternalOnHold", &TLine_Impl::DoHold);
  line.OnState[LINECALLSTATE_ONHOLDPENDCONF] =
      handler("TLine_Impl.InternalOnHoldPendConf", &TLine_Impl::DoHoldPendConf);
  line.OnState[LINECALLSTATE_IDLE] = handler("TLine_Impl.InternalOnIdle", &TLine_Impl::DoIdle);
  line.OnMediaMode = handler("TLine_Impl.InternalOnMediaMode", &TLine_Impl::DoMediaMode);
  line.OnNewCall = [this](TTapiLine&, TTapiCall& call) {
    PublishCall(call);
    try {
      call.SetOwner(true);  // whether the line is enabled or not
      if (GetEnabled()) DoNewCall(CallHandle(&call));
    } catch (...) {
      HandleError("TLine_Impl.InternalOnNewCall", std::current_exception());
    }
  };
  line.OnState[LINECALLSTATE_OFFERING] = handler("TLine_Impl.InternalOnOffering", &TLine_Impl::DoOffering);
  line.OnState[LINECALLSTATE_ONHOLDPENDTRANSFER] =
      handler("TLine_Impl.InternalOnHoldPendTrans", &TLine_Impl::DoHoldPendTrans);
  line.OnState[LINECALLSTATE_PROCEEDING] = handler("TLine_Impl.InternalOnProceeding", &TLine_Impl::DoProceeding);
  line.OnParty[LINECALLINFOSTATE_REDIRECTINGID] =
      handler("TLine_Impl.InternalOnRedirectingID", &TLine_Impl::DoRedirectingID);
  line.OnParty[LINECALLINFOSTATE_REDIRECTIONID] =
      handler("TLine_Impl.InternalOnRedirectionID", &TLine_Impl::DoRedirectionID);
  line.OnRing = [this](TTapiLine&, DWORD, DWORD count) {
    try {
      if (GetEnabled()) DoRing(static_cast<CORBA::Long>(count));
    } catch (...) {
      HandleError("TLine_Impl.InternalOnRing", std::current_exception());
    }
  };
  line.OnState[LINECALLSTATE_RINGBACK] = handler("TLine_Impl.InternalOnRingback", &TLine_Impl::DoRingback);
  line.OnSilence = handler("TLine_Impl.InternalOnSilence", &TLine_Impl::DoSilence);
  line.OnState[LINECALLSTATE_SPECIALINFO] = handler("TLine_Impl.InternalOnSpecialInfo", &TLine_Impl::DoSpecialInfo);
  line.OnTone = valueHandler("TLine_Impl.InternalOnTone", &TLine_Impl::DoTone);
  line.OnAddressState = [this](TTapiLine&, telephony::TTapiAddress&, DWORD states) {
    try {
      if (GetEnabled()) DoAddressState(static_cast<CORBA::Long>(states));
    } catch (...) {
      HandleError("TLine_Impl.InternalOnAddressState", std::current_exception());
    }
  };
  // InternalOnTimeOut does nothing for clients' requests; a routing step's request that timed out is refused.
  line.OnTapiTimeout = [this](telephony::TTapiDevice&, LONG request) {
    router_.OnReply(request, LINEERR_OPERATIONFAILED);
  };
  line.OnTapiReply = [this](telephony::TTapiDevice&, LONG request, LONG result) { router_.OnReply(request, result); };
  line.OnTick = [this](telephony::TTapiDevice&, DWORD ticks) { router_.OnTick(ticks); };
}

void TLine_Impl::UpdateHistory(CORBA::Long handle) {
  if (TTapiCall* call = GetCallByHandle(handle)) history_.UpdateCall(*call);
}

void TLine_Impl::SimpleStep(const char* methodName, const char* logText, ::CallEventType eventType, CORBA::Long call,
                            bool updateHistory) {
  OnLine(methodName, [&] {
    LogFormat(logText, {Name(), static_cast<long>(call)});
    if (updateHistory) UpdateHistory(call);
    DoCallEvent(eventType, call);
  });
}

void TLine_Impl::DerivedStep(const char* methodName, const char* logText, ::CallEventType eventType,
                             ::LogEventType logType, CORBA::Long call) {
  OnLine(methodName, [&] {
    LogFormat(logText, {Name(), static_cast<long>(call)});
    DoCallEvent(eventType, call);
    WriteLog(logType, call, 0);
  });
}

bool TLine_Impl::IsRuled(CORBA::Long call) {
  CORBA::String_var ruled = GetCallNote(call, "RULED");
  return ruled.in()[0] != '\0' && StrToInt(ruled.in()) != 0;
}

void TLine_Impl::DoCallEvent(::CallEventType eventType, CORBA::Long call) {
  OnLine("TLine_Impl.DoCallEvent", [&] {
    ::Operator_var seated;
    bool gone = false;
    {
      std::lock_guard lock(lineMutex_);
      seated = ::Operator::_duplicate(operator_);
      if (!listener_.IsNil() && listenerContact_)
        gone = IsListenerStale(*listenerContact_, std::chrono::steady_clock::now());
      gone = gone || listener_.Dropped();
      if (gone) listener_.Clear();
      std::erase_if(addedListeners_, [](const auto& added) { return added.Dropped(); });
    }
    if (gone) {
      // The client has gone: its operator is logged out.
      ::Operators_var operators = GetOperators();
      if (!CORBA::is_nil(seated) && !CORBA::is_nil(operators)) operators->DeleteItem(seated);
      return;
    }
    const bool ending = eventType == ::Idle || eventType == ::CallEnd || eventType == ::CallFinished;
    const bool ruled = IsRuled(call);
    std::lock_guard lock(lineMutex_);
    if (ruled) {
      // The server routes this call itself: its steps are its own, but a call the listeners heard of before the
      // rule took it ends for them as it leaves the line.
      if (!ending || reportedCalls_.count(call) == 0) return;
    } else if (call != 0 && eventType != ::Ring && eventType != ::AddressState && eventType != ::ForwardState) {
      reportedCalls_.insert(call);  // those three carry no call
    }
    if (eventType == ::CallFinished) reportedCalls_.erase(call);
    const auto send = [eventType, call](::LineEvents_ptr listener) { listener->DoCallEvent(eventType, call); };
    listener_.Post("DoCallEvent", send);
    for (auto& added : addedListeners_) added.Post("DoCallEvent", send);
  });
}

void TLine_Impl::DoAccepted(CORBA::Long call) {
  SimpleStep("TLine_Impl.DoAccepted", "InternalOnAccepted: %s : %d", ::Accepted, call, false);
}
void TLine_Impl::DoCallBegin(CORBA::Long call) {
  SimpleStep("TLine_Impl.DoCallBegin", "InternalOnCallBegin: %s : %d", ::CallBegin, call, false);
}
void TLine_Impl::DoCallDeallocate(CORBA::Long call) {
  SimpleStep("TLine_Impl.DoCallDeallocate", "InternalOnCallDeallocate: %s : %d", ::CallDeallocate, call, false);
}
void TLine_Impl::DoCallPrivilege(CORBA::Long call) {
  SimpleStep("TLine_Impl.DoCallPrivilege", "InternalOnCallPrivilege: %s : %d", ::CallPrivilege, call, false);
}
void TLine_Impl::DoCallState(CORBA::Long call) {
  SimpleStep("TLine_Impl.DoCallState", "InternalOnCallState: %s : %d", ::CallState, call, false);
}
void TLine_Impl::DoConferenced(CORBA::Long call) {
  SimpleStep("TLine_Impl.DoCConferenced", "InternalOnConferenced: %s : %d", ::Conferenced, call, false);
  OnLine("TLine_Impl.DoConferenced", [&] { ConferenceJoined(call); });
}
void TLine_Impl::DoDisconnected(CORBA::Long call) {
  SimpleStep("TLine_Impl.DoDisconnected", "InternalOnDisconnected: %s : %d", ::Disconnected, call, false);
  OnLine("TLine_Impl.DoDisconnected", [&] { ConferenceLeft(call); });
}
void TLine_Impl::DoGenerate(CORBA::Long call) {
  SimpleStep("TLine_Impl.DoGenerate", "InternalOnGenerate: %s : %d", ::Generate, call, false);
}
void TLine_Impl::DoHoldPendConf(CORBA::Long call) {
  SimpleStep("TLine_Impl.DoHoldPendConf", "InternalOnHoldPendConf: %s : %d", ::HoldPendConf, call, false);
}
void TLine_Impl::DoMediaMode(CORBA::Long call) {
  SimpleStep("TLine_Impl.DoMediaMode", "InternalOnMediaMode: %s : %d", ::MediaMode, call, false);
}
void TLine_Impl::DoProceeding(CORBA::Long call) {
  SimpleStep("TLine_Impl.DoProceeding", "InternalOnProceeding: %s : %d", ::Proceeding, call, false);
}
void TLine_Impl::DoRedirectingID(CORBA::Long call) {
  SimpleStep("TLine_Impl.DoRedirectingID", "InternalOnRedirectingID: %s : %d", ::RedirectingID, call, true);
}
void TLine_Impl::DoRedirectionID(CORBA::Long call) {
  SimpleStep("TLine_Impl.DoRedirectionID", "InternalOnRedirectionID: %s : %d", ::RedirectionID, call, true);
}
void TLine_Impl::DoRingback(CORBA::Long call) {
  SimpleStep("TLine_Impl.DoRingBack", "InternalOnRingback: %s : %d", ::Ringback, call, false);
}
void TLine_Impl::DoSilence(CORBA::Long call) {
  SimpleStep("TLine_Impl.DoSilence", "InternalOnSilence: %s : %d", ::Silence, call, false);
}
void TLine_Impl::DoSpecialInfo(CORBA::Long call) {
  SimpleStep("TLine_Impl.DoSpecialInfo", "InternalOnSpecialInfo: %s : %d", ::SpecialInfo, call, false);
}
void TLine_Impl::DoTone(CORBA::Long call) {
  SimpleStep("TLine_Impl.DoTone", "InternalOnTone: %s : %d", ::Tone, call, false);
}
void TLine_Impl::DoDigit(CORBA::Long call) {
  SimpleStep("TLine_Impl.DoDigit", "InternalOnDigit: %s : %d", ::Digit, call, false);
}
void TLine_Impl::DoDigits(CORBA::Long call) {
  SimpleStep("TLine_Impl.DoDigits", "InternalOnDigits: %s : %d", ::Digits, call, false);
}

void TLine_Impl::DoNewCall(CORBA::Long call) {
  OnLine("TLine_Impl.DoNewCall", [&] {
    LogFormat("InternalOnNewCall: %s : %d", {Name(), static_cast<long>(call)});
    if (TTapiCall* found = GetCallByHandle(call)) history_.AddCall(*found);
    DoCallEvent(::NewCall, call);
  });
}

void TLine_Impl::DoCalledID(CORBA::Long call) {
  OnLine("TLine_Impl.DoCalledID", [&] {
    LogFormat("InternalOnCalledID: %s : %d", {Name(), static_cast<long>(call)});
    UpdateHistory(call);
    DoCallEvent(::CalledID, call);
    if (!GetCallIsOutgoing(call)) return;
    // The number arrives while the call dials; a call that is already past dialing when the line gets to the
    // message (a quick answer) dialed all the same, once.
    const bool dialing = GetCallIsDialing(call) || (GetCallWasDialing(call) && outgoingRaised_.count(call) == 0);
    if (!dialing) return;
    ::Lines_var lines = LinesContainer();
    CORBA::String_var called = GetCalledID(call);
    if (CORBA::is_nil(lines) || !lines->GetIsOuterLinePhoneNumber(called.in())) {
      outgoingRaised_.insert(call);
      DoOutgoingCall(call);
    }
  });
}

void TLine_Impl::DoCallerID(CORBA::Long call) {
  OnLine("TLine_Impl.DoCallerID", [&] {
    CORBA::String_var caller = GetCallerID(call);
    LogFormat("InternalOnCallerID: %s : %d : %s", {Name(), static_cast<long>(call), caller.in()});
    UpdateHistory(call);
    DoCallEvent(::CallerID, call);
  });
}

void TLine_Impl::DoCallInfo(CORBA::Long call) {
  OnLine("TLine_Impl.DoCallInfo", [&] {
    CORBA::String_var caller = GetCallerID(call), called = GetCalledID(call), connected = GetConnectedID(call);
    LogFormat("InternalOnCallInfo: %s : %d : %s : %s : %s",
              {Name(), static_cast<long>(call), caller.in(), called.in(), connected.in()});
    DoCallEvent(::CallInfo, call);
    CheckMonitor(call);
  });
}

void TLine_Impl::DoConnectedID(CORBA::Long call) {
  OnLine("TLine_Impl.DoConnectedID", [&] {
    CORBA::String_var connected = GetConnectedID(call);
    LogFormat("InternalOnConnectedID: %s : %d : %s", {Name(), static_cast<long>(call), connected.in()});
    UpdateHistory(call);
    DoCallEvent(::ConnectedID, call);
    // A call that connected to an outer line is a connected call once it talks to someone else (the caller a
    // routing line passed on): its connected event and row come now, whenever the handover happened.
    if (connectedPending_.count(call) == 0 || connected.in()[0] == '\0' || !GetCallIsConnected(call)) return;
    ::Lines_var lines = LinesContainer();
    if (!CORBA::is_nil(lines) && lines->GetIsOuterLinePhoneNumber(connected.in())) return;
    connectedPending_.erase(call);
    if (GetCallIsOutgoing(call)) {
      DoOutgoingCallConnected(call);
    } else if (GetCallIsIncoming(call)) {
      DoIncomingCallConnected(call);
    }
  });
}

void TLine_Impl::DoDialing(CORBA::Long call) {
  OnLine("TLine_Impl.DoDialing", [&] {
    CORBA::String_var called = GetCalledID(call);
    LogFormat("InternalOnDialing: %s : %d : %s", {Name(), static_cast<long>(call), called.in()});
    DoCallEvent(::Dialing, call);
  });
}

void TLine_Impl::DoHold(CORBA::Long call) {
  OnLine("TLine_Impl.DoHold", [&] {
    LogFormat("InternalOnHold: %s : %d", {Name(), static_cast<long>(call)});
    router_.OnHeld(call);  // a caller held in line may still press 1
    DoCallEvent(::Hold, call);
    DoHoldCall(call);
  });
}

void TLine_Impl::DoHoldPendTrans(CORBA::Long call) {
  OnLine("TLine_Impl.DoHoldPendTrans", [&] {
    LogFormat("InternalOnHoldPendTrans: %s : %d", {Name(), static_cast<long>(call)});
    DoCallEvent(::HoldPendTrans, call);
    DoTransferCall(call);
  });
}

void TLine_Impl::DoRing(CORBA::Long value) {
  OnLine("TLine_Impl.DoRing", [&] {
    LogFormat("InternalOnRing: %s", {Name()});
    DoCallEvent(::Ring, value);
  });
}

void TLine_Impl::DoHandset(CORBA::Long call) {
  DerivedStep("TLine_Impl.DoHandset", "InternalOnHandset: %s : %d", ::Handset, ::LogHandset, call);
}
void TLine_Impl::DoIncomingCall(CORBA::Long call) {
  DerivedStep("TLine_Impl.DoIncomingCall", "InternalOnIncomingCall: %s : %d", ::IncomingCall, ::LogIncomingCall, call);
}
void TLine_Impl::DoIncomingCallConnected(CORBA::Long call) {
  DerivedStep("TLine_Impl.DoIncomingCallConnected", "InternalOnIncomingCallConnected: %s : %d", ::IncomingCallConnected,
              ::LogIncomingCallConnected, call);
  // The server keeps the operators' calls counts, which group routing ranks them by.
  OnLine("TLine_Impl.DoIncomingCallConnected", [&] {
    ::Operator_var seated = GetOperator();
    if (!CORBA::is_nil(seated)) seated->IncCallsCount();
    RecordIfWanted(call);
  });
}
void TLine_Impl::DoOutgoingCall(CORBA::Long call) {
  DerivedStep("TLine_Impl.DoOutgoingCall", "InternalOnOutgoingCall: %s : %d", ::OutgoingCall, ::LogOutgoingCall, call);
}
void TLine_Impl::DoOutgoingCallConnected(CORBA::Long call) {
  DerivedStep("TLine_Impl.DoOutgoingCallConnected", "InternalOnOutgoingCallConnected: %s : %d", ::OutgoingCallConnected,
              ::LogOutgoingCallConnected, call);
  OnLine("TLine_Impl.DoOutgoingCallConnected", [&] { RecordIfWanted(call); });
}
void TLine_Impl::DoOutgoingCallBusy(CORBA::Long call) {
  DerivedStep("TLine_Impl.DoOutgoingCallBusy", "InternalOnOutgoingCallBusy: %s : %d", ::OutgoingCallBusy,
              ::LogOutgoingCallBusy, call);
}
void TLine_Impl::DoHoldCall(CORBA::Long call) {
  DerivedStep("TLine_Impl.DoHoldCall", "InternalOnHoldCall: %s : %d", ::HoldCall, ::LogHoldCall, call);
}
void TLine_Impl::DoTransferCall(CORBA::Long call) {
  DerivedStep("TLine_Impl.DoTransferCall", "InternalOnTransferCall: %s : %d", ::TransferCall, ::LogTransferCall, call);
}
void TLine_Impl::DoUnholdCall(CORBA::Long call) {
  DerivedStep("TLine_Impl.DoUnholdCall", "InternalOnUnholdCall: %s : %d", ::UnholdCall, ::LogUnholdCall, call);
}

void TLine_Impl::DoCallFinished(CORBA::Long call) {
  OnLine("TLine_Impl.DoCallFinished", [&] {
    LogFormat("InternalOnCallFinished: %s : %d", {Name(), static_cast<long>(call)});
    // A consultation call that ends brings its caller back from hold.
    // (Not when that call went too: a callback that did not reach its caller drops both.)
    TTapiCall* found = GetCallByHandle(call);
    if (TTapiCall* related = found != nullptr ? found->RelatedCall : nullptr) {
      related->CallStatus.Invalidate();
      if (related->State() != LINECALLSTATE_IDLE) Unhold(CallHandle(related));
    }
    DoCallEvent(::CallFinished, call);
    WriteLog(::LogCallFinished, call, 0);
    RecordingOver(call);
    ConferenceLeft(call);
    MonitorOver(call);
    router_.OnCallFinished();
  });
}

void TLine_Impl::DoAddressState(CORBA::Long states) {
  OnLine("TLine_Impl.DoAddressState", [&] {
    LogFormat("InternalOnAddressState: %s : %d", {Name(), static_cast<long>(states)});
    DoCallEvent(::AddressState, states);
    if (states == LINEADDRESSSTATE_FORWARD) DoForwardState(0);
  });
}

void TLine_Impl::DoForwardState(CORBA::Long call) {
  OnLine("TLine_Impl.DoForwardState", [&] {
    LogFormat("InternalOnForwardState: %s", {Name()});
    if (!CORBA::is_nil(::Operator_var(GetOperator()))) DoCallEvent(::ForwardState, call);
  });
}

// ---- the steps the routing takes part in ----

void TLine_Impl::DoOffering(CORBA::Long call) {
  OnLine("TLine_Impl.DoOffering", [&] {
    LogFormat("InternalOnOffering: %s : %d", {Name(), static_cast<long>(call)});
    LogMessage("TestTransfer_DOOFFERING_INPUT");
    UpdateHistory(call);
    router_.OnOffering(call);
    DoCallEvent(::Offering, call);
    DoIncomingCall(call);
  });
}

void TLine_Impl::DoConnected(CORBA::Long call) {
  OnLine("TLine_Impl.DoConnected", [&] {
    CORBA::String_var connectedText = GetConnectedID(call);
    LogFormat("InternalOnConnected: %s : %d : %s", {Name(), static_cast<long>(call), connectedText.in()});
    LogFormat("TestTransfer_DOCOnnected_CallHandle %s", {std::to_string(call)});
    UpdateHistory(call);
    DoCallEvent(::Connected, call);
    connectedPending_.erase(call);

    // The CRM context follows a call that an operator passed on.
    CORBA::String_var previous = GetCallNote(call, "LastConnectedID");
    const std::string connected = connectedText.in();
    if (previous.in()[0] != '\0' && connected != previous.in() && GetCallIsIncoming(call)) {
      GetCallContent(call, previous.in(), connected.c_str());
    }
    SetCallNote(call, "LastConnectedID", connected.c_str());

    router_.OnConnected(call);

    ::Lines_var lines = LinesContainer();
    const bool toOuterLine = !CORBA::is_nil(lines) && lines->GetIsOuterLinePhoneNumber(connected.c_str());
    if (GetCallIsOutgoing(call)) LogFormat("TESTOUTGOING_CallIsOutgoing %d", {static_cast<long>(call)});
    if (GetCallIsIncoming(call)) LogFormat("TESTOUTGOING_CallIsIncoming %d", {static_cast<long>(call)});
    if (GetCallIsConnected(call)) LogFormat("TESTOUTGOING_CallIsConnected %d", {static_cast<long>(call)});
    if (!toOuterLine) LogFormat("TESTOUTGOING_ISNOTOuterPhoneNumber %d", {static_cast<long>(call)});
    if (GetCallWasHeld(call)) {
      DoUnholdCall(call);
    } else if (GetCallIsOutgoing(call) && !toOuterLine) {
      DoOutgoingCallConnected(call);
    } else if (GetCallIsIncoming(call) && !toOuterLine) {
      DoIncomingCallConnected(call);
    } else if (toOuterLine && (GetCallIsOutgoing(call) || GetCallIsIncoming(call))) {
      // Connected to one of the server's outer lines (a routing line's consultation call): not a connected
      // call yet; it is one when the line passes the call on to its real party (see DoConnectedID).
      connectedPending_.insert(call);
    }
  });
}

void TLine_Impl::DoDialtone(CORBA::Long call) {
  OnLine("TLine_Impl.DoDialtone", [&] {
    LogFormat("TestTransfer_DODIALTONE_ConsultCallAssignedInConected_ACallHandle = %s", {std::to_string(call)});
    if (router_.OnDialtone(call)) return;
    DoCallEvent(::Dialtone, call);
    DoHandset(call);
  });
}

void TLine_Impl::DoBusy(CORBA::Long call) {
  OnLine("TLine_Impl.DoBusy", [&] {
    LogFormat("InternalOnBusy: %s : %d", {Name(), static_cast<long>(call)});
    DoCallEvent(::Busy, call);
    DoOutgoingCallBusy(call);
    router_.OnBusy(call);
  });
}

void TLine_Impl::DoIdle(CORBA::Long call) {
  OnLine("TLine_Impl.DoIdle", [&] {
    LogMessage("TestTransfer_DOIDLE");
    LogFormat("InternalOnIdle: %s : %d", {Name(), static_cast<long>(call)});
    router_.OnIdle(call);
    DoCallEvent(::Idle, call);
  });
}

void TLine_Impl::DoCallEnd(CORBA::Long call) {
  OnLine("TLine_Impl.DoCallEnd", [&] {
    LogFormat("InternalOnCallEnd: %s : %d", {Name(), static_cast<long>(call)});
    UpdateHistory(call);
    outgoingRaised_.erase(call);
    // A routed caller's target that answered but talked to the routing line only (the caller left as it
    // answered) was answered all the same. A call this line made to an outer line's number stays unconnected.
    if (connectedPending_.erase(call) != 0 && GetCallIsIncoming(call)) DoIncomingCallConnected(call);
    router_.OnCallEnd(call);
    DoCallEvent(::CallEnd, call);
    DoCallFinished(call);
  });
}

}  // namespace vantrel
