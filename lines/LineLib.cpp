#include "LineLib.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "model/DatabaseLib.h"
#include "model/Servant.h"
#include "platform/Ticks.h"
#include "routing/OperatorLib.h"
#include "routing/RuleLib.h"
#include "routing/RulesLib.h"
#include "support/FormatText.h"
#include "support/VantrelCommonRoutines.h"
#include "telephony/TelephonyThread.h"
#include "telephony/diZuduUtils.h"

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

template <typename Result, typename Body>
Result TLine_Impl::OnLine(const char* methodName, Result neutral, Body&& body) {
  try {
    return TTelephonyThread::Instance().Call(std::forward<Body>(body));
  } catch (...) {
    HandleError(methodName, std::current_exception());
    return neutral;
  }
}

template <typename Body>
void TLine_Impl::OnLine(const char* methodName, Body&& body) {
  try {
    TTelephonyThread::Instance().Run(std::forward<Body>(body));
  } catch (...) {
    HandleError(methodName, std::current_exception());
  }
}

template <typename Result, typename Body>
Result TLine_Impl::Guard(const char* methodName, Result neutral, Body&& body) {
  try {
    return std::forward<Body>(body)();
  } catch (...) {
    HandleError(methodName, std::current_exception());
    return neutral;
  }
}

template <typename Body>
void TLine_Impl::Guard(const char* methodName, Body&& body) {
  try {
    std::forward<Body>(body)();
  } catch (...) {
    HandleError(methodName, std::current_exception());
  }
}

template <typename Body>
char* TLine_Impl::OnLineText(const char* methodName, Body&& body) {
  return CORBA::string_dup(OnLine(methodName, std::string(), std::forward<Body>(body)).c_str());
}

void TLine_Impl::HandleError(const char* methodName, std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const telephony::ETapiError& tapiError) {
    if (tapiError.ErrorCode == LINEERR_OPERATIONFAILED) return;  // a request that timed out
    DoError(methodName, tapiError.what());
  } catch (...) {
    DoError(methodName, ExceptionText(std::current_exception()).c_str());
  }
}

TLine_Impl::TLine_Impl() {
  LogMessage("TLine_Impl.Create()");
  TTelephonyThread::Instance().Run([this] {
    tapiLine_ = std::make_unique<TTapiLine>();
    if (!tapiLine_->Enabled()) tapiLine_->SetEnabled(true);
    AttachHandlers();
  });
}

TLine_Impl::~TLine_Impl() {
  LogMessage("TLine_Impl.Destroy()");
  try {
    ::Operator_var seated = GetOperator();
    if (!CORBA::is_nil(seated)) seated->SetLine(::Line::_nil());
  } catch (...) {
  }
  try {
    TTelephonyThread::Instance().Run([this] { tapiLine_.reset(); });
  } catch (...) {
  }
}

TTapiCall* TLine_Impl::GetCallByHandle(CORBA::Long call) {
  if (!tapiLine_) return nullptr;
  auto& calls = tapiLine_->Calls();
  telephony::TProtectedGuard callsHeld(calls);
  TTapiCall* found = nullptr;
  for (TTapiCall* candidate : calls.Items()) {
    if (static_cast<CORBA::Long>(candidate->Handle) == call) found = candidate;
  }
  callsHeld.Release();
  return found;
}

CORBA::Long TLine_Impl::CallHandle(const TTapiCall* call) const {
  return call == nullptr ? 0 : static_cast<CORBA::Long>(call->Handle);
}

::Lines_ptr TLine_Impl::LinesContainer() { return GetLines(); }

// ---- configuration ----

::Rule_ptr TLine_Impl::GetRule() {
  std::lock_guard lock(lineMutex_);
  return ::Rule::_duplicate(rule_);
}

void TLine_Impl::SetRule(::Rule_ptr rule) {
  Guard("TLine_Impl.SetRule", [&] {
    ::Rule_var current = GetRule();
    if (!CORBA::is_nil(current) && !CORBA::is_nil(rule) && current->GetID() == rule->GetID()) return;
    // Always the container's own object, never a foreign reference.
    ::Rule_var own;
    if (!CORBA::is_nil(rule)) {
      ::Rules_var rules = GetRules();
      if (!CORBA::is_nil(rules)) own = ::Rule::_narrow(::ContainerItem_var(rules->GetItemByID(rule->GetID())));
    }
    std::lock_guard lock(lineMutex_);
    rule_ = own;
  });
}

CORBA::Long TLine_Impl::GetRuleID() {
  return Guard("TLine_Impl.GetRuleID", CORBA::Long(-1), [&] {
    ::Rule_var rule = GetRule();
    return CORBA::is_nil(rule) ? CORBA::Long(-1) : rule->GetID();
  });
}

void TLine_Impl::SetRuleID(CORBA::Long id) {
  Guard("TLine_Impl.SetRuleID", [&] {
    ::Rules_var rules = GetRules();
    if (CORBA::is_nil(rules)) {
      SetRule(::Rule::_nil());
      return;
    }
    ::Rule_var rule = ::Rule::_narrow(::ContainerItem_var(rules->GetItemByID(id)));
    if (CORBA::is_nil(rule)) {
      std::lock_guard lock(lineMutex_);
      rule_ = ::Rule::_nil();
      return;
    }
    SetRule(rule);
  });
}

char* TLine_Impl::GetRuleName() {
  return CORBA::string_dup(Guard("TLine_Impl.GetRuleName", std::string(), [&] {
                             ::Rule_var rule = GetRule();
                             if (CORBA::is_nil(rule)) return std::string();
                             CORBA::String_var name = rule->GetObjectName();
                             return std::string(name.in());
                           }).c_str());
}

::Operator_ptr TLine_Impl::GetOperator() {
  std::lock_guard lock(lineMutex_);
  return ::Operator::_duplicate(operator_);
}

void TLine_Impl::SetOperator(::Operator_ptr seated) {
  Guard("TLine_Impl.SetOperator", [&] {
    ::Operator_var current = GetOperator();
    if (!CORBA::is_nil(current) && !CORBA::is_nil(seated) && current->GetID() == seated->GetID()) return;
    ::Operator_var own;
    if (!CORBA::is_nil(seated)) {
      ::Operators_var operators = GetOperators();
      if (!CORBA::is_nil(operators)) {
        own = ::Operator::_narrow(::ContainerItem_var(operators->GetItemByID(seated->GetID())));
      }
    }
    std::lock_guard lock(lineMutex_);
    operator_ = own;
  });
}

