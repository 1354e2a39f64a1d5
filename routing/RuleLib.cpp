#include "RuleLib.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <vector>
#include <stdexcept>

#include "RuleActionLib.h"
#include "RulesLib.h"
#include "model/Servant.h"
#include "support/IniFile.h"
#include "support/VantrelCommonRoutines.h"

namespace vantrel {

::ContainerItem_ptr TRule_Impl::CreateItem(CORBA::Boolean assignIdentity) {
  return Guarded("TRule_Impl.CreateItem", ::ContainerItem::_nil(),
                 [&] { return ListNewItem(new TServant<TRuleAction_Impl>(), assignIdentity); });
}

CORBA::Boolean TRule_Impl::Apply(const char* callerID, const char* calledID, CORBA::String_out resultPhoneNumber,
                                 CORBA::Boolean restart, CORBA::Boolean increment) {
  // An out argument carries nothing in: without a verdict the target comes back empty.
  std::string target;
  std::lock_guard lock(applyMutex_);
  const bool result = ApplyFrom(callerID, calledID, target, currentActionIndex_, restart, increment);
  resultPhoneNumber = CORBA::string_dup(result ? target.c_str() : "");
  return result;
}

bool TRule_Impl::ApplyFrom(const std::string& callerID, const std::string& calledID, std::string& target,
                           CORBA::Long& actionIndex, bool restart, bool increment, CORBA::Long* waitingGroup,
                           bool reserveMember) {
  bool result = false;
  if (waitingGroup != nullptr) {
    *waitingGroup = -1;
    if (GetQueueSettings().MaxWait <= 0) waitingGroup = nullptr;
  }
  CORBA::Long saved = 0;
  if (restart) actionIndex = 0;
  if (!increment) {
    saved = actionIndex;
    actionIndex = 0;
  }
  Guarded("TRule_Impl.Apply", [&] {
    const CORBA::Long count = GetItemsCount();
    CORBA::Long tried = 0;
    while (count > 0) {
      ::ContainerItem_var item = GetItemByOrder(actionIndex);
      ::RuleAction_var action = ::RuleAction::_narrow(item);
      if (CORBA::is_nil(action)) throw std::runtime_error("No action with Order " + std::to_string(actionIndex));
      // Only an evaluation that moves on takes a group member; a look (at offering) leaves them free.
      if (const TLocalServant<TRuleAction_Impl> local{action.in()}) {
        std::string found;
        result = local->ApplyInServer(callerID, calledID, found, increment, increment && reserveMember);
        if (result) target = found;
      } else {
        CORBA::String_var found;
        result = action->Apply(callerID.c_str(), calledID.c_str(), found.out());
        if (result) target = found.in();
      }
      if (!result && waitingGroup != nullptr && action->GetEnabled() && action->GetActionType() == ::Group) {
        // The caller waits here for a member to become ready; the walk goes on from this action then.
        *waitingGroup = action->GetGroupID();
        break;
      }
      LogFormat("TestTransfer_INRULE FCurrentActionIndex = %d AIncr = %d", {actionIndex, increment ? 1 : 0});
      actionIndex = actionIndex + 1 > count - 1 ? 0 : actionIndex + 1;
      ++tried;
      if (result || (actionIndex == 0 && tried >= count)) break;
    }
  });
  if (!increment) actionIndex = saved;
  if (waitingGroup != nullptr && *waitingGroup >= 0) return false;
  if (!result) {
    Guarded("TRule_Impl.Apply", [&] {
      ::Rules_var rules = GetRules();
      if (CORBA::is_nil(rules)) return;
      CORBA::String_var system = rules->GetSystemPhoneNumber();
      if (system.in()[0] == '\0') return;
      target = system.in();
      result = true;
    });
  }
  return result;
}

long TRule_Impl::ReadyMembersAt(CORBA::Long order, long atMost) {
  return Guarded("TRule_Impl.ReadyMembersAt", 0L, [&] {
    ::RuleAction_var action = ::RuleAction::_narrow(::ContainerItem_var(GetItemByOrder(order)));
    const TLocalServant<TRuleAction_Impl> local{action.in()};
    return local ? local->ReadyMembers(atMost) : 0L;
  });
}

::RuleQueueSettings TRule_Impl::GetQueueSettings() {
  std::lock_guard lock(queueMutex_);
  return queue_;
}

void TRule_Impl::SetQueueSettings(const ::RuleQueueSettings& settings) {
  std::lock_guard lock(queueMutex_);
  queue_.MaxWait = std::max<CORBA::Long>(0, settings.MaxWait);
  queue_.MaxWaiting = std::max<CORBA::Long>(0, settings.MaxWaiting);
  queue_.Priority = settings.Priority;
  queue_.WrapUp = std::max<CORBA::Long>(0, settings.WrapUp);
  queue_.ServiceLevelSeconds = std::max<CORBA::Long>(0, settings.ServiceLevelSeconds);
}

::RuleCallerExperience* TRule_Impl::GetCallerExperience() {
  std::lock_guard lock(queueMutex_);
  auto* experience = new ::RuleCallerExperience;
  experience->Greeting = greeting_.c_str();
  experience->AnnouncePosition = announcePosition_;
  experience->AnnounceWait = announceWait_;
  experience->AnnounceEvery = announceEvery_;
  return experience;
}

void TRule_Impl::SetCallerExperience(const ::RuleCallerExperience& experience) {
  if (experience.AnnounceEvery < 1) {
    DoError("TRule_Impl.SetCallerExperience", "AnnounceEvery must be at least 1 second");
    return;
  }
  std::lock_guard lock(queueMutex_);
  greeting_ = experience.Greeting.in();
  announcePosition_ = experience.AnnouncePosition;
  announceWait_ = experience.AnnounceWait;
  announceEvery_ = experience.AnnounceEvery;
}

CORBA::Boolean TRule_Impl::GetRecordsCalls() {
  std::lock_guard lock(queueMutex_);
  return recordsCalls_;
}

void TRule_Impl::SetRecordsCalls(CORBA::Boolean record) {
  std::lock_guard lock(queueMutex_);
  recordsCalls_ = record;
}

::RuleCallback TRule_Impl::GetCallback() {
  std::lock_guard lock(queueMutex_);
  return callback_;
}

void TRule_Impl::SetCallback(const ::RuleCallback& callback) {
  if (callback.Retries < 0 || callback.RetrySeconds < 1) {
    DoError("TRule_Impl.SetCallback", "CallbackRetries must be at least 0 and CallbackRetrySeconds at least 1 second");
    return;
  }
  std::lock_guard lock(queueMutex_);
  callback_ = callback;
}

::PendingCallbackSeq* TRule_Impl::GetPendingCallbacks() {
  auto result = std::make_unique<::PendingCallbackSeq>();
  Guarded("TRule_Impl.GetPendingCallbacks", [&] {
    const ::Rules_var rules = GetRules();
    const TLocalServant<TRules_Impl> local{rules.in()};
    if (!local) return;
    struct TShown {
      TCallbackBoard::TEntry entry;
      long place;
    };
    std::vector<TShown> shown;
    for (const auto& entry : local->Callbacks().OfRule(GetID()))
      shown.push_back({entry, local->Queue().PlaceOf({entry.line, entry.handle})});
    // Those being called first, then the waiting ones by their place.
    std::stable_sort(shown.begin(), shown.end(), [](const TShown& a, const TShown& b) { return a.place < b.place; });
    const auto now = std::chrono::steady_clock::now();
    result->length(static_cast<CORBA::ULong>(shown.size()));
    for (CORBA::ULong i = 0; i < shown.size(); ++i) {
      const auto& [entry, place] = shown[i];
      ::PendingCallback& item = (*result)[i];
      item.CallerNumber = entry.callerNumber.c_str();
      item.LinePhoneNumber = entry.linePhoneNumber.c_str();
      item.Place = static_cast<CORBA::Long>(place);
      item.Attempts = static_cast<CORBA::Long>(entry.attempts);
      item.State = entry.state.c_str();
      item.WaitSeconds = static_cast<CORBA::Long>(
          std::chrono::duration_cast<std::chrono::seconds>(now - entry.requested).count());
    }
  });
  return result.release();
}

TRuleMenu TRule_Impl::GetMenu() const {
  std::lock_guard lock(queueMutex_);
  return menu_;
}

void TRule_Impl::CheckMenu(const std::string& who, const std::function<bool(CORBA::Long)>& isRule) {
  // isRule asks the rules' container: not under this rule's lock.
  std::array<std::optional<std::string>, 10> read;
  {
    std::lock_guard lock(queueMutex_);
    read.swap(menuRead_);
  }
  std::array<std::optional<CORBA::Long>, 10> found;
  for (std::size_t at = 0; at < read.size(); ++at) {
    if (!read[at]) continue;
    const std::string& text = *read[at];
    found[at] = -1;
    long id = -1;
    std::size_t used = 0;
    try {
      id = std::stol(text, &used);
    } catch (const std::exception&) {
      used = 0;
    }
    if (used == 0 || used != text.size() || id < 0 || !isRule(static_cast<CORBA::Long>(id))) {
      const std::string key = at == 0 ? std::string("MenuDefault") : "Menu" + std::to_string(at);
      LogErrorLine("Rules: " + who + " " + key + "=" + text + " names no rule; left out of the menu");
      continue;
    }
    found[at] = static_cast<CORBA::Long>(id);
  }
  std::lock_guard lock(queueMutex_);
  for (std::size_t at = 0; at < found.size(); ++at) {
    if (found[at]) (at == 0 ? menu_.DefaultRule : menu_.Choices[at]) = *found[at];
  }
}

CORBA::Boolean TRule_Impl::AssignFrom(::Base_ptr source) {
  const bool assigned = TContainer_Impl::AssignFrom(source);
  ::Rule_var rule = ::Rule::_narrow(source);
  if (!CORBA::is_nil(rule)) {
    Guarded("TRule_Impl.AssignFrom", [&] {
      SetQueueSettings(rule->GetQueueSettings());
      ::RuleCallerExperience_var experience = rule->GetCallerExperience();
      SetCallerExperience(experience.in());
      SetRecordsCalls(rule->GetRecordsCalls());
      SetCallback(rule->GetCallback());
      if (const TLocalServant<TRule_Impl> local{rule.in()}) {
        const TRuleMenu menu = local->GetMenu();
        std::lock_guard lock(queueMutex_);
        menu_ = menu;
      }
    });
  }
  return assigned;
}

CORBA::Boolean TRule_Impl::LoadFromIniFile(const char* fileName, const char* section) {
  return LoadItemWithKeys(
      "TRule_Impl.LoadFromIniFile", fileName, section,
      [&](TMemIniFile& ini) {
        // A value below its least is one line in the error log, and the value set before is kept.
        const auto readAtLeast = [&](const char* key, int current, int least, const char* leastText) {
          const int value = ini.ReadInteger(section, key, current);
          if (value >= least) return value;
          LogErrorLine(std::string("Rules: [") + section + "] " + key + "=" + std::to_string(value) +
                       " must be at least " + leastText + "; " + std::to_string(current) + " kept");
          return current;
        };
        ::RuleQueueSettings settings = GetQueueSettings();
        settings.MaxWait = ini.ReadInteger(section, "MaxWait", settings.MaxWait);
        settings.MaxWaiting = ini.ReadInteger(section, "MaxWaiting", settings.MaxWaiting);
        settings.Priority = ini.ReadInteger(section, "Priority", settings.Priority);
        settings.WrapUp = ini.ReadInteger(section, "WrapUp", settings.WrapUp);
        settings.ServiceLevelSeconds = ini.ReadInteger(section, "ServiceLevelSeconds", settings.ServiceLevelSeconds);
        SetQueueSettings(settings);
        ::RuleCallerExperience_var experience = GetCallerExperience();
        experience->Greeting = ini.ReadString(section, "Greeting", experience->Greeting.in()).c_str();
        experience->AnnouncePosition = ini.ReadBool(section, "AnnouncePosition", experience->AnnouncePosition);
        experience->AnnounceWait = ini.ReadBool(section, "AnnounceWait", experience->AnnounceWait);
        experience->AnnounceEvery =
            readAtLeast("AnnounceEvery", static_cast<int>(experience->AnnounceEvery), 1, "1 second");
        SetCallerExperience(experience.in());
        SetRecordsCalls(ini.ReadBool(section, "Record", GetRecordsCalls()));
        ::RuleCallback callback = GetCallback();
        callback.Enabled = ini.ReadBool(section, "Callback", callback.Enabled);
        callback.Retries = readAtLeast("CallbackRetries", static_cast<int>(callback.Retries), 0, "0");
        callback.RetrySeconds =
            readAtLeast("CallbackRetrySeconds", static_cast<int>(callback.RetrySeconds), 1, "1 second");
        SetCallback(callback);
        // The menu's rules are known once every rule is loaded (CheckMenu); a missing key keeps what was set.
        std::lock_guard lock(queueMutex_);
        menu_.Prompt = ini.ReadString(section, "Menu", menu_.Prompt);
        menu_.TimeoutSeconds = readAtLeast("MenuTimeout", static_cast<int>(menu_.TimeoutSeconds), 1, "1 second");
        for (std::size_t at = 0; at < menuRead_.size(); ++at) {
          const std::string key = at == 0 ? std::string("MenuDefault") : "Menu" + std::to_string(at);
          if (ini.ValueExists(section, key)) menuRead_[at] = ini.ReadString(section, key, "");
        }
      },
      [&] { return TContainer_Impl::LoadFromIniFile(fileName, section); });
}

CORBA::Boolean TRule_Impl::SaveToIniFile(const char* fileName, const char* section) {
  return SaveItemWithKeys(
      "TRule_Impl.SaveToIniFile", fileName, section,
      [&](TMemIniFile& ini) {
        const ::RuleQueueSettings settings = GetQueueSettings();
        ini.WriteInteger(section, "MaxWait", settings.MaxWait);
        ini.WriteInteger(section, "MaxWaiting", settings.MaxWaiting);
        ini.WriteInteger(section, "Priority", settings.Priority);
        ini.WriteInteger(section, "WrapUp", settings.WrapUp);
        ini.WriteInteger(section, "ServiceLevelSeconds", settings.ServiceLevelSeconds);
        ::RuleCallerExperience_var experience = GetCallerExperience();
        // Only what differs from the defaults, so that rules without prompts are saved as before.
        const auto keep = [&](const char* key, bool set, const std::string& value) {
          if (set)
            ini.WriteString(section, key, value);
          else
            ini.DeleteKey(section, key);
        };
        keep("Greeting", experience->Greeting.in()[0] != '\0', experience->Greeting.in());
        keep("AnnouncePosition", experience->AnnouncePosition, "1");
        keep("AnnounceWait", experience->AnnounceWait, "1");
        keep("AnnounceEvery", experience->AnnounceEvery != 30, std::to_string(experience->AnnounceEvery));
        keep("Record", GetRecordsCalls(), "1");
        const TRuleMenu menu = GetMenu();
        keep("Menu", !menu.Prompt.empty(), menu.Prompt);
        for (int digit = 1; digit <= 9; ++digit) {
          keep(("Menu" + std::to_string(digit)).c_str(), menu.Choices[digit] >= 0, std::to_string(menu.Choices[digit]));
        }
        keep("MenuTimeout", menu.TimeoutSeconds != 5, std::to_string(menu.TimeoutSeconds));
        keep("MenuDefault", menu.DefaultRule >= 0, std::to_string(menu.DefaultRule));
        const ::RuleCallback callback = GetCallback();
        keep("Callback", callback.Enabled, "1");
        keep("CallbackRetries", callback.Retries != 2, std::to_string(callback.Retries));
        keep("CallbackRetrySeconds", callback.RetrySeconds != 60, std::to_string(callback.RetrySeconds));
      },
      [&] { return TContainer_Impl::SaveToIniFile(fileName, section); });
}

}  // namespace vantrel
