#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "model/ContainerItemLib.h"

namespace vantrel {

// One step of a routing rule: names the number a caller's call may go to (account manager, last contact,
// a fixed number, a ready group member), or declines. A number of a server line needs a ready operator there.
class TRuleAction_Impl : public virtual POA_RuleAction, public TContainerItem_Impl {
 public:
  TRuleAction_Impl();

  void SetActionType(::RuleActionType type) override;
  ::RuleActionType GetActionType() override;
  void SetPhoneNumber(const char* phoneNumber) override;
  char* GetPhoneNumber() override;
  void SetGroupID(CORBA::Long groupID) override;
  CORBA::Long GetGroupID() override;
  CORBA::Boolean Apply(const char* callerID, const char* calledID, CORBA::String_out resultPhoneNumber) override;
  // Inside the server: Apply; without choose a group action only looks (round robin does not move on), with
  // reserve the member it chooses is held for the caller being routed (Reserve on the operator).
  bool ApplyInServer(const std::string& callerID, const std::string& calledID, std::string& target, bool choose,
                     bool reserve);

  CORBA::Boolean AssignFrom(::Base_ptr source) override;

  // Inside the server: how many members of a group action are ready to be offered a call now, counting up to
  // atMost (no one is chosen).
  long ReadyMembers(long atMost);
  CORBA::Boolean LoadFromIniFile(const char* fileName, const char* section) override;
  CORBA::Boolean SaveToIniFile(const char* fileName, const char* section) override;

 private:
  using Target = std::optional<std::string>;
  bool CanApply(const std::string& caller);
  Target ApplyManager(const std::string& caller);
  Target ApplyLastContact(const std::string& caller);
  Target ApplyPhoneNumber(const std::string& phone);
  Target ApplyGroup(bool choose, bool reserve);
  // A ready member of the group: its operator's ID, place in the operators' list, phone and last call's end.
  struct TGroupMember {
    CORBA::Long id;
    std::size_t position;
    std::string phone;
    std::chrono::steady_clock::time_point lastCallEnded;
    ::Operator_var reference;
  };
  static bool IsFree(::Operator_ptr candidate);
  // The group's ready members in the strategy's list order (atMost of them; 0: those the strategy chooses among),
  // every operator's ID in that order, and the strategy.
  void FindReadyMembers(std::size_t atMost, std::vector<TGroupMember>& ready, std::vector<CORBA::Long>& listed,
                        ::CallsDistributionType& strategy);
  // The member the strategy serves; nullptr when none is ready.
  static const TGroupMember* ChooseGroupMember(::CallsDistributionType strategy, const std::vector<TGroupMember>& ready,
                                               const std::vector<CORBA::Long>& listed, CORBA::Long lastServed);
  Target FindManagerPhone(const std::string& caller);
  Target FindLastContactPhone(const std::string& caller);
  // The integer of the first row's field (-1 when empty or no number), none when the query gave no row.
  std::optional<int> QueryID(const std::string& sql, const char* field);
  std::optional<int> FindContactByPhone(const std::string& caller);
  std::optional<int> FindCompanyByPhone(const std::string& caller);
  std::optional<int> GetContactManager(int contactID);
  std::optional<int> GetCompanyManager(int companyID);
  std::string PhoneNumber() const;

  mutable std::mutex actionMutex_;
  CORBA::Long actionType_ = ::Manager;  // guarded by actionMutex_; INI values outside the enum are kept
  std::string phoneNumber_;             // guarded by actionMutex_
  CORBA::Long groupID_ = -1;            // guarded by actionMutex_
};

}  // namespace vantrel
