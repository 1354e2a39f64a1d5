#include "LineLib.h"

#include <algorithm>
#include <stdexcept>

#include "lines/LineInternal.h"
#include "model/DatabaseLib.h"
#include "model/Servant.h"
#include "routing/OperatorLib.h"
#include "routing/RuleLib.h"
#include "routing/RulesLib.h"
#include "support/FormatText.h"
#include "support/VantrelCommonRoutines.h"
#include "telephony/diZuduUtils.h"

// The line's remote front: thread plumbing, configuration and call control. Its call queries are in
// LineCalls.cpp, the call-log row in LineCallLog.cpp, the event pipeline in LineEvents.cpp, and the routing of
// offered calls in LineRouter.cpp.

namespace vantrel {

using telephony::TTapiCall;
using telephony::TTapiLine;
using telephony::TTelephonyThread;

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

TLocalServant<TRules_Impl> TLine_Impl::LocalRules() {
  ::Rules_var rules = GetRules();
  return TLocalServant<TRules_Impl>{rules.in()};
}

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

}  // namespace vantrel
