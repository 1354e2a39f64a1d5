#include "RuleLib.h"

#include <stdexcept>

#include "RuleActionLib.h"
#include "host/VantrelCommonRoutines.h"
#include "model/Servant.h"

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
  bool result = false;
  CORBA::Long saved = 0;
  if (restart) currentActionIndex_ = 0;
  if (!increment) {
    saved = currentActionIndex_;
    currentActionIndex_ = 0;
  }
  Guarded("TRule_Impl.Apply", [&] {
    const CORBA::Long count = GetItemsCount();
    CORBA::Long tried = 0;
    while (count > 0) {
      ::ContainerItem_var item = GetItemByOrder(currentActionIndex_);
      ::RuleAction_var action = ::RuleAction::_narrow(item);
      if (CORBA::is_nil(action))
        throw std::runtime_error("No action with Order " + std::to_string(currentActionIndex_));
      CORBA::String_var found;
      result = action->Apply(callerID, calledID, found.out());
      if (result) target = found.in();
      LogFormat("TestTransfer_INRULE FCurrentActionIndex = %d AIncr = %d", {currentActionIndex_, increment ? 1 : 0});
      currentActionIndex_ = currentActionIndex_ + 1 > count - 1 ? 0 : currentActionIndex_ + 1;
      ++tried;
      if (result || (currentActionIndex_ == 0 && tried >= count)) break;
    }
  });
  if (!increment) currentActionIndex_ = saved;
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
  resultPhoneNumber = CORBA::string_dup(result ? target.c_str() : "");
  return result;
}

}  // namespace vantrel
