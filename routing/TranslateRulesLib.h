#pragma once

#include "model/ContainerLib.h"

namespace vantrel {

// The number-translation rules, tried in ascending Order before a number is dialled.
class TTranslateRules_Impl : public virtual POA_TranslateRules, public TContainer_Impl {
 public:
  TTranslateRules_Impl();

  ::ContainerItem_ptr CreateItem(CORBA::Boolean assignIdentity) override;
  CORBA::Boolean Apply(const char* phoneNumber, CORBA::String_out resultPhoneNumber) override;
  CORBA::Boolean LoadFromIniFile(const char* fileName, const char* section) override;
  CORBA::Boolean SaveToIniFile(const char* fileName, const char* section) override;

 protected:
  void FillTranslateRuleItem(CORBA::Long index, ::TranslateRuleItem& record) override;
};

}  // namespace vantrel
