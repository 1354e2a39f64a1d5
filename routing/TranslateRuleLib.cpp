#include "TranslateRuleLib.h"

#include <algorithm>
#include <stdexcept>

namespace vantrel {

namespace {

bool IsLiteralChar(char c) { return (c >= '0' && c <= '9') || c == 'P' || c == 'T' || c == 'W'; }

std::size_t CharCount(char c, const std::string& text) {
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), c));
}

}  // namespace

std::string TTranslateRule_Impl::OldMask() const {
  std::lock_guard lock(maskMutex_);
  return oldMask_;
}

std::string TTranslateRule_Impl::NewMask() const {
  std::lock_guard lock(maskMutex_);
  return newMask_;
}

void TTranslateRule_Impl::SetOldMask(const char* mask) {
  std::lock_guard lock(maskMutex_);
  oldMask_ = mask;
}

char* TTranslateRule_Impl::GetOldMask() { return CORBA::string_dup(OldMask().c_str()); }

void TTranslateRule_Impl::SetNewMask(const char* mask) {
  std::lock_guard lock(maskMutex_);
  newMask_ = mask;
}

char* TTranslateRule_Impl::GetNewMask() { return CORBA::string_dup(NewMask().c_str()); }

void TTranslateRule_Impl::SeparateMask(const std::string& mask, std::string& prefix, std::string& rest) {
  prefix.clear();
  rest = mask;
  Guarded("TTranslateRule_Impl.SeparateMask", [&] {
    const auto end = std::find_if_not(mask.begin(), mask.end(), IsLiteralChar);
    prefix.assign(mask.begin(), end);
    rest.assign(end, mask.end());
  });
}

void TTranslateRule_Impl::SplitNumber(const std::string& number, std::string& head, std::string& tail) {
  std::string prefix, rest;
  SeparateMask(OldMask(), prefix, rest);
  head = number.substr(0, std::min(prefix.size(), number.size()));
  tail = number.size() > prefix.size() ? number.substr(prefix.size()) : std::string();
}

::TranslateRuleCheckError TTranslateRule_Impl::GetIsMaskCorrect(const char* mask) {
  return Guarded("TTranslateRule_Impl.GetIsMaskCorrect", ::IncorrectChar, [&] {
    const std::string text = mask;
    if (!std::all_of(text.begin(), text.end(), [](char c) { return IsLiteralChar(c) || c == 'X' || c == '*'; })) {
      return ::IncorrectChar;
    }
    if (CharCount('*', text) > 1) return ::IncorrectMulsCount;
    if (CharCount('X', text) > 0 && CharCount('*', text) > 0) return ::IncorrectXMulsMix;
    return ::NoError;
  });
}

::TranslateRuleCheckError TTranslateRule_Impl::GetIsMasksCorrect(const char* oldMask, const char* newMask) {
  const std::string oldText = oldMask, newText = newMask;
  if (CharCount('X', oldText) != CharCount('X', newText)) return ::DifferentXCount;
  if (CharCount('*', oldText) != CharCount('*', newText)) return ::DifferentMulsCount;
  return ::NoError;
}

::TranslateRuleCheckError TTranslateRule_Impl::GetIsCorrect() {
  const std::string oldMask = OldMask(), newMask = NewMask();
  for (const ::TranslateRuleCheckError check : {GetIsMaskCorrect(oldMask.c_str()), GetIsMaskCorrect(newMask.c_str()),
                                                GetIsMasksCorrect(oldMask.c_str(), newMask.c_str())}) {
    if (check != ::NoError) return check;
  }
  return ::NoError;
}

bool TTranslateRule_Impl::GetIsNumberMatch(const std::string& number) {
  const std::string oldMask = OldMask();
  std::string prefix, rest;
  SeparateMask(oldMask, prefix, rest);
  if (!prefix.empty() && number.compare(0, prefix.size(), prefix) != 0) return false;
  std::string head, tail;
  SplitNumber(number, head, tail);
  return CharCount('X', oldMask) == tail.size() || tail.empty() || CharCount('*', oldMask) == 1;
}

CORBA::Boolean TTranslateRule_Impl::Apply(const char* phoneNumber, CORBA::String_out resultPhoneNumber) {
  std::string translated;
  const bool applied = Guarded("TTranslateRule_Impl.Apply", false, [&] {
    if (!GetEnabled() || GetIsCorrect() != ::NoError) return false;
    const std::string number = phoneNumber;
    if (!GetIsNumberMatch(number)) return false;
    std::string newPrefix, rest, head, tail;
    SeparateMask(NewMask(), newPrefix, rest);
    SplitNumber(number, head, tail);
    translated = newPrefix + tail;
    return true;
  });
  // An out argument is set exactly once; it carries nothing when the rule does not apply.
  resultPhoneNumber = CORBA::string_dup(translated.c_str());
  return applied;
}

CORBA::Boolean TTranslateRule_Impl::AssignFrom(::Base_ptr source) {
  BeginUpdate();
  const bool result = Guarded("TTranslateRule_Impl.AssignFrom", false, [&] {
    ::TranslateRule_var rule = ::TranslateRule::_narrow(source);
    if (CORBA::is_nil(rule)) throw std::invalid_argument("Invalid class typecast");
    const bool assigned = TContainerItem_Impl::AssignFrom(source);
    CORBA::String_var oldMask = rule->GetOldMask();
    CORBA::String_var newMask = rule->GetNewMask();
    SetOldMask(oldMask.in());
    SetNewMask(newMask.in());
    return assigned;
  });
  EndUpdate();
  return result;
}

CORBA::Boolean TTranslateRule_Impl::LoadFromIniFile(const char* fileName, const char* section) {
  return LoadItemWithKeys("TTranslateRule_Impl.LoadFromIniFile", fileName, section, [&](TMemIniFile& ini) {
    SetOldMask(ini.ReadString(section, "OldMask", OldMask()).c_str());
    SetNewMask(ini.ReadString(section, "NewMask", NewMask()).c_str());
  });
}

CORBA::Boolean TTranslateRule_Impl::SaveToIniFile(const char* fileName, const char* section) {
  return SaveItemWithKeys("TTranslateRule_Impl.SaveToIniFile", fileName, section, [&](TMemIniFile& ini) {
    ini.WriteString(section, "OldMask", OldMask());
    ini.WriteString(section, "NewMask", NewMask());
  });
}

}  // namespace vantrel
