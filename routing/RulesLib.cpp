#include "RulesLib.h"

#include <algorithm>

#include <filesystem>
#include <stdexcept>

#include "RuleLib.h"
#include "model/Servant.h"
#include "support/IniStorage.h"

namespace vantrel {

TRules_Impl::TRules_Impl() { SetObjectName("Rules"); }

::CallsDistributionType TRules_Impl::GetCallsDistributionType() {
  std::lock_guard lock(settingsMutex_);
  // A value from a newer or damaged file falls back to Loading, the default.
  return distribution_ >= ::Loading && distribution_ <= ::Random ? static_cast<::CallsDistributionType>(distribution_)
                                                                 : ::Loading;
}

void TRules_Impl::SetCallsDistributionType(::CallsDistributionType type) {
  std::lock_guard lock(settingsMutex_);
  distribution_ = static_cast<CORBA::Long>(type);
}

std::string TRules_Impl::SystemPhoneNumber() const {
  std::lock_guard lock(settingsMutex_);
  return systemPhoneNumber_;
}

char* TRules_Impl::GetSystemPhoneNumber() { return CORBA::string_dup(SystemPhoneNumber().c_str()); }

void TRules_Impl::SetSystemPhoneNumber(const char* phoneNumber) {
  std::lock_guard lock(settingsMutex_);
  systemPhoneNumber_ = phoneNumber;
}

::ContainerItem_ptr TRules_Impl::CreateItem(CORBA::Boolean assignIdentity) {
  return Guarded("TRules_Impl.CreateItem", ::ContainerItem::_nil(),
                 [&] { return ListNewItem(new TServant<TRule_Impl>(), assignIdentity); });
}

CORBA::Boolean TRules_Impl::DeleteItem(::ContainerItem_ptr item) {
  return Guarded("TRules_Impl.DeleteItem", false, [&] {
    if (CORBA::is_nil(item)) throw std::invalid_argument("No item");
    const CORBA::Long ruleID = item->GetID();
    // No line keeps a rule that is gone.
    if (::Lines_var lines = GetLines(); !CORBA::is_nil(lines)) {
      ::ContainerItem_var element = lines->GetFirstItem();
      while (!CORBA::is_nil(element)) {
        ::Line_var line = ::Line::_narrow(element);
        if (!CORBA::is_nil(line)) {
          ::Rule_var rule = line->GetRule();
          if (!CORBA::is_nil(rule) && rule->GetID() == ruleID) line->SetRule(::Rule::_nil());
        }
        element = element->GetNextItem();
      }
    }
    return static_cast<bool>(TContainer_Impl::DeleteItem(item));
  });
}

void TRules_Impl::FillRuleItem(CORBA::Long index, ::RuleItem& record) {
  ::ContainerItem_var item = GetItem(index);
  record.ID = GetItemID(index);
  record.Name = GetItemName(index);
  record.Description = CORBA::is_nil(item) ? CORBA::string_dup("") : item->GetDescription();
  record.ItemReference = GetItemReference(index);
  record.Enabled = !CORBA::is_nil(item) && item->GetEnabled();
}

CORBA::Boolean TRules_Impl::AssignFrom(::Base_ptr source) {
  BeginUpdate();
  const bool result = Guarded("TRules_Impl.AssignFrom", false, [&] {
    ::Rules_var rules = ::Rules::_narrow(source);
    if (CORBA::is_nil(rules)) throw std::invalid_argument("Invalid class typecast");
    const bool assigned = TContainer_Impl::AssignFrom(source);
    SetCallsDistributionType(rules->GetCallsDistributionType());
    CORBA::String_var system = rules->GetSystemPhoneNumber();
    SetSystemPhoneNumber(system.in());
    return assigned;
  });
  EndUpdate();
  return result;
}

int TRules_Impl::RingTimeout() const {
  std::lock_guard lock(settingsMutex_);
  return ringTimeout_;
}

bool TRules_Impl::PauseOnNoAnswer() const {
  std::lock_guard lock(settingsMutex_);
  return pauseOnNoAnswer_;
}

void TRules_Impl::SetRingTimeout(int seconds) {
  std::lock_guard lock(settingsMutex_);
  ringTimeout_ = std::max(0, seconds);
}

CORBA::Boolean TRules_Impl::LoadFromIniFile(const char* fileName, const char* section) {
  return WithCachedIniFile(fileName, [&] {
    bool result = TContainer_Impl::LoadFromIniFile(fileName, section);
    if (!std::filesystem::exists(fileName)) return result;
    BeginUpdate();
    result = Guarded("TRules_Impl.LoadFromIniFile", false,
                     [&] {
                       TMemIniFile* ini = TIniStorage::Instance()->GetIniFile(fileName);
                       std::lock_guard lock(settingsMutex_);
                       distribution_ = ini->ReadInteger(section, "CallsDistributionType", distribution_);
                       systemPhoneNumber_ = ini->ReadString(section, "SystemPhoneNumber", systemPhoneNumber_);
                       ringTimeout_ = std::max(0, ini->ReadInteger(section, "RingTimeout", ringTimeout_));
                       pauseOnNoAnswer_ = ini->ReadBool(section, "PauseOnNoAnswer", pauseOnNoAnswer_);
                       return true;
                     }) &&
             result;
    EndUpdate();
    return result;
  });
}

CORBA::Boolean TRules_Impl::SaveToIniFile(const char* fileName, const char* section) {
  return WithCachedIniFile(fileName, [&] {
    const bool saved = TContainer_Impl::SaveToIniFile(fileName, section);
    return Guarded("TRules_Impl.SaveToIniFile", false,
                   [&] {
                     TMemIniFile* ini = TIniStorage::Instance()->GetIniFile(fileName);
                     std::lock_guard lock(settingsMutex_);
                     ini->WriteInteger(section, "CallsDistributionType", distribution_);
                     ini->WriteString(section, "SystemPhoneNumber", systemPhoneNumber_);
                     ini->WriteInteger(section, "RingTimeout", ringTimeout_);
                     ini->WriteBool(section, "PauseOnNoAnswer", pauseOnNoAnswer_);
                     return true;
                   }) &&
           saved;
  });
}

}  // namespace vantrel
