#include "TranslateRulesLib.h"

#include "TranslateRuleLib.h"
#include "model/Servant.h"
#include "support/VantrelCommonRoutines.h"

namespace vantrel {

TTranslateRules_Impl::TTranslateRules_Impl() { SetObjectName("TranslateRules"); }

::ContainerItem_ptr TTranslateRules_Impl::CreateItem(CORBA::Boolean assignIdentity) {
  return Guarded("TTranslateRules_Impl.CreateItem", ::ContainerItem::_nil(),
                 [&] { return ListNewItem(new TServant<TTranslateRule_Impl>(), assignIdentity); });
}

CORBA::Boolean TTranslateRules_Impl::Apply(const char* phoneNumber, CORBA::String_out resultPhoneNumber) {
  CORBA::String_var translated = CORBA::string_dup("");
  const bool result = Guarded("TTranslateRules_Impl.Apply", false, [&] {
    SortByOrder();
    const bool applied = WithItems([&](const auto& items) {
      for (const ::ContainerItem_var& item : items) {
        ::TranslateRule_var rule = ::TranslateRule::_narrow(item);
        if (!CORBA::is_nil(rule) && rule->Apply(phoneNumber, translated.out())) return true;
      }
      return false;
    });
    if (applied) {
      LogFormat("InternalRulesApplyed: %s = %s", {phoneNumber, translated.in()});
    } else {
      translated = CORBA::string_dup("");
      LogFormat("NOT_InternalRulesApplyed: %s", {phoneNumber});
    }
    return applied;
  });
  resultPhoneNumber = translated._retn();
  return result;
}

void TTranslateRules_Impl::FillTranslateRuleItem(CORBA::Long index, ::TranslateRuleItem& record) {
  ::ContainerItem_var item = GetItem(index);
  ::TranslateRule_var rule = ::TranslateRule::_narrow(item);
  record.ID = GetItemID(index);
  record.Name = GetItemName(index);
  record.Enabled = false;
  if (!CORBA::is_nil(rule)) {
    record.OldMask = rule->GetOldMask();
    record.NewMask = rule->GetNewMask();
    record.Enabled = rule->GetEnabled();
  }
  record.ItemReference = GetItemReference(index);
}

CORBA::Boolean TTranslateRules_Impl::LoadFromIniFile(const char* fileName, const char* section) {
  return WithCachedIniFile(fileName, [&] { return TContainer_Impl::LoadFromIniFile(fileName, section); });
}

CORBA::Boolean TTranslateRules_Impl::SaveToIniFile(const char* fileName, const char* section) {
  return WithCachedIniFile(fileName, [&] { return TContainer_Impl::SaveToIniFile(fileName, section); });
}

}  // namespace vantrel