CORBA::Long TLine_Impl::GetOperatorID() {
  return Guard("TLine_Impl.GetOperatorID", CORBA::Long(-1), [&] {
    ::Operator_var seated = GetOperator();
    return CORBA::is_nil(seated) ? CORBA::Long(-1) : seated->GetID();
  });
}

void TLine_Impl::SetOperatorID(CORBA::Long id) {
  Guard("TLine_Impl.SetOperatorID", [&] {
    ::Operators_var operators = GetOperators();
    ::Operator_var seated;
    if (!CORBA::is_nil(operators)) seated = ::Operator::_narrow(::ContainerItem_var(operators->GetItemByID(id)));
    if (CORBA::is_nil(seated)) {
      std::lock_guard lock(lineMutex_);
      operator_ = ::Operator::_nil();
      return;
    }
    SetOperator(seated);
  });
}

CORBA::Long TLine_Impl::GetDeviceID() {
  return OnLine("TLine_Impl.GetDeviceID", CORBA::Long(-1),
                [&] { return tapiLine_ ? static_cast<CORBA::Long>(tapiLine_->DeviceID()) : CORBA::Long(-1); });
}

void TLine_Impl::SetDeviceID(CORBA::Long id) {
  OnLine("TLine_Impl.SetDeviceID", [&] {
    tapiLine_->SetActive(false);
    tapiLine_->SetDeviceID(id);
    tapiLine_->Privileges.Monitor = true;
    tapiLine_->Privileges.Owner = true;
    tapiLine_->MediaModes = 0x10;  // LINEMEDIAMODE_DATAMODEM
    // The device's number is read once it is open: the address of its first address.
    const auto keepNumber = [this] {
      std::string number;
      if (tapiLine_->Active() && !tapiLine_->Addresses().empty()) number = tapiLine_->Addresses().front()->Name();
      {
        std::lock_guard lock(lineMutex_);
        if (devicePhoneNumber_ == number) return;
        devicePhoneNumber_ = number;
      }
      // The Lines container finds lines by number: its index is made again (without waiting for its lock).
      ::Container_var container = GetContainer();
      if (const TLocalServant<TContainer_Impl> lines{container.in()}) lines->LookupKeyChanged();
    };
    try {
      if (tapiLine_->Available()) tapiLine_->SetActive(true);
      keepNumber();
      DoChange();
    } catch (const telephony::ETapiError& error) {
      if (error.ErrorCode != LINEERR_INVALMEDIAMODE) throw;
      // The device refuses the data-modem mode: open without owning calls, with its own media modes.
      tapiLine_->Privileges.Owner = false;
      tapiLine_->MediaModes = 0;
      if (tapiLine_->Available()) tapiLine_->SetActive(true);
      keepNumber();
    }
  });
}

char* TLine_Impl::GetDevicePhoneNumber() {
  std::lock_guard lock(lineMutex_);
  return CORBA::string_dup(devicePhoneNumber_.c_str());
}

CORBA::Boolean TLine_Impl::GetIsOuter() {
  std::lock_guard lock(lineMutex_);
  return isOuter_;
}

void TLine_Impl::SetIsOuter(CORBA::Boolean value) {
  std::lock_guard lock(lineMutex_);
  isOuter_ = value;
}

CORBA::Boolean TLine_Impl::GetUsingDND() {
  std::lock_guard lock(lineMutex_);
  return usingDND_;
}

void TLine_Impl::SetUsingDND(CORBA::Boolean value) {
  std::lock_guard lock(lineMutex_);
  usingDND_ = value;
}

CORBA::Boolean TLine_Impl::GetDND() {
  return OnLine("TLine_Impl.GetDND", false, [&] {
    if (!tapiLine_ || tapiLine_->Addresses().empty()) return false;
    const auto& entries = tapiLine_->Addresses().front()->Status().ForwardList().Entries();
    return entries.size() == 1 && entries.front().DestAddress.size() < 3;
  });
}

void TLine_Impl::SetDND(CORBA::Boolean value) {
  OnLine("TLine_Impl.SetDND", [&] {
    if (!tapiLine_ || tapiLine_->Addresses().empty() || !GetUsingDND()) return;
    telephony::TTapiForwardList list;
    LogMessage("InputDNDMode");
    if (value) list.Add(LINEFORWARDMODE_UNCOND, "", "", 0);
    const telephony::TAsyncRequests async(*tapiLine_);
    tapiLine_->Addresses().front()->Forward(value ? &list : nullptr);
  });
}

::LineEvents_ptr TLine_Impl::GetLineEventsListener() {
  std::lock_guard lock(lineMutex_);
  return listener_.Get();
}

void TLine_Impl::SetLineEventsListener(::LineEvents_ptr listener) {
  std::lock_guard lock(lineMutex_);
  listener_.Set(listener);
}

void TLine_Impl::AddEventsListener(::LineEvents_ptr listener) {
  Guard("TLine_Impl.AddEventsListener", [&] {
    if (CORBA::is_nil(listener)) throw std::invalid_argument("No listener");
    std::lock_guard lock(lineMutex_);
    if (std::any_of(addedListeners_.begin(), addedListeners_.end(),
                    [&](const auto& added) { return added.Is(listener) && !added.Dropped(); })) {
      return;
    }
    std::erase_if(addedListeners_, [&](const auto& added) { return added.Is(listener); });
    addedListeners_.emplace_back().Set(listener);
  });
}

void TLine_Impl::RemoveEventsListener(::LineEvents_ptr listener) {
  Guard("TLine_Impl.RemoveEventsListener", [&] {
    std::lock_guard lock(lineMutex_);
    std::erase_if(addedListeners_, [&](const auto& added) { return added.Is(listener); });
  });
}

void TLine_Impl::ChangeLineEventLastContact() {
  std::lock_guard lock(lineMutex_);
  listenerContact_ = std::chrono::steady_clock::now();
}

