#include "RuleActionLib.h"

#include <algorithm>
#include <random>
#include <stdexcept>

#include "OperatorLib.h"
#include "OperatorsLib.h"
#include "database/SqlDialect.h"
#include "model/Servant.h"
#include "support/FormatText.h"

namespace vantrel {

TRuleAction_Impl::TRuleAction_Impl() { SetObjectName("RuleAction"); }

void TRuleAction_Impl::SetActionType(::RuleActionType type) {
  std::lock_guard lock(actionMutex_);
  actionType_ = static_cast<CORBA::Long>(type);
}

::RuleActionType TRuleAction_Impl::GetActionType() {
  std::lock_guard lock(actionMutex_);
  // A value outside the enum cannot travel; the action declines all the same.
  return actionType_ >= ::Manager && actionType_ <= ::Group ? static_cast<::RuleActionType>(actionType_) : ::Manager;
}

void TRuleAction_Impl::SetPhoneNumber(const char* phoneNumber) {
  std::lock_guard lock(actionMutex_);
  phoneNumber_ = phoneNumber;
}

std::string TRuleAction_Impl::PhoneNumber() const {
  std::lock_guard lock(actionMutex_);
  return phoneNumber_;
}

char* TRuleAction_Impl::GetPhoneNumber() { return CORBA::string_dup(PhoneNumber().c_str()); }

void TRuleAction_Impl::SetGroupID(CORBA::Long groupID) {
  std::lock_guard lock(actionMutex_);
  groupID_ = groupID;
}

CORBA::Long TRuleAction_Impl::GetGroupID() {
  std::lock_guard lock(actionMutex_);
  return groupID_;
}

CORBA::Boolean TRuleAction_Impl::Apply(const char* callerID, const char* calledID,
                                       CORBA::String_out resultPhoneNumber) {
  std::string target;
  const bool found = ApplyInServer(callerID, calledID, target, true, false);
  resultPhoneNumber = CORBA::string_dup(found ? target.c_str() : "");
  return found;
}

bool TRuleAction_Impl::ApplyInServer(const std::string& callerID, const std::string&, std::string& result, bool choose,
                                     bool reserve) {
  Target target;
  const bool found = Guarded("TRuleAction_Impl.Apply", false, [&] {
    const std::string caller = callerID;
    if (!CanApply(caller)) return false;
    CORBA::Long type;
    {
      std::lock_guard lock(actionMutex_);
      type = actionType_;
    }
    switch (type) {
      case ::Manager:
        target = ApplyManager(caller);
        break;
      case ::LastContact:
        target = ApplyLastContact(caller);
        break;
      case ::PhoneNumber:
        target = ApplyPhoneNumber(PhoneNumber());
        break;
      case ::Group:
        target = ApplyGroup(choose, reserve);
        break;
      default:
        break;
    }
    return target.has_value();
  });
  if (found) result = *target;
  return found;
}

bool TRuleAction_Impl::CanApply(const std::string& caller) {
  ::Container_var rule = GetContainer();
  if (CORBA::is_nil(rule) || !rule->GetEnabled() || !GetEnabled()) return false;
  CORBA::Long type;
  {
    std::lock_guard lock(actionMutex_);
    type = actionType_;
  }
  if (type != ::PhoneNumber && type != ::Group && caller.empty()) return false;
  if (type == ::LastContact) {
    ::Lines_var lines = GetLines();
    if (CORBA::is_nil(lines)) return false;
    ::Operator_var last = lines->GetLastContact(caller.c_str());
    return !CORBA::is_nil(last);
  }
  return true;
}

TRuleAction_Impl::Target TRuleAction_Impl::ApplyPhoneNumber(const std::string& phone) {
  Target result;
  Guarded("TRuleAction_Impl.ApplyPhoneNumber", [&] {
    const std::string number = TrimText(phone);
    if (number.empty()) return;
    ::Lines_var lines = GetLines();
    if (!CORBA::is_nil(lines)) {
      ::ContainerItem_var item = lines->GetItemByDevicePhoneNumber(number.c_str());
      ::Line_var line = ::Line::_narrow(item);
      if (!CORBA::is_nil(line)) {
        ::Operator_var seated = line->GetOperator();
        if (!CORBA::is_nil(seated) && seated->GetStatus() != ::OperatorReady) return;
      }
    }
    result = number;
  });
  return result;
}

TRuleAction_Impl::Target TRuleAction_Impl::ApplyManager(const std::string& caller) {
  Target result;
  Guarded("TRuleAction_Impl.ApplyManager", [&] {
    if (const Target phone = FindManagerPhone(caller)) result = ApplyPhoneNumber(*phone);
  });
  return result;
}

std::optional<int> TRuleAction_Impl::QueryID(const std::string& sql, const char* field) {
  ::Database_var database = GetConnectedDatabase();
  if (CORBA::is_nil(database)) return std::nullopt;
  CORBA::String_var value;
  if (!database->GetFieldValue(sql.c_str(), field, value.out())) return std::nullopt;
  return StrToIntDef(value.in(), -1);
}

std::optional<int> TRuleAction_Impl::FindContactByPhone(const std::string& caller) {
  return QueryID(
      FormatText("select top 1 Contact_ID from tq_ContactPhone where OptimizedPhone like %s or Phone like %0:s",
                 {SqlQuoted("%" + caller)}),
      "Contact_ID");
}

std::optional<int> TRuleAction_Impl::FindCompanyByPhone(const std::string& caller) {
  return QueryID(
      FormatText("select top 1 Company_ID from tq_CompanyPhone where OptimizedPhone like %s or Phone like %0:s",
                 {SqlQuoted("%" + caller)}),
      "Company_ID");
}

std::optional<int> TRuleAction_Impl::GetContactManager(int contactID) {
  return QueryID(FormatText("select AccountManager_id from tq_Contact where ID = %d", {contactID}),
                 "AccountManager_id");
}

std::optional<int> TRuleAction_Impl::GetCompanyManager(int companyID) {
  return QueryID(FormatText("select AccountManager_id from tq_Company where ID = %d", {companyID}),
                 "AccountManager_id");
}

TRuleAction_Impl::Target TRuleAction_Impl::FindManagerPhone(const std::string& caller) {
  std::optional<int> manager;
  if (const std::optional<int> contact = FindContactByPhone(caller)) manager = GetContactManager(*contact);
  if (!manager || *manager < 1) {
    if (const std::optional<int> company = FindCompanyByPhone(caller)) manager = GetCompanyManager(*company);
  }
  if (!manager || *manager < 1) return std::nullopt;
  ::Operators_var operators = GetOperators();
  if (CORBA::is_nil(operators)) return std::nullopt;
  ::ContainerItem_var item = operators->GetItemByID(*manager);
  ::Operator_var chosen = ::Operator::_narrow(item);
  if (CORBA::is_nil(chosen) || chosen->GetStatus() != ::OperatorReady) return std::nullopt;
  CORBA::String_var phone = chosen->GetLinePhoneNumber();
  if (phone.in()[0] == '\0') return std::nullopt;
  return std::string(phone.in());
}

TRuleAction_Impl::Target TRuleAction_Impl::FindLastContactPhone(const std::string& caller) {
  ::Lines_var lines = GetLines();
  if (CORBA::is_nil(lines)) return std::nullopt;
  ::Operator_var last = lines->GetLastContact(caller.c_str());
  if (CORBA::is_nil(last)) return std::nullopt;
  CORBA::String_var phone = last->GetLinePhoneNumber();
  if (phone.in()[0] == '\0') return std::nullopt;
  return std::string(phone.in());
}

TRuleAction_Impl::Target TRuleAction_Impl::ApplyLastContact(const std::string& caller) {
  Target result;
  Guarded("TRuleAction_Impl.ApplyLastContact", [&] {
    if (const Target phone = FindLastContactPhone(caller)) result = ApplyPhoneNumber(*phone);
  });
  return result;
}

// An operator whose line has a call already (a routed call ringing it, say) is not offered another.
bool TRuleAction_Impl::IsFree(::Operator_ptr candidate) {
  if (candidate->GetStatus() != ::OperatorReady) return false;
  if (const TLocalServant<TOperator_Impl> own(candidate); own && own->Reserved()) return false;
  ::Line_var line = candidate->GetLine();
  if (CORBA::is_nil(line)) return true;
  try {
    // Calls that ended may stay listed a moment before they are let go: only live ones count.
    for (CORBA::Long i = 0, count = line->GetCallsCount(); i < count; ++i) {
      if (line->GetCallIsAlive(line->GetCall(i))) return false;
    }
    return true;
  } catch (const CORBA::Exception&) {
    return true;  // a line that cannot tell (no device) is taken as free, as before
  }
}

void TRuleAction_Impl::FindReadyMembers(std::size_t atMost, std::vector<TGroupMember>& ready,
                                        std::vector<CORBA::Long>& listed, ::CallsDistributionType& strategy) {
  ::Rules_var rules = GetRules();
  ::Operators_var operators = GetOperators();
  if (CORBA::is_nil(operators)) return;
  strategy = CORBA::is_nil(rules) ? ::Loading : rules->GetCallsDistributionType();
  if (strategy == ::Loading) {
    operators->SortByCallsCount();
  } else {
    operators->SortByOrder();
  }
  // Choosing, Loading and Order take the first ready member of the sorted list.
  const std::size_t limit = atMost > 0 ? atMost : strategy == ::Loading || strategy == ::Order ? 1 : SIZE_MAX;
  const CORBA::Long groupID = GetGroupID();
  ::ContainerItem_var item = operators->GetFirstItem();
  while (!CORBA::is_nil(item)) {
    ::Operator_var candidate = ::Operator::_narrow(item);
    if (!CORBA::is_nil(candidate)) listed.push_back(candidate->GetID());
    // Operators that are not ready cost no database query.
    if (!CORBA::is_nil(candidate) && IsFree(candidate) && candidate->GetIsInGroup(groupID)) {
      CORBA::String_var phone = candidate->GetLinePhoneNumber();
      const TLocalServant<TOperator_Impl> own(candidate.in());
      ready.push_back({listed.back(), listed.size() - 1, phone.in(),
                       own ? own->LastCallEnded() : std::chrono::steady_clock::time_point{}, candidate});
      if (ready.size() >= limit) break;
    }
    item = item->GetNextItem();
  }
}

long TRuleAction_Impl::ReadyMembers(long atMost) {
  return Guarded("TRuleAction_Impl.ReadyMembers", 0L, [&] {
    std::vector<TGroupMember> ready;
    std::vector<CORBA::Long> listed;
    ::CallsDistributionType strategy = ::Loading;
    FindReadyMembers(static_cast<std::size_t>(std::max(0L, atMost)), ready, listed, strategy);
    return static_cast<long>(ready.size());
  });
}

TRuleAction_Impl::Target TRuleAction_Impl::ApplyGroup(bool choose, bool reserve) {
  Target result;
  Guarded("TRuleAction_Impl.ApplyGroup", [&] {
    std::vector<TGroupMember> ready;
    std::vector<CORBA::Long> listed;  // every operator's ID in list order
    ::CallsDistributionType strategy = ::Loading;
    FindReadyMembers(0, ready, listed, strategy);
    ::Operators_var operators = GetOperators();
    const TLocalServant<TOperators_Impl> served(operators.in());
    const TGroupMember* chosen = ChooseGroupMember(strategy, ready, listed, served ? served->LastServed() : -1);
    if (chosen == nullptr) return;
    if (!choose) {
      result = ApplyPhoneNumber(chosen->phone);
      return;
    }
    if (served) served->NoteServed(chosen->id);
    if (reserve) {
      if (const TLocalServant<TOperator_Impl> own{chosen->reference.in()}) own->Reserve();
    }
    result = ApplyPhoneNumber(chosen->phone);
  });
  return result;
}

const TRuleAction_Impl::TGroupMember* TRuleAction_Impl::ChooseGroupMember(::CallsDistributionType strategy,
                                                                          const std::vector<TGroupMember>& ready,
                                                                          const std::vector<CORBA::Long>& listed,
                                                                          CORBA::Long lastServed) {
  if (ready.empty()) return nullptr;
  switch (strategy) {
    case ::LongestIdle:
      // Never a call since the login counts as the longest; equals keep the list order.
      return &*std::min_element(ready.begin(), ready.end(),
                                [](const auto& a, const auto& b) { return a.lastCallEnded < b.lastCallEnded; });
    case ::RoundRobin: {
      // After the one served last, in list order, round to the start.
      const auto last = std::find(listed.begin(), listed.end(), lastServed);
      const std::size_t after = last == listed.end() ? 0 : static_cast<std::size_t>(last - listed.begin()) + 1;
      for (const TGroupMember& member : ready) {
        if (member.position >= after) return &member;
      }
      return &ready.front();
    }
    case ::Random: {
      thread_local std::mt19937 generator{std::random_device{}()};
      return &ready[std::uniform_int_distribution<std::size_t>(0, ready.size() - 1)(generator)];
    }
    default:
      return &ready.front();
  }
}

CORBA::Boolean TRuleAction_Impl::AssignFrom(::Base_ptr source) {
  BeginUpdate();
  const bool result = Guarded("TRuleAction_Impl.AssignFrom", false, [&] {
    ::RuleAction_var action = ::RuleAction::_narrow(source);
    if (CORBA::is_nil(action)) throw std::invalid_argument("Invalid class typecast");
    const bool assigned = TContainerItem_Impl::AssignFrom(source);
    SetActionType(action->GetActionType());
    CORBA::String_var phone = action->GetPhoneNumber();
    SetPhoneNumber(phone.in());
    SetGroupID(action->GetGroupID());
    return assigned;
  });
  EndUpdate();
  return result;
}

CORBA::Boolean TRuleAction_Impl::LoadFromIniFile(const char* fileName, const char* section) {
  return LoadItemWithKeys("TRuleAction_Impl.LoadFromIniFile", fileName, section, [&](TMemIniFile& ini) {
    std::lock_guard lock(actionMutex_);
    actionType_ = ini.ReadInteger(section, "ActionType", actionType_);
    phoneNumber_ = ini.ReadString(section, "PhoneNumber", phoneNumber_);
    groupID_ = ini.ReadInteger(section, "GroupID", groupID_);
  });
}

CORBA::Boolean TRuleAction_Impl::SaveToIniFile(const char* fileName, const char* section) {
  return SaveItemWithKeys("TRuleAction_Impl.SaveToIniFile", fileName, section, [&](TMemIniFile& ini) {
    std::lock_guard lock(actionMutex_);
    ini.WriteInteger(section, "ActionType", actionType_);
    ini.WriteString(section, "PhoneNumber", phoneNumber_);
    ini.WriteInteger(section, "GroupID", groupID_);
  });
}

}  // namespace vantrel
