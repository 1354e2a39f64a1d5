#pragma once

#include <array>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "model/ContainerLib.h"

namespace vantrel {

// The caller's menu of a rule (INI keys only): the prompt, the rules that digits 1 to 9 choose (by their ID; -1 for
// none), how long the caller has to choose once the prompt ends, and the rule taken without a choice (-1: the
// rule's own actions).
struct TRuleMenu {
  std::string Prompt;  // empty: no menu
  std::array<CORBA::Long, 10> Choices{-1, -1, -1, -1, -1, -1, -1, -1, -1, -1};  // by digit; 0 is never a choice
  long TimeoutSeconds = 5;
  CORBA::Long DefaultRule = -1;
};

// A routing rule: its actions, tried by Order, decide where an offered or connected call goes.
class TRule_Impl : public virtual POA_Rule, public TContainer_Impl {
 public:
  ::ContainerItem_ptr CreateItem(CORBA::Boolean assignIdentity) override;
  CORBA::Boolean Apply(const char* callerID, const char* calledID, CORBA::String_out resultPhoneNumber,
                       CORBA::Boolean restart, CORBA::Boolean increment) override;
  // Apply with the position in the action list kept by the caller: each routed call walks the actions on its
  // own, as one call at a time walks the rule's own position with Apply.
  // With reserveMember (a line routing a caller, moving on) the group member chosen is held for that caller.
  // With waitingGroup given, a group action with no ready member of a rule whose callers wait stops the walk at
  // that action: the result is false and *waitingGroup names the group (else it is left -1).
  bool ApplyFrom(const std::string& callerID, const std::string& calledID, std::string& target,
                 CORBA::Long& actionIndex, bool restart, bool increment, CORBA::Long* waitingGroup = nullptr,
                 bool reserveMember = false);

  // Inside the server: how many members of the group action at that order are ready to be offered a call now,
  // counting up to atMost.
  long ReadyMembersAt(CORBA::Long order, long atMost);

  ::RuleQueueSettings GetQueueSettings() override;
  void SetQueueSettings(const ::RuleQueueSettings& settings) override;
  ::RuleCallerExperience* GetCallerExperience() override;
  void SetCallerExperience(const ::RuleCallerExperience& experience) override;
  CORBA::Boolean GetRecordsCalls() override;
  void SetRecordsCalls(CORBA::Boolean record) override;
  ::RuleCallback GetCallback() override;
  void SetCallback(const ::RuleCallback& callback) override;
  ::PendingCallbackSeq* GetPendingCallbacks() override;
  TRuleMenu GetMenu() const;
  // Once all rules are loaded: the menu's entries read from the section take the rules they name; an entry naming
  // no rule (isRule says which IDs are rules) is left out, with an error-log line naming the rule (who).
  void CheckMenu(const std::string& who, const std::function<bool(CORBA::Long)>& isRule);
  CORBA::Boolean AssignFrom(::Base_ptr source) override;
  CORBA::Boolean LoadFromIniFile(const char* fileName, const char* section) override;
  CORBA::Boolean SaveToIniFile(const char* fileName, const char* section) override;

 private:
  std::mutex applyMutex_;               // one evaluation at a time moves the position
  CORBA::Long currentActionIndex_ = 0;  // guarded by applyMutex_
  mutable std::mutex queueMutex_;
  ::RuleQueueSettings queue_{0, 0, 0, 0, 20};  // guarded by queueMutex_
  std::string greeting_;                       // guarded by queueMutex_
  bool announcePosition_ = false;              // guarded by queueMutex_
  bool announceWait_ = false;                  // guarded by queueMutex_
  long announceEvery_ = 30;                    // guarded by queueMutex_
  bool recordsCalls_ = false;                  // guarded by queueMutex_
  TRuleMenu menu_;                             // guarded by queueMutex_
  ::RuleCallback callback_{false, 2, 60};      // guarded by queueMutex_
  // The menu's entries as read, until CheckMenu: Menu1..Menu9 at 1..9, MenuDefault at 0; guarded by queueMutex_.
  std::array<std::optional<std::string>, 10> menuRead_;
};

}  // namespace vantrel