CORBA::Long TLine_Impl::GetCallsCount() {
  return OnLine("TLine_Impl.GetCallsCount", CORBA::Long(0), [&] {
    if (!tapiLine_) return CORBA::Long(0);
    auto& calls = tapiLine_->Calls();
    telephony::TProtectedGuard callsHeld(calls);
    const auto count = static_cast<CORBA::Long>(calls.Items().size());
    callsHeld.Release();
    return count;
  });
}

void TLine_Impl::SetEnabled(CORBA::Boolean enabled) {
  TContainerItem_Impl::SetEnabled(enabled);
  OnLine("TLine_Impl.SetEnabled", [&] {
    if (!enabled && tapiLine_->Active()) tapiLine_->SetActive(false);
    if (tapiLine_->Enabled() != static_cast<bool>(enabled)) tapiLine_->SetEnabled(enabled);
  });
}

CORBA::Boolean TLine_Impl::AssignFrom(::Base_ptr source) {
  BeginUpdate();
  const bool result = OnLine("TLine_Impl.AssignFrom", false, [&] {
    ::Line_var line = ::Line::_narrow(source);
    const bool assigned = TContainerItem_Impl::AssignFrom(source);
    if (CORBA::is_nil(line)) return assigned;
    SetDeviceID(line->GetDeviceID());
    SetRule(::Rule_var(line->GetRule()));
    SetOperator(::Operator_var(line->GetOperator()));
    SetIsOuter(line->GetIsOuter());
    SetUsingDND(line->GetUsingDND());
    return assigned;
  });
  EndUpdate();
  return result;
}

CORBA::Boolean TLine_Impl::LoadFromIniFile(const char* fileName, const char* section) {
  return LoadItemWithKeys("TLine_Impl.LoadFromIniFile", fileName, section, [&](TMemIniFile& ini) {
    SetRuleID(ini.ReadInteger(section, "RuleID", GetRuleID()));
    SetIsOuter(ini.ReadBool(section, "IsOuter", GetIsOuter()));
    SetUsingDND(ini.ReadBool(section, "UsingDND", GetUsingDND()));
    SetRecordsCalls(ini.ReadBool(section, "Record", GetRecordsCalls()));
  });
}

CORBA::Boolean TLine_Impl::SaveToIniFile(const char* fileName, const char* section) {
  return SaveItemWithKeys("TLine_Impl.SaveToIniFile", fileName, section, [&](TMemIniFile& ini) {
    ini.WriteInteger(section, "RuleID", GetRuleID());
    ini.WriteBool(section, "IsOuter", GetIsOuter());
    ini.WriteBool(section, "UsingDND", GetUsingDND());
    if (GetRecordsCalls()) ini.WriteBool(section, "Record", true);
  });
}

// ---- call control ----

std::string TLine_Impl::PreparePhoneNumber(const std::string& number) {
  ::TranslateRules_var rules = GetTranslateRules();
  if (CORBA::is_nil(rules)) return number;
  CORBA::String_var translated;
  if (rules->Apply(number.c_str(), translated.out())) return translated.in();
  return number;
}

std::string TLine_Impl::PrepareID(const std::string& text) {
  std::string digits;
  for (char c : text) {
    if (c >= '0' && c <= '9') digits += c;
  }
  return digits;
}

void TLine_Impl::SetCallOwner(TTapiCall& call) {
  if (!call.Owner()) call.SetOwner(true);
}

void TLine_Impl::Dial(CORBA::Long handle, const char* phoneNumber, CORBA::Long taskNumber) {
  OnLine("TLine_Impl.Dial", [&] {
    try {
      LogFormat("Line_Impl.Dial_APhoneNumber = %s", {phoneNumber});
      const std::string number = PreparePhoneNumber(phoneNumber);
      LogFormat("Line_Impl.Dial_PhoneNumber = %s", {number});
      TTapiCall* call = GetCallByHandle(handle);
      if (call != nullptr) LogFormat("Line_Impl.Dial_CallHandle = %d", {static_cast<long>(call->Handle)});
      CORBA::Long active = 0;
      if (call == nullptr) active = GetActiveCall();
      LogFormat("Line_Impl.Dial_ActiveCallHandle = %d", {static_cast<long>(active)});
      if (active != 0) call = GetCallByHandle(active);
      LogMessage("Line_Impl.Dial_AfterGetCallByHandle");
      // Only a call of our own that has dial tone can dial on.
      if (call != nullptr && !(call->IsOutbound() && !call->IsConnected() && !call->IsDialing())) call = nullptr;
      LogMessage("Line_Impl.Dial_AfterCall=nil");
      const auto logAssigned = [&] {
        LogMessage(tapiLine_ ? "Line_Impl.Dial_LineIsAssigneg" : "Line_Impl.Dial_LineIsNOT!!!!!!!Assigneg");
      };
      if (call != nullptr) {
        LogMessage("Line_Impl.Dial_BeforeDial");
        logAssigned();
        call->Dial(number);
        LogMessage("Line_Impl.Dial_AfterDial");
      } else {
        LogMessage("Line_Impl.Dial_BeforeMakeCall");
        logAssigned();
        if (!tapiLine_) throw std::runtime_error("Line is not assigned");
        call = tapiLine_->MakeCall(number);
        LogMessage("Line_Impl.Dial_AfterMakeCall");
      }
      if (call != nullptr) {
        call->SetOwner(true);
        LogMessage("Line_Impl.Dial_BeforeSetCallNote");
        SetCallNote(CallHandle(call), "TaskID", taskNumber >= 1 ? std::to_string(taskNumber).c_str() : "");
        LogMessage("Line_Impl.Dial_AfterSetCallNote");
      }
    } catch (const std::exception& error) {
      LogFormat("%s : %s", {error.what(), typeid(error).name()});
      throw;
    }
  });
}

void TLine_Impl::Answer(CORBA::Long handle) {
  OnLine("TLine_Impl.Answer", [&] {
    if (TTapiCall* call = GetCallByHandle(handle)) call->Answer();
  });
}

void TLine_Impl::CancelDial(CORBA::Long handle) {
  try {
    TTelephonyThread::Instance().Run([&] {
      LogMessage("Cancel dial");
      if (TTapiCall* call = GetCallByHandle(handle)) call->Drop();
    });
  } catch (...) {
  }
}

