#pragma once

#include <mutex>
#include <string>

#include "model/ContainerLib.h"

namespace vantrel {

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
};

}  // namespace vantrel
