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

::QueueFiguresSeq* TRules_Impl::GetQueueFigures(CORBA::Boolean sinceMidnight) {
  auto* sequence = new ::QueueFiguresSeq;
  Guarded("TRules_Impl.GetQueueFigures", [&] {
    const auto figures = queue_.Figures(sinceMidnight);
    sequence->length(static_cast<CORBA::ULong>(figures.size()));
    for (std::size_t i = 0; i < figures.size(); ++i) {
      const TCallQueue::TRuleFigures& one = figures[i];
      const TCallQueue::TFigures& counted = one.counted;
      ::QueueFigures& out = (*sequence)[static_cast<CORBA::ULong>(i)];
      out.RuleID = one.rule;
      ::ContainerItem_var rule = GetItemByID(one.rule);
      out.RuleName = CORBA::is_nil(rule) ? CORBA::string_dup("") : rule->GetObjectName();
      out.Waiting = one.waiting;
      out.LongestWait = static_cast<CORBA::Long>(one.longestWait);
      out.Offered = counted.offered;
      out.Answered = counted.answered;
      out.Abandoned = counted.abandoned;
      out.Overflowed = counted.overflowed;
      out.AnsweredInServiceLevel = counted.answeredInServiceLevel;
      out.ServiceLevelSeconds = one.serviceLevelSeconds;
      out.AverageSpeedOfAnswer =
          counted.answered == 0 ? 0 : static_cast<CORBA::Long>(counted.answerSeconds / counted.answered + 0.5);
      out.AverageTalkTime =
          counted.talks == 0 ? 0 : static_cast<CORBA::Long>(counted.talkSeconds / counted.talks + 0.5);
    }
  });
  return sequence;
}

::QueueServiceLevelSeq* TRules_Impl::GetServiceLevels(CORBA::Boolean sinceMidnight) {
  auto* sequence = new ::QueueServiceLevelSeq;
  Guarded("TRules_Impl.GetServiceLevels", [&] {
    const auto figures = queue_.Figures(sinceMidnight);
    sequence->length(static_cast<CORBA::ULong>(figures.size()));
    for (std::size_t i = 0; i < figures.size(); ++i) {
      const TCallQueue::TFigures& counted = figures[i].counted;
      ::QueueServiceLevel& out = (*sequence)[static_cast<CORBA::ULong>(i)];
      out.RuleID = figures[i].rule;
      out.Answered = counted.answered;
      out.AnsweredInServiceLevel = counted.answeredInServiceLevel;
      out.AbandonedAfterServiceLevel = counted.abandonedAfterServiceLevel;
      out.ShortAbandoned = counted.shortAbandoned;
      out.ServiceLevelSeconds = figures[i].serviceLevelSeconds;
      out.ServiceLevel = TCallQueue::ServiceLevelPercent(counted);
    }
  });
  return sequence;
}

::QueueEvents_ptr TRules_Impl::GetQueueEventsListener() {
  std::lock_guard lock(settingsMutex_);
  return queueListener_.Get();
}

void TRules_Impl::SetQueueEventsListener(::QueueEvents_ptr listener) {
  std::lock_guard lock(settingsMutex_);
  queueListener_.Set(listener);
  publishedVersion_ = 0;  // a new listener hears the figures at once
}

void TRules_Impl::PublishQueueFigures() {
  const auto now = std::chrono::steady_clock::now();
  {
    std::lock_guard lock(settingsMutex_);
    if (queueListener_.IsNil()) return;
    if (queueListener_.Dropped()) {
      queueListener_.Clear();
      return;
    }
    const unsigned long version = queue_.Version();
    if (version == publishedVersion_ || now - publishedAt_ < std::chrono::milliseconds(250)) return;
    publishedVersion_ = version;
    publishedAt_ = now;
  }
  ::QueueFiguresSeq_var figures = GetQueueFigures(true);
  std::lock_guard lock(settingsMutex_);
  queueListener_.Post("DoQueueFiguresChanged", [figures = ::QueueFiguresSeq(figures.in())](::QueueEvents_ptr listener) {
    listener->DoQueueFiguresChanged(figures);
  });
}

int TRules_Impl::RingTimeout() const {
  std::lock_guard lock(settingsMutex_);
  return ringTimeout_;
}

int TRules_Impl::ShortAbandonSeconds() const {
  std::lock_guard lock(settingsMutex_);
  return shortAbandonSeconds_;
}

bool TRules_Impl::PauseOnNoAnswer() const {
  std::lock_guard lock(settingsMutex_);
  return pauseOnNoAnswer_;
}

int TRules_Impl::SupervisorGroup() const {
  std::lock_guard lock(settingsMutex_);
  return supervisorGroup_;
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
                       shortAbandonSeconds_ =
                           std::max(0, ini->ReadInteger(section, "ShortAbandonSeconds", shortAbandonSeconds_));
                       supervisorGroup_ = ini->ReadInteger(section, "SupervisorGroup", supervisorGroup_);
                       return true;
                     }) &&
             result;
    // A menu may name a rule loaded after its own.
    Guarded("TRules_Impl.LoadFromIniFile", [&] {
      const auto isRule = [&](CORBA::Long id) { return !CORBA::is_nil(::ContainerItem_var(GetItemByID(id))); };
      for (CORBA::Long index = 0, count = GetItemsCount(); index < count; ++index) {
        ::ContainerItem_var item = GetItem(index);
        if (const TLocalServant<TRule_Impl> rule{item.in()}) {
          rule->CheckMenu("rule " + std::to_string(item->GetID()), isRule);
        }
      }
    });
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
                     ini->WriteInteger(section, "ShortAbandonSeconds", shortAbandonSeconds_);
                     ini->WriteInteger(section, "SupervisorGroup", supervisorGroup_);
                     return true;
                   }) &&
           saved;
  });
}

}  // namespace vantrel