void TLine_Impl::Hold(CORBA::Long handle) {
  OnLine("TLine_Impl.Hold", [&] {
    TTapiCall* call = GetCallByHandle(handle);
    if (call != nullptr && !call->IsOnHold() && call->IsConnected()) call->Hold();
  });
}

void TLine_Impl::Unhold(CORBA::Long handle) {
  OnLine("TLine_Impl.Unhold", [&] {
    TTapiCall* call = GetCallByHandle(handle);
    if (call == nullptr || !call->IsOnHold()) return;
    const telephony::TAsyncRequests async(*tapiLine_);
    call->Unhold();
  });
}

void TLine_Impl::BlindTransfer(CORBA::Long handle, const char* phoneNumber) {
  OnLine("TLine_Impl.BlindTransfer", [&] {
    if (TTapiCall* call = GetCallByHandle(handle)) call->BlindTransfer(PreparePhoneNumber(phoneNumber));
  });
}

void TLine_Impl::SetupTransfer(CORBA::Long handle) {
  OnLine("TLine_Impl.SetupTransfer", [&] {
    TTapiCall* call = GetCallByHandle(handle);
    if (call == nullptr || call->IsOnHold() || !call->IsConnected()) return;
    if (TTapiCall* consult = tapiLine_->SetupTransfer(call, nullptr)) consult->SetOwner(true);
  });
}

void TLine_Impl::CompleteTransfer(CORBA::Long handle, CORBA::Boolean conference) {
  OnLine("TLine_Impl.CompleteTransfer", [&] {
    if (TTapiCall* call = GetCallByHandle(handle)) call->CompleteTransfer(conference);
  });
}

void TLine_Impl::CancelBusyCalls() {
  OnLine("TLine_Impl.CancelBusyCalls", [&] {
    auto& calls = tapiLine_->Calls();
    telephony::TProtectedGuard callsHeld(calls);
    const std::vector<TTapiCall*> listed = calls.Items();
    callsHeld.Release();
    for (auto it = listed.rbegin(); it != listed.rend(); ++it) {
      const CORBA::Long handle = CallHandle(*it);
      if (TTapiCall* call = GetCallByHandle(handle); call != nullptr && call->IsBusy()) call->Drop();
    }
  });
}

void TLine_Impl::UnholdPrimaryCall(CORBA::Long handle) {
  const CORBA::Long related = TTelephonyThread::Instance().Call([&] {
    TTapiCall* call = GetCallByHandle(handle);
    return call != nullptr && call->RelatedCall != nullptr ? CallHandle(call->RelatedCall) : CORBA::Long(0);
  });
  if (related != 0) Unhold(related);
}

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

// ---- the call log ----

