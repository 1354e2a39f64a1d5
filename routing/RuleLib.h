#pragma once

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
  bool ApplyFrom(const std::string& callerID, const std::string& calledID, std::string& target,
                 CORBA::Long& actionIndex, bool restart, bool increment);

 private:
  std::mutex applyMutex_;               // one evaluation at a time moves the position
  CORBA::Long currentActionIndex_ = 0;  // guarded by applyMutex_
};

}  // namespace vantrel
