#include "LineLib.h"

#include <algorithm>

#include "lines/LineInternal.h"
#include "model/DatabaseLib.h"
#include "model/Servant.h"
#include "routing/OperatorLib.h"
#include "routing/RulesLib.h"
#include "support/FormatText.h"
#include "support/VantrelCommonRoutines.h"
#include "telephony/diZuduUtils.h"

// The line's call queries and the calls' notes, answered from the published snapshot for remote callers.

namespace vantrel {

using telephony::TTapiCall;
using telephony::TTapiLine;
using telephony::TTelephonyThread;

// ---- call queries ----

template <typename Predicate>
CORBA::Boolean TLine_Impl::CallQuery(const char* methodName, CORBA::Long handle, Predicate predicate) {
  return OnLine(methodName, false, [&] {
    TTapiCall* call = GetCallByHandle(handle);
    return call != nullptr && predicate(*call);
  });
}

void TLine_Impl::PublishCall(TTapiCall& call) {
  try {
    TLineCallsSnapshot::TCall published;
    published.state = static_cast<CORBA::Long>(call.StatusDWord(0));
    published.active = CallIsActive(call);
    published.offering = call.IsOffering();
    published.callerID = PrepareID(call.CallerID.Number());
    published.calledID = PrepareID(call.CalledID.Number());
    published.connectedID = PrepareID(call.ConnectedID.Number());
    snapshot_.Publish(CallHandle(&call), std::move(published));
  } catch (...) {
    // The previous picture of the call stands until its next event.
  }
}

template <typename FromSnapshot, typename Live>
auto TLine_Impl::CallsQuery(FromSnapshot fromSnapshot, Live live) {
  if (TTelephonyThread::Instance().IsOwner()) return live();
  return fromSnapshot(snapshot_);
}

CORBA::Boolean TLine_Impl::GetIsCallExists(CORBA::Long handle) {
  return CallsQuery([&](const TLineCallsSnapshot& calls) { return calls.Find(handle).has_value(); },
                    [&] { return GetCallByHandle(handle) != nullptr; });
}

CORBA::Long TLine_Impl::GetCall(CORBA::Long index) {
  return OnLine("TLine_Impl.GetCall", CORBA::Long(0), [&] {
    auto& calls = tapiLine_->Calls();
    telephony::TProtectedGuard callsHeld(calls);
    const std::vector<TTapiCall*> listed = calls.Items();
    callsHeld.Release();
    if (index < 0 || static_cast<std::size_t>(index) >= listed.size()) {
      throw std::out_of_range("List index out of bounds (" + std::to_string(index) + ")");
    }
    return CallHandle(listed[static_cast<std::size_t>(index)]);
  });
}

bool TLine_Impl::CallIsActive(TTapiCall& call) {
  return call.Handle != 0 && (call.State() & (telephony::kHeldCallStates | LINECALLSTATE_IDLE)) == 0 &&
         !call.IsOnHold();
}

CORBA::Long TLine_Impl::GetActiveCall() {
  if (!TTelephonyThread::Instance().IsOwner()) return snapshot_.First(&TLineCallsSnapshot::TCall::active);
  return OnLine("TLine_Impl.GetActiveCall", CORBA::Long(0), [&] {
    auto& calls = tapiLine_->Calls();
    telephony::TProtectedGuard callsHeld(calls);
    const std::vector<TTapiCall*> listed = calls.Items();
    callsHeld.Release();
    for (TTapiCall* call : listed) {
      if (CallIsActive(*call)) return CallHandle(call);
    }
    return CORBA::Long(0);
  });
}

CORBA::Long TLine_Impl::GetOfferingCall() {
  if (!TTelephonyThread::Instance().IsOwner()) return snapshot_.First(&TLineCallsSnapshot::TCall::offering);
  return OnLine("TLine_Impl.GetOfferingCall", CORBA::Long(0), [&] {
    auto& calls = tapiLine_->Calls();
    telephony::TProtectedGuard callsHeld(calls);
    const std::vector<TTapiCall*> listed = calls.Items();
    callsHeld.Release();
    for (TTapiCall* call : listed) {
      if (call->IsOffering()) return CallHandle(call);
    }
    return CORBA::Long(0);
  });
}

CORBA::Long TLine_Impl::GetCallByConnectedID(const char* connectedID) {
  return OnLine("TLine_Impl.GetCallByConnectedID", CORBA::Long(0), [&] {
    auto& calls = tapiLine_->Calls();
    telephony::TProtectedGuard callsHeld(calls);
    const std::vector<TTapiCall*> listed = calls.Items();
    callsHeld.Release();
    for (TTapiCall* call : listed) {
      if (call->ConnectedID.Number() == connectedID) return CallHandle(call);
    }
    const auto remembered = history_.GetItemByConnectedID(connectedID);
    return remembered ? static_cast<CORBA::Long>(remembered->Handle) : CORBA::Long(0);
  });
}

CORBA::Long TLine_Impl::GetCallState(CORBA::Long handle) {
  if (!TTelephonyThread::Instance().IsOwner()) {
    const auto call = snapshot_.Find(handle);
    return call ? call->state : CORBA::Long(-1);
  }
  return OnLine("TLine_Impl.GetCallState", CORBA::Long(-1), [&] {
    TTapiCall* call = GetCallByHandle(handle);
    return call == nullptr ? CORBA::Long(-1) : static_cast<CORBA::Long>(call->StatusDWord(0));
  });
}

CORBA::Boolean TLine_Impl::GetCallIsActive(CORBA::Long call) {
  return CallQuery("TLine_Impl.GetCallIsActive", call, [&](TTapiCall& c) { return CallIsActive(c); });
}
CORBA::Boolean TLine_Impl::GetCallIsAlive(CORBA::Long call) {
  return CallQuery("TLine_Impl.GetCallIsAlive", call, [](TTapiCall& c) { return c.Alive(); });
}
CORBA::Boolean TLine_Impl::GetCallIsOutgoing(CORBA::Long call) {
  return CallQuery("TLine_Impl.GetCallIsOutgoing", call, [](TTapiCall& c) { return c.IsOutbound(); });
}
CORBA::Boolean TLine_Impl::GetCallIsIncoming(CORBA::Long call) {
  return CallQuery("TLine_Impl.GetCallIsIncoming", call, [](TTapiCall& c) { return c.IsInbound(); });
}
CORBA::Boolean TLine_Impl::GetCallIsConnected(CORBA::Long call) {
  return CallQuery("TLine_Impl.GetCallIsConnected", call, [](TTapiCall& c) { return c.IsConnected(); });
}
CORBA::Boolean TLine_Impl::GetCallIsOffering(CORBA::Long call) {
  return CallQuery("TLine_Impl.GetCallIsOffering", call, [](TTapiCall& c) { return c.IsOffering(); });
}
CORBA::Boolean TLine_Impl::GetCallIsHeld(CORBA::Long call) {
  return CallQuery("TLine_Impl.GetCallIsHeld", call, [](TTapiCall& c) { return c.IsOnHold(); });
}
CORBA::Boolean TLine_Impl::GetCallIsDialing(CORBA::Long call) {
  return CallQuery("TLine_Impl.GetCallIsDialing", call, [](TTapiCall& c) { return c.IsDialing(); });
}
CORBA::Boolean TLine_Impl::GetCallIsBusy(CORBA::Long call) {
  return CallQuery("TLine_Impl.GetCallIsBusy", call, [](TTapiCall& c) { return c.IsBusy(); });
}
CORBA::Boolean TLine_Impl::GetCallWasOutgoing(CORBA::Long call) {
  return CallQuery("TLine_Impl.GetCallWasOutgoing", call, [](TTapiCall& c) { return c.WasOutbound(); });
}
CORBA::Boolean TLine_Impl::GetCallWasIncoming(CORBA::Long call) {
  return CallQuery("TLine_Impl.GetCallWasIncoming", call, [](TTapiCall& c) { return c.WasInbound(); });
}
CORBA::Boolean TLine_Impl::GetCallWasConnected(CORBA::Long call) {
  return CallQuery("TLine_Impl.GetCallWasConnected", call, [](TTapiCall& c) { return c.WasConnected(); });
}
CORBA::Boolean TLine_Impl::GetCallWasOffering(CORBA::Long call) {
  return CallQuery("TLine_Impl.GetCallWasOffering", call, [](TTapiCall& c) { return c.WasOffering(); });
}
CORBA::Boolean TLine_Impl::GetCallWasHeld(CORBA::Long call) {
  return CallQuery("TLine_Impl.GetCallWasHeld", call, [](TTapiCall& c) { return c.WasOnHold(); });
}
CORBA::Boolean TLine_Impl::GetCallWasDialing(CORBA::Long call) {
  return CallQuery("TLine_Impl.GetCallWasDialing", call, [](TTapiCall& c) { return c.WasDialing(); });
}
CORBA::Boolean TLine_Impl::GetCallWasBusy(CORBA::Long call) {
  return CallQuery("TLine_Impl.GetCallWasBusy", call, [](TTapiCall& c) { return c.WasBusy(); });
}

CORBA::Boolean TLine_Impl::GetCallIsPendTransfer(CORBA::Long handle) {
  return TTelephonyThread::Instance().Call([&] {
    TTapiCall* call = GetCallByHandle(handle);
    return call != nullptr && call->State() == LINECALLSTATE_ONHOLDPENDTRANSFER;
  });
}

char* TLine_Impl::PartyText(const char* methodName, CORBA::Long handle, telephony::TTapiCallPartyID TTapiCall::*party,
                            std::string TLineCallsSnapshot::TCall::*published) {
  if (published != nullptr && !TTelephonyThread::Instance().IsOwner()) {
    const auto call = snapshot_.Find(handle);
    return CORBA::string_dup(call ? ((*call).*published).c_str() : "");
  }
  return OnLineText(methodName, [&] {
    TTapiCall* call = GetCallByHandle(handle);
    if (call == nullptr) return std::string();
    return PrepareID((call->*party).Number());
  });
}

char* TLine_Impl::GetCallerID(CORBA::Long call) {
  return PartyText("TLine_Impl.GetCallerID", call, &TTapiCall::CallerID, &TLineCallsSnapshot::TCall::callerID);
}
char* TLine_Impl::GetCalledID(CORBA::Long call) {
  return PartyText("TLine_Impl.GetCalledID", call, &TTapiCall::CalledID, &TLineCallsSnapshot::TCall::calledID);
}
char* TLine_Impl::GetConnectedID(CORBA::Long call) {
  return PartyText("TLine_Impl.GetConnectedID", call, &TTapiCall::ConnectedID, &TLineCallsSnapshot::TCall::connectedID);
}
char* TLine_Impl::GetRedirectingID(CORBA::Long call) {
  return PartyText("TLine_Impl.GetRedirectingID", call, &TTapiCall::RedirectingID);
}
char* TLine_Impl::GetRedirectionID(CORBA::Long call) {
  return PartyText("TLine_Impl.GetRedirectionID", call, &TTapiCall::RedirectionID);
}

char* TLine_Impl::GetRemoteID(CORBA::Long handle) {
  return OnLineText("TLine_Impl.GetRemoteID", [&] {
    TTapiCall* call = GetCallByHandle(handle);
    return call == nullptr ? std::string() : PrepareID(call->RemoteID.Number());
  });
}

char* TLine_Impl::GetTrueCallerID(CORBA::Long handle) {
  return OnLineText("TLine_Impl.GetTrueCallerID", [&] {
    CORBA::String_var caller = GetCallerID(handle);
    std::string result = caller.in();
    if (result.empty()) return result;
    ::Lines_var lines = LinesContainer();
    if (CORBA::is_nil(lines)) return result;
    ::Line_var outer = ::Line::_narrow(::ContainerItem_var(lines->GetItemByDevicePhoneNumber(result.c_str())));
    if (CORBA::is_nil(outer) || !outer->GetIsOuter()) return result;
    const CORBA::Long active = outer->GetActiveCall();
    if (active > 0) {
      CORBA::String_var external = outer->GetCallerID(active);
      result = external.in();
    }
    return result;
  });
}

char* TLine_Impl::GetCallNote(CORBA::Long handle, const char* name) {
  return OnLineText("TLine_Impl.GetCallNote", [&] {
    if (TTapiCall* call = GetCallByHandle(handle)) return call->Note(name);
    const auto remembered = history_.GetItem(handle);
    return remembered ? remembered->Note(name) : std::string();
  });
}

CORBA::Boolean TLine_Impl::SetCallNote(CORBA::Long handle, const char* name, const char* value) {
  return OnLine("TLine_Impl.SetCallNote", false, [&] {
    TTapiCall* call = GetCallByHandle(handle);
    if (call == nullptr) return false;
    call->SetNote(name, value);
    history_.UpdateCall(*call);
    return true;
  });
}

CORBA::Long TLine_Impl::GetCallTag(CORBA::Long handle) {
  return OnLine("TLine_Impl.GetCallTag", CORBA::Long(0), [&] {
    TTapiCall* call = GetCallByHandle(handle);
    return call == nullptr ? CORBA::Long(0) : static_cast<CORBA::Long>(call->Tag);
  });
}

CORBA::Boolean TLine_Impl::SetCallTag(CORBA::Long handle, CORBA::Long tag) {
  return OnLine("TLine_Impl.SetCallTag", false, [&] {
    TTapiCall* call = GetCallByHandle(handle);
    if (call == nullptr) return false;
    call->Tag = tag;
    return true;
  });
}

CORBA::Long TLine_Impl::GetParentCallHandle(CORBA::Long handle) {
  return OnLine("TLine_Impl.GetParentCallHandle", CORBA::Long(0), [&] {
    TTapiCall* call = GetCallByHandle(handle);
    return call == nullptr ? CORBA::Long(0) : CallHandle(call->RelatedCall);
  });
}

CORBA::Long TLine_Impl::GetConsultCallHandle(CORBA::Long handle) {
  return OnLine("TLine_Impl.GetConsultCallHandle", CORBA::Long(0), [&] {
    TTapiCall* call = GetCallByHandle(handle);
    return call == nullptr ? CORBA::Long(0) : CallHandle(call->ConsultCall);
  });
}

void TLine_Impl::GetCallContent(CORBA::Long handle, const char* fromLinePhoneNumber, const char* connectedID) {
  OnLine("TLine_Impl.GetCallContent", [&] {
    ::Lines_var lines = LinesContainer();
    if (CORBA::is_nil(lines)) return;
    ::Line_var source = ::Line::_narrow(::ContainerItem_var(lines->GetItemByDevicePhoneNumber(fromLinePhoneNumber)));
    if (CORBA::is_nil(source)) return;
    const CORBA::Long sourceCall = source->GetCallByConnectedID(connectedID);
    if (sourceCall <= 0) return;
    for (const char* key : {"ContactID", "ContactName", "CompanyID", "CompanyName", "Subject", "ContentCount"}) {
      CORBA::String_var value = source->GetCallNote(sourceCall, key);
      SetCallNote(handle, key, value.in());
    }
    CORBA::String_var countText = source->GetCallNote(sourceCall, "ContentCount");
    const int count = StrToIntDef(countText.in(), 0);
    for (int i = 0; i < count; ++i) {
      const std::string key = "Content_" + std::to_string(i);
      CORBA::String_var value = source->GetCallNote(sourceCall, key.c_str());
      SetCallNote(handle, key.c_str(), value.in());
    }
  });
}

char* TLine_Impl::GetCallerLinePhoneNumber(const char* phoneNumber) {
  ::Lines_var lines = LinesContainer();
  if (CORBA::is_nil(lines)) return CORBA::string_dup("");
  for (CORBA::Long i = 0; i < lines->GetItemsCount(); ++i) {
    ::Line_var line = ::Line::_narrow(::ContainerItem_var(lines->GetItem(i)));
    if (CORBA::is_nil(line)) continue;
    CORBA::String_var own = line->GetDevicePhoneNumber();
    if (std::string_view(own.in()) == phoneNumber) continue;
    for (CORBA::Long j = 0; j < line->GetCallsCount(); ++j) {
      const CORBA::Long call = line->GetCall(j);
      for (auto party : {&::_objref_Line::GetCalledID, &::_objref_Line::GetRedirectionID,
                         &::_objref_Line::GetRedirectingID, &::_objref_Line::GetConnectedID}) {
        CORBA::String_var id = ((*line).*party)(call);
        if (std::string_view(id.in()) == phoneNumber) return own._retn();
      }
    }
  }
  return CORBA::string_dup("");
}

CORBA::Boolean TLine_Impl::WriteDebugCallState(const char* title, CORBA::Long handle) {
  return OnLine("TLine_Impl.WriteDebugCallState", false, [&] {
    TTapiCall* call = GetCallByHandle(handle);
    if (call == nullptr) return false;
    const auto flag = [](bool value) { return value ? 1 : 0; };
    CORBA::String_var trueCaller = GetTrueCallerID(handle);
    LogFormat("%s - state start ---------------------", {title});
    LogFormat("Handle: %d", {static_cast<long>(handle)});
    LogFormat("Active: %d", {flag(CallIsActive(*call))});
    LogFormat("CallerID: %s", {call->CallerID.Number()});
    LogFormat("TrueCallerID: %s", {trueCaller.in()});
    LogFormat("CalledID: %s", {call->CalledID.Number()});
    LogFormat("ConnectedID: %s", {call->ConnectedID.Number()});
    LogFormat("RedirectionID: %s", {call->RedirectionID.Number()});
    LogFormat("RedirectingID: %s", {call->RedirectingID.Number()});
    LogFormat("RemoteID: %s", {call->RemoteID.Number()});
    LogFormat("IsOutgoing: %d", {flag(call->IsOutbound())});
    LogFormat("IsIncoming: %d", {flag(call->IsInbound())});
    LogFormat("IsConnected: %d", {flag(call->IsConnected())});
    LogFormat("IsOffering: %d", {flag(call->IsOffering())});
    LogFormat("IsHeld: %d", {flag(call->IsOnHold())});
    LogFormat("IsDialing: %d", {flag(call->IsDialing())});
    LogFormat("IsBusy: %d", {flag(call->IsBusy())});
    LogFormat("WasOutgoing: %d", {flag(call->WasOutbound())});
    LogFormat("WasIncoming: %d", {flag(call->WasInbound())});
    LogFormat("WasConnected: %d", {flag(call->WasConnected())});
    LogFormat("WasOffering: %d", {flag(call->WasOffering())});
    LogFormat("WasHeld: %d", {flag(call->WasOnHold())});
    LogFormat("WasDialing: %d", {flag(call->WasDialing())});
    LogFormat("WasBusy: %d", {flag(call->WasBusy())});
    LogFormat("Valide: %d", {flag(call->Handle != 0)});
    LogFormat("State: %s", {telephony::CallStateToStr(call->State())});
    LogFormat("%s - state end ---------------------", {title});
    return true;
  });
}

}  // namespace vantrel