CORBA::Boolean TLine_Impl::WriteLog(::LogEventType eventType, CORBA::Long handle, CORBA::Long taskID) {
  const auto entry = history_.GetItem(handle);
  if (!entry) return false;
  const ::Database_var database = GetDatabase();
  const TLocalServant<TDatabase_Impl> callLog{database.in()};
  if (!callLog) return false;
  // The row is made here, in the order of the line's events, and handed over: the database is never waited for.
  return OnLine("TLine_Impl.WriteLog", false, [&] {
    const TDateTime now = NowLocal();
    const TDateTime begin = entry->BeginTime != 0 ? entry->BeginTime : now;
    const std::string stamp = DateTimeText(begin, true);  // the begin second keys its related calls too
    CORBA::String_var linePhoneNumber = GetDevicePhoneNumber();
    const CORBA::Long parent = GetParentCallHandle(handle);
    const CORBA::Long consult = GetConsultCallHandle(handle);
    ::Operator_var seated = GetOperator();
    TCallLogRow row;
    row.CallEventType = static_cast<int>(eventType);
    row.CallHandle = stamp + "-" + std::to_string(handle);
    row.BeginTime = DateTimeText(begin, false);
    row.EndTime = DateTimeText(now, false);
    row.LinePhoneNumber = linePhoneNumber.in();
    row.LineIsOuter = GetIsOuter() ? 1 : 0;
    row.CallerPhoneNumber = entry->CallerID;
    row.CalledPhoneNumber = entry->CalledID;
    row.ConnectedPhoneNumber = entry->ConnectedID;
    row.Operator_id = CORBA::is_nil(seated) ? 0 : GetOperatorID();
    row.Task_id = taskID;
    row.ParentCallHandle = parent != 0 ? stamp + "-" + std::to_string(parent) : std::string();
    row.ConsultCallHandle = consult != 0 ? stamp + "-" + std::to_string(consult) : std::string();
    std::string error;
    if (!callLog->AcceptCallLogRow(std::move(row), error)) {
      DoError("TLine_Impl.WriteLog", error.c_str());
      return false;
    }
    return true;
  });
}

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
  line.OnDigit = valueHandler("TLine_Impl.InternalOnDigit", &TLine_Impl::DoDigit);
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
    OnRoutingReply(request, LINEERR_OPERATIONFAILED);
  };
  line.OnTapiReply = [this](telephony::TTapiDevice&, LONG request, LONG result) { OnRoutingReply(request, result); };
  line.OnTick = [this](telephony::TTapiDevice&, DWORD ticks) { OnRoutingTick(ticks); };
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
}
void TLine_Impl::DoDisconnected(CORBA::Long call) {
  SimpleStep("TLine_Impl.DoDisconnected", "InternalOnDisconnected: %s : %d", ::Disconnected, call, false);
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
    TTapiCall* found = GetCallByHandle(call);
    if (found != nullptr && found->RelatedCall != nullptr) Unhold(CallHandle(found->RelatedCall));
    DoCallEvent(::CallFinished, call);
    WriteLog(::LogCallFinished, call, 0);
    RecordingOver(call);
    ::Operator_var seated = GetOperator();
    if (const TLocalServant<TOperator_Impl> own{seated.in()}) {
      if (const auto talk = own->NoteCallEnded()) {
        if (TRules_Impl* rules = LocalRules()) rules->Queue().NoteTalk(talk->rule, talk->seconds);
      }
      // The operator may be free now: the callers next in line need not wait for the next tick.
      ServeNextCallers();
    }
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

// ---- the routing steps ----
//
// Every step here runs on the telephony thread and never waits for the telephony layer: what it asks for
// (answer, transfer set-up, dial, drop, completion) is issued without waiting and goes on when the call's next
// state arrives, so one message's handling never pumps the next one and the nesting cannot grow with the load.

namespace {
// Targets one routed call tries at most before the server stops routing it (a rule that only yields busy
// numbers would otherwise go round for as long as the caller waits).
constexpr int kMaxRoutingAttempts = 50;
}  // namespace

bool TLine_Impl::ApplyRule(CORBA::Long call, bool increment, std::string& result, TRoutedCall& routed,
                           CORBA::Long* waitingGroup) {
  ::Rule_var rule = GetRule();
  if (CORBA::is_nil(rule)) throw std::runtime_error("The line has no rule");
  CORBA::String_var caller = GetCallerID(call), called = GetCalledID(call);
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

TRoutedCall* TLine_Impl::RoutedCallOf(CORBA::Long call) {
  const auto byCaller = routed_.find(call);
  if (byCaller != routed_.end()) return &byCaller->second;
  for (auto& [caller, routed] : routed_) {
    if (routed.Consult == call) return &routed;
  }
  return nullptr;
}

void TLine_Impl::TrackRequest(LONG before, CORBA::Long caller, TRoutingRequest kind) {
  const LONG request = tapiLine_->LastRequestID();
  if (request != before) routingRequests_[request] = {caller, kind};
}

void TLine_Impl::DropConsultation(TRoutedCall& routed) {
  TTapiCall* consult = GetCallByHandle(routed.Consult);
  if (consult == nullptr) return;
  consult->CallStatus.Invalidate();
  if (consult->State() == LINECALLSTATE_IDLE) return;
  const telephony::TAsyncRequests async(*tapiLine_);
  const LONG before = tapiLine_->LastRequestID();
  consult->Drop();
  TrackRequest(before, routed.Caller(), TRoutingRequest::Drop);
}

void TLine_Impl::ForgetEndedRoutedCalls() {
  for (auto it = routed_.begin(); it != routed_.end();) {
    if (it->second.CallerGone && it->second.Consult == 0) {
      it->second.Transition(TRoutedCall::TState::Ended);
      const CORBA::Long caller = it->first;
      std::erase_if(routingRequests_, [&](const auto& request) { return request.second.first == caller; });
      it = routed_.erase(it);
    } else {
      ++it;
    }
  }
}

void TLine_Impl::OnRoutingReply(LONG requestId, LONG result) {
  const auto found = routingRequests_.find(requestId);
  if (found == routingRequests_.end()) return;
  const auto [caller, kind] = found->second;
  routingRequests_.erase(found);
  if (result == 0) return;
  const auto routed = routed_.find(caller);
  if (routed == routed_.end()) return;
  LogFormat("routing %d: request %d refused: %s",
            {static_cast<long>(caller), static_cast<long>(requestId), telephony::TapiErrorText(result)});
  // A dial or a transfer that cannot go on drops what is left of it: the consultation call's end brings the
  // caller back for the next target, or leaves nothing behind when the caller is gone.
  if (kind == TRoutingRequest::Dial || kind == TRoutingRequest::CompleteTransfer) {
    Guard("TLine_Impl.DoConnected", [&] { DropConsultation(routed->second); });
  }
}

::Line_ptr TLine_Impl::LineAt(const std::string& phoneNumber) {
  ::Lines_var lines = GetLines();
  if (CORBA::is_nil(lines) || phoneNumber.empty()) return ::Line::_nil();
  return ::Line::_narrow(::ContainerItem_var(lines->GetItemByDevicePhoneNumber(phoneNumber.c_str())));
}

::Operator_ptr TLine_Impl::OperatorAt(const std::string& phoneNumber) {
  ::Line_var line = LineAt(phoneNumber);
  return CORBA::is_nil(line) ? ::Operator::_nil() : line->GetOperator();
}

void TLine_Impl::PauseOperatorAt(const std::string& phoneNumber) {
  ::Operator_var seated = OperatorAt(phoneNumber);
  if (CORBA::is_nil(seated) || seated->GetStatus() != ::OperatorReady) return;
  LogFormat("operator %d paused: a routed call rang unanswered", {static_cast<long>(seated->GetID())});
  seated->SetStatus(::OperatorPause);
  seated->SetPauseReason(kPausedByNoAnswer);
}

void TLine_Impl::CheckRingTimeouts(DWORD ticks) {
  if (routed_.empty()) return;
  const ::Rules_var rules = GetRules();
  const TLocalServant<TRules_Impl> settings{rules.in()};
  const int seconds = settings ? settings->RingTimeout() : 0;
  if (seconds <= 0) return;
  for (auto& [caller, routed] : routed_) {
    if (routed.State() != TRoutedCall::TState::Dialling) continue;
    if (static_cast<std::int32_t>(ticks - routed.DialledAt) < seconds * 1000) continue;
    LogFormat("routing %d: the target did not answer within %d s", {static_cast<long>(caller), seconds});
    Guard("TLine_Impl.PauseOperatorAt", [&] {
      CORBA::String_var dialled = GetCallNote(routed.Consult, "RESULTPHONENUMBER");
      WriteQueueLog(TQueueEvent::RingNoAnswer, routed, dialled.in(), seconds);
      if (settings->PauseOnNoAnswer()) PauseOperatorAt(dialled.in());
    });
    // As for a busy target: the consultation call goes, and its end asks the rule for the next target.
    routed.Transition(TRoutedCall::TState::Answered);
    Guard("TLine_Impl.DoBusy", [&] { DropConsultation(routed); });
  }
}

TRules_Impl* TLine_Impl::LocalRules() {
  ::Rules_var rules = GetRules();
  const TLocalServant<TRules_Impl> local{rules.in()};
  return local.get();  // the Rules container lives as long as the Environment
}

std::string TLine_Impl::QueueKeyPrefix() { return std::to_string(GetID()) + ":"; }

std::string TLine_Impl::QueueKey(CORBA::Long caller) { return QueueKeyPrefix() + std::to_string(caller); }

bool TLine_Impl::StartWaiting(TRoutedCall& routed, CORBA::Long group) {
  TRules_Impl* rules = LocalRules();
  ::Rule_var rule = GetRule();
  TTapiCall* caller = GetCallByHandle(routed.Caller());
  if (rules == nullptr || CORBA::is_nil(rule) || caller == nullptr) return false;
  const ::RuleQueueSettings settings = rule->GetQueueSettings();
  const auto now = TRoutedCall::TClock::now();
  if (!routed.QueuedSince) routed.QueuedSince = now;
  if (now - *routed.QueuedSince >= std::chrono::seconds(settings.MaxWait)) {
    NoteOverflow(routed);  // came back after a target rang out, with its wait used up
    return false;
  }
  if (!rules->Queue().Enter(QueueKey(routed.Caller()), GetID(), routed.Rule, group, settings.Priority,
                            settings.MaxWaiting, *routed.QueuedSince)) {
    LogFormat("routing %d: %d callers wait already", {static_cast<long>(routed.Caller()), settings.MaxWaiting});
    NoteOverflow(routed);
    return false;
  }
  routed.WaitingGroup = group;
  routed.Transition(TRoutedCall::TState::Waiting);
  WriteQueueLog(TQueueEvent::Entered, routed, {}, 0);
  // Held, the caller hears what the exchange plays to held callers.
  const telephony::TAsyncRequests async(*tapiLine_);
  const LONG before = tapiLine_->LastRequestID();
  caller->Hold();
  TrackRequest(before, routed.Caller(), TRoutingRequest::Hold);
  return true;
}

void TLine_Impl::TakeOffHold(TRoutedCall& routed) {
  // Off hold, the caller is connected again and the rule goes on from the group's action.
  routed.WaitingGroup = -1;
  routed.Transition(TRoutedCall::TState::Answered);
  Unhold(routed.Caller());
}

void TLine_Impl::ServeWaitingCallers() {
  TRules_Impl* rules = LocalRules();
  if (rules == nullptr || routed_.empty()) return;
  const ::Rule_var rule = GetRule();
  const TLocalServant<TRule_Impl> local{rule.in()};
  if (!local) return;
  const ::RuleQueueSettings settings = local->GetQueueSettings();
  const auto now = TRoutedCall::TClock::now();
  for (auto& [caller, routed] : routed_) {
    if (routed.State() != TRoutedCall::TState::Waiting || !routed.QueuedSince ||
        now - *routed.QueuedSince < std::chrono::seconds(settings.MaxWait)) {
      continue;
    }
    LogFormat("routing %d: waited %d s for group %d",
              {static_cast<long>(caller), settings.MaxWait, static_cast<long>(routed.WaitingGroup)});
    rules->Queue().Leave(QueueKey(caller));
    NoteOverflow(routed);
    routed.NoWaiting = true;
    TakeOffHold(routed);
  }
  // The callers next in line that wait here, one after the other while a member is free for them that no caller
  // released before has taken yet.
  const std::string prefix = QueueKeyPrefix();
  for (bool released = true; released;) {
    released = false;
    for (const auto& [key, group] : rules->Queue().NextCallers()) {
      if (key.rfind(prefix, 0) != 0) continue;
      const auto found = routed_.find(std::stol(key.substr(prefix.size())));
      if (found == routed_.end() || found->second.State() != TRoutedCall::TState::Waiting) {
        // A caller this line no longer routes would hold up its group for good.
        rules->Queue().Leave(key);
        released = true;
        break;
      }
      const long taken = rules->Queue().Released(group);
      if (local->ReadyMembersAt(found->second.ActionIndex, taken + 1) <= taken) continue;
      rules->Queue().Release(key);
      TakeOffHold(found->second);
      released = true;
      break;
    }
  }
}

void TLine_Impl::ServeNextCallers() {
  TRules_Impl* rules = LocalRules();
  ::Lines_var lines = GetLines();
  if (rules == nullptr || CORBA::is_nil(lines)) return;
  for (const long id : rules->Queue().LinesOfNextCallers()) {
    ::ContainerItem_var item = lines->GetItemByID(id);
    if (const TLocalServant<TLine_Impl> line{item.in()}) {
      Guard("TLine_Impl.ServeWaitingCallers", [&] { line->ServeWaitingCallers(); });
    } else {
      rules->Queue().ForgetLine(id);  // the line is gone, and its callers with it
    }
  }
}

void TLine_Impl::NoteCallerAnswered(TRoutedCall& routed, const std::string& target) {
  if (routed.Answered) return;
  routed.Answered = true;
  TRules_Impl* rules = LocalRules();
  ::Rule_var rule = GetRule();
  if (rules == nullptr || CORBA::is_nil(rule)) return;
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

void TLine_Impl::NoteOverflow(const TRoutedCall& routed) {
  if (TRules_Impl* rules = LocalRules()) rules->Queue().NoteOverflowed(routed.Rule);
  WriteQueueLog(TQueueEvent::Overflowed, routed, {}, SecondsSince(routed.OfferedAt));
}

void TLine_Impl::NoteCallerGone(TRoutedCall& routed) {
  if (routed.CallerGone || routed.Answered) return;
  TRules_Impl* rules = LocalRules();
  if (rules == nullptr) return;
  rules->Queue().Leave(QueueKey(routed.Caller()));
  rules->Queue().NoteAbandoned(routed.Rule, SecondsSince(routed.OfferedAt), rules->ShortAbandonSeconds());
  WriteQueueLog(TQueueEvent::Abandoned, routed, {}, SecondsSince(routed.OfferedAt));
  LogFormat("routing %d: the caller hung up before an operator answered", {static_cast<long>(routed.Caller())});
}

void TLine_Impl::ReleaseMemberAt(const std::string& phoneNumber) {
  Guard("TLine_Impl.ReleaseMemberAt", [&] {
    ::Operator_var seated = OperatorAt(phoneNumber);
    if (const TLocalServant<TOperator_Impl> own{seated.in()}) own->Unreserve();
  });
}

long TLine_Impl::SecondsSince(TRoutedCall::TClock::time_point since) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::seconds>(TRoutedCall::TClock::now() - since).count());
}

void TLine_Impl::WriteQueueLog(TQueueEvent event, const TRoutedCall& routed, const std::string& operatorPhone,
                               long seconds) {
  Guard("TLine_Impl.WriteQueueLog", [&] {
    const ::Database_var database = GetDatabase();
    const TLocalServant<TDatabase_Impl> callLog{database.in()};
    if (!callLog) return;
    // The live call first: a line with many callers keeps only its latest ones in the history.
    std::optional<TCallsHistoryItem> entry;
    if (TTapiCall* live = GetCallByHandle(routed.Caller())) {
      entry = TCallsHistoryList::FromCall(*live);
    } else {
      entry = history_.GetItem(routed.Caller());
    }
    const TDateTime now = NowLocal();
    const TDateTime begin = entry && entry->BeginTime != 0 ? entry->BeginTime : now;
    CORBA::String_var linePhoneNumber = GetDevicePhoneNumber();
    TCallLogRow row;
    row.QueueEvent = event;
    row.CallHandle = DateTimeText(begin, true) + "-" + std::to_string(routed.Caller());
    row.BeginTime = DateTimeText(now, false);
    row.LinePhoneNumber = linePhoneNumber.in();
    row.CallerPhoneNumber = entry ? entry->CallerID : std::string();
    row.ConnectedPhoneNumber = operatorPhone;
    row.Rule_id = routed.Rule;
    row.Seconds = seconds;
    if (::Line_var line = LineAt(operatorPhone); !CORBA::is_nil(line)) row.Operator_id = line->GetOperatorID();
    std::string error;
    if (!callLog->AcceptCallLogRow(std::move(row), error)) DoError("TLine_Impl.WriteQueueLog", error.c_str());
  });
}

void TLine_Impl::OnRoutingTick(DWORD ticks) {
  CheckRingTimeouts(ticks);
  Guard("TLine_Impl.ServeWaitingCallers", [&] { ServeWaitingCallers(); });
  Guard("TLine_Impl.OnRoutingTick", [&] {
    ::Operator_var seated = GetOperator();
    if (const TLocalServant<TOperator_Impl> own{seated.in()}) own->EndWrapUpIfDue();
    if (TRules_Impl* rules = LocalRules()) rules->PublishQueueFigures();
  });
}

void TLine_Impl::DoOffering(CORBA::Long call) {
  OnLine("TLine_Impl.DoOffering", [&] {
    LogFormat("InternalOnOffering: %s : %d", {Name(), static_cast<long>(call)});
    LogMessage("TestTransfer_DOOFFERING_INPUT");
    UpdateHistory(call);
    bool applied = false;
    std::string result;
    TRoutedCall candidate(call);
    ::Rule_var rule = GetRule();
    ::Rules_var rules = GetRules();
    if (!CORBA::is_nil(rule) && !CORBA::is_nil(rules) && rules->GetEnabled() && rule->GetEnabled()) {
      CORBA::Long waitingGroup = -1;
      applied = ApplyRule(call, false, result, candidate, &waitingGroup);
      if (!applied && waitingGroup >= 0) {
        // No member of the group is ready: the server answers the caller, who waits for one.
        applied = true;
        result.clear();
      }
      LogFormat("TestTransfer_DOOFFERING_Number = %s Handle = %s RESTART = %s",
                {result, std::to_string(call), candidate.Restart ? "1" : "0"});
    }
    CORBA::String_var own = GetDevicePhoneNumber();
    LogFormat("TestTransfer_DOOFFERING RULEApplied = %s DevicePhoneNumber =  %s", {applied ? "1" : "0", own.in()});
    TTapiCall* found = GetCallByHandle(call);
    if (applied && result != own.in() && found != nullptr) {
      SetCallOwner(*found);
      SetCallNote(call, "RULED", "1");
      CORBA::String_var ruled = GetCallNote(call, "RULED");
      LogFormat("TestTransfer_DOOFFERING_RULED %s_CallHandle %s", {ruled.in(), std::to_string(call)});
      candidate.Rule = GetRuleID();
      if (TRules_Impl* local = LocalRules()) {
        local->Queue().NoteOffered(candidate.Rule, ::Rule_var(GetRule())->GetQueueSettings().ServiceLevelSeconds);
      }
      routed_.insert_or_assign(call, candidate);
      LogFormat("routing %d: %s -> %s", {static_cast<long>(call), "None", RoutingStateName(candidate.State())});
      const telephony::TAsyncRequests async(*tapiLine_);
      const LONG before = tapiLine_->LastRequestID();
      tapiLine_->Answer(found);
      TrackRequest(before, call, TRoutingRequest::Answer);
    } else {
      SetCallNote(call, "RULED", "0");
    }
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

    bool applied = false;
    std::string result;
    TRoutedCall* routed = IsRuled(call) ? RoutedCallOf(call) : nullptr;
    if (routed != nullptr && routed->State() == TRoutedCall::TState::Ended) routed = nullptr;
    const bool isCaller = routed != nullptr && routed->Caller() == call;
    if (isCaller) routed->Transition(TRoutedCall::TState::Answered);
    if (routed != nullptr && !isCaller && routed->Consult == call) {
      // The target answered the consultation call: the transfer goes to it, whatever the rule would choose now
      // (asked again, it would pass its member over as busy, or choose a second one).
      CORBA::String_var dialled = GetCallNote(call, "RESULTPHONENUMBER");
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
    CORBA::String_var own = GetDevicePhoneNumber();
    if (applied && result != own.in()) {
      if (TTapiCall* found = GetCallByHandle(call)) SetCallOwner(*found);
      SetCallNote(call, "RULED", "1");
      SetCallNote(call, "RESULTPHONENUMBER", result.c_str());
      routed->Target = result;
      CORBA::String_var noted = GetCallNote(call, "RESULTPHONENUMBER");
      LogFormat("TestTransfer_DOConnected_RESULTPHONENUMBER_%s", {noted.in()});
      if (GetCallIsIncoming(call) && isCaller) {
        TTapiCall* found = GetCallByHandle(call);
        TTapiCall* consult = nullptr;
        if (found != nullptr && !found->IsOnHold() && found->IsConnected()) {
          if (++routed->Attempts > kMaxRoutingAttempts) {
            LogFormat("routing %d: no target answered after %d tries", {static_cast<long>(call), kMaxRoutingAttempts});
            routed->Transition(TRoutedCall::TState::Ended);
          } else {
            LogMessage("TestTransfer_Beforesetuptrans");
            const telephony::TAsyncRequests async(*tapiLine_);
            const LONG before = tapiLine_->LastRequestID();
            consult = found->SetupTransfer();
            TrackRequest(before, call, TRoutingRequest::SetupTransfer);
            LogMessage("TestTransfer_Aftersetuptrans");
          }
        }
        LogFormat("TestTransfer_DoConnected_ConsultCallAssigned_Consult %s_ ACall %s",
                  {consult != nullptr ? "1" : "0", std::to_string(CallHandle(consult))});
        if (consult != nullptr) {
          consult->SetOwner(true);
          routed->Consult = CallHandle(consult);
          routed->Transition(TRoutedCall::TState::Consulting);
        } else {
          ReleaseMemberAt(result);  // no consultation call to ring them with
        }
      }
      if (GetCallIsOutgoing(call) && GetCallIsConnected(call) && !isCaller) {
        // The consultation call: its target answered.
        if (routed->CallerGone) {
          DropConsultation(*routed);
        } else {
          routed->Transition(TRoutedCall::TState::Completing);
          NoteCallerAnswered(*routed, result);
          try {
            const telephony::TAsyncRequests async(*tapiLine_);
            const LONG before = tapiLine_->LastRequestID();
            if (TTapiCall* found = GetCallByHandle(call)) found->CompleteTransfer(false);
            TrackRequest(before, routed->Caller(), TRoutingRequest::CompleteTransfer);
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
    }

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
    TRoutedCall* routed = RoutedCallOf(call);
    if (routed == nullptr || routed->Consult != call || routed->State() != TRoutedCall::TState::Consulting) {
      DoCallEvent(::Dialtone, call);
      DoHandset(call);
      return;
    }
    SetCallNote(call, "RULED", "1");
    SetCallNote(call, "RESULTPHONENUMBER", routed->Target.c_str());
    routed->Target.clear();
    CORBA::String_var number = GetCallNote(call, "RESULTPHONENUMBER");
    LogFormat("TestTransfer_DODIALTONE FConsultHandle = %s RESPHONENUMBER = %s", {std::to_string(call), number.in()});
    if (number.in()[0] == '\0') return;
    routed->DialledAt = platform::GetTickCount();
    routed->Transition(TRoutedCall::TState::Dialling);
    if (TRules_Impl* rules = LocalRules()) rules->Queue().Settle(QueueKey(routed->Caller()));
    const telephony::TAsyncRequests async(*tapiLine_);
    const LONG before = tapiLine_->LastRequestID();
    Dial(call, number.in(), 0);
    if (tapiLine_->LastRequestID() == before) {
      // Refused before it was issued (reported by Dial): the consultation call goes, the caller comes back.
      DropConsultation(*routed);
    } else {
      TrackRequest(before, routed->Caller(), TRoutingRequest::Dial);
    }
  });
}

void TLine_Impl::DoBusy(CORBA::Long call) {
  OnLine("TLine_Impl.DoBusy", [&] {
    LogFormat("InternalOnBusy: %s : %d", {Name(), static_cast<long>(call)});
    DoCallEvent(::Busy, call);
    DoOutgoingCallBusy(call);
    if (IsRuled(call)) {
      LogFormat("TestTransfer_ONBUSY Handle %d", {static_cast<long>(call)});
      TRoutedCall* routed = RoutedCallOf(call);
      if (routed != nullptr && routed->Consult == call) {
        if (routed->State() != TRoutedCall::TState::Ended) routed->Transition(TRoutedCall::TState::Answered);
        DropConsultation(*routed);
      } else if (TTapiCall* found = GetCallByHandle(call)) {
        const telephony::TAsyncRequests async(*tapiLine_);
        found->Drop();
      }
    }
  });
}

void TLine_Impl::DoIdle(CORBA::Long call) {
  OnLine("TLine_Impl.DoIdle", [&] {
    LogMessage("TestTransfer_DOIDLE");
    LogFormat("InternalOnIdle: %s : %d", {Name(), static_cast<long>(call)});
    const auto routed = routed_.find(call);
    if (IsRuled(call) && routed != routed_.end()) {
      TRoutedCall& caller = routed->second;
      NoteCallerGone(caller);
      caller.CallerGone = true;
      if (caller.Consult != 0 && caller.Consult != call) {
        // The caller hung up while the target was still being called. After a completed transfer the
        // consultation call has ended too: there is nothing left to drop.
        TTapiCall* consult = GetCallByHandle(caller.Consult);
        if (consult != nullptr) consult->CallStatus.Invalidate();
        if (consult == nullptr || consult->State() != LINECALLSTATE_IDLE) {
          const telephony::TAsyncRequests async(*tapiLine_);
          tapiLine_->Drop(consult);
          caller.Restart = true;
          LogFormat("TestTransfer_DOIDLE Restart = %s", {"1"});
        }
      }
      caller.Transition(TRoutedCall::TState::Ended);
    }
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
    if (TRoutedCall* routed = RoutedCallOf(call)) {
      if (routed->Caller() == call) {
        NoteCallerGone(*routed);
        routed->CallerGone = true;
        routed->Transition(TRoutedCall::TState::Ended);
      } else {
        // The consultation call is gone: unless the transfer was made, the caller comes back from hold (see
        // DoCallFinished) and the rule is asked for the next target. The member it rang is free for others.
        // (Gone before its dial tone, it has not been given the number yet: the target still names the member.)
        CORBA::String_var dialled = GetCallNote(call, "RESULTPHONENUMBER");
        ReleaseMemberAt(dialled.in()[0] != '\0' ? std::string(dialled.in()) : routed->Target);
        routed->Target.clear();
        routed->Consult = 0;
        if (!routed->CallerGone && routed->State() != TRoutedCall::TState::Ended) {
          routed->Transition(TRoutedCall::TState::Answered);
        }
      }
      ForgetEndedRoutedCalls();
    }
    DoCallEvent(::CallEnd, call);
    DoCallFinished(call);
  });
}

}  // namespace vantrel
