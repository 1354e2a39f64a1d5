#include "OperatorsLib.h"

#include "OperatorLib.h"
#include "model/Servant.h"
#include "support/ProcessState.h"
#include "support/VantrelCommonRoutines.h"

namespace vantrel {

TOperators_Impl::TOperators_Impl() {
  LogMessage("TOperators_Impl.Create()");
  SetObjectName("Operators");
}

TOperators_Impl::~TOperators_Impl() { LogMessage("TOperators_Impl.Destroy()"); }

::ContainerItem_ptr TOperators_Impl::CreateItem(CORBA::Boolean assignIdentity) {
  return Guarded("TOperators_Impl.CreateItem", ::ContainerItem::_nil(), [&] {
    std::lock_guard lock(Lock());
    const bool many = DistributedServer();
    if (!many && GetItemsCount() > 0) return ::ContainerItem::_nil();
    // Among many operators an ID handed out here could be a later employee's, whose SetID would then delete
    // this one: a new operator waits for its employee's ID.
    return ListNewItem(new TServant<TOperator_Impl>(), many ? false : assignIdentity);
  });
}

CORBA::Boolean TOperators_Impl::DeleteItem(::ContainerItem_ptr item) {
  // The line is released first: a deleted Operator is no longer reachable.
  Guarded("TOperators_Impl.DeleteItem", [&] {
    ::Operator_var departing = ::Operator::_narrow(item);
    if (!CORBA::is_nil(departing) && GetItemIndex(item) != -1) departing->SetLine(::Line::_nil());
  });
  return TContainer_Impl::DeleteItem(item);
}

CORBA::Boolean TOperators_Impl::SortByCallsCount() {
  return Guarded("TOperators_Impl.SortByCallsCount", false, [&] {
    ExchangeSort([](::ContainerItem_ptr item) {
      ::Operator_var listed = ::Operator::_narrow(item);
      return CORBA::is_nil(listed) ? CORBA::Long(0) : listed->GetCallsCount();
    });
    return true;
  });
}

::ContainerItem_ptr TOperators_Impl::GetItemByLine(::Line_ptr line) {
  return Guarded("TOperators_Impl.GetItemByLine", ::ContainerItem::_nil(), [&] {
    if (CORBA::is_nil(line)) return ::ContainerItem::_nil();
    const CORBA::Long lineID = line->GetID();
    return WithItems([&](const auto& items) {
      ::ContainerItem_var found;
      for (const ::ContainerItem_var& item : items) {
        ::Operator_var candidate = ::Operator::_narrow(item);
        if (CORBA::is_nil(candidate)) continue;
        ::Line_var own = candidate->GetLine();
        if (!CORBA::is_nil(own) && own->GetID() == lineID) found = ::ContainerItem::_duplicate(item);
      }
      return found._retn();
    });
  });
}

void TOperators_Impl::NoteServed(CORBA::Long operatorID) {
  std::lock_guard lock(servedMutex_);
  lastServed_ = operatorID;
}

CORBA::Long TOperators_Impl::LastServed() const {
  std::lock_guard lock(servedMutex_);
  return lastServed_;
}

void TOperators_Impl::FillOperatorItem(CORBA::Long index, ::OperatorItem& record) {
  ::ContainerItem_var item = GetItem(index);
  ::Operator_var listed = ::Operator::_narrow(item);
  record.ID = GetItemID(index);
  record.Name = GetItemName(index);
  record.Status = ::OperatorReady;
  if (!CORBA::is_nil(listed)) {
    record.ComputerName = listed->GetComputerName();
    record.LineName = listed->GetLineName();
    record.LinePhoneNumber = listed->GetLinePhoneNumber();
    record.Status = listed->GetStatus();
    record.LoginTime = listed->GetLoginTime();
  }
  record.ItemReference = GetItemReference(index);
}

}  // namespace vantrel
