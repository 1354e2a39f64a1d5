#include "RuleLib.h"

#include <stdexcept>

#include "RuleActionLib.h"
#include "model/Servant.h"
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
                           CORBA::Long& actionIndex, bool restart, bool increment) {
  bool result = false;
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
      CORBA::String_var found;
      result = action->Apply(callerID.c_str(), calledID.c_str(), found.out());
      if (result) target = found.in();
      LogFormat("TestTransfer_INRULE FCurrentActionIndex = %d AIncr = %d", {actionIndex, increment ? 1 : 0});
      actionIndex = actionIndex + 1 > count - 1 ? 0 : actionIndex + 1;
      ++tried;
      if (result || (actionIndex == 0 && tried >= count)) break;
    }
  });
  if (!increment) actionIndex = saved;
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

}  // namespace vantrel
