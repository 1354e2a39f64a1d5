#pragma once

#include <string>

#include "model/ContainerItemLib.h"

namespace vantrel {

// One number-translation rule: a number that fits OldMask is dialled with OldMask's literal prefix
// replaced by NewMask's, e.g. 8XX / 9W8XX turns 812 into 9W812.
class TTranslateRule_Impl : public virtual POA_TranslateRule, public TContainerItem_Impl {
 public:
  void SetOldMask(const char* mask) override;
  char* GetOldMask() override;
  void SetNewMask(const char* mask) override;
  char* GetNewMask() override;
  ::TranslateRuleCheckError GetIsCorrect() override;
  CORBA::Boolean Apply(const char* phoneNumber, CORBA::String_out resultPhoneNumber) override;
  ::TranslateRuleCheckError GetIsMaskCorrect(const char* mask) override;
  ::TranslateRuleCheckError GetIsMasksCorrect(const char* oldMask, const char* newMask) override;

  CORBA::Boolean AssignFrom(::Base_ptr source) override;
  CORBA::Boolean LoadFromIniFile(const char* fileName, const char* section) override;
  CORBA::Boolean SaveToIniFile(const char* fileName, const char* section) override;

 private:
  std::string OldMask() const;
  std::string NewMask() const;
  // The literal prefix (dial digits and the P, T, W modifiers) and what follows it.
  void SeparateMask(const std::string& mask, std::string& prefix, std::string& rest);
  void SplitNumber(const std::string& number, std::string& head, std::string& tail);
  bool GetIsNumberMatch(const std::string& number);

  mutable std::mutex maskMutex_;
  std::string oldMask_;  // guarded by maskMutex_
  std::string newMask_;  // guarded by maskMutex_
};

}  // namespace vantrel
