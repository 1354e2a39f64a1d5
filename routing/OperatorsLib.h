#pragma once

#include <mutex>

#include "model/ContainerLib.h"

namespace vantrel {

// The logged-in Operators: made by clients at run time, never loaded or saved.
class TOperators_Impl : public virtual POA_Operators, public TContainer_Impl {
 public:
  TOperators_Impl();
  ~TOperators_Impl() override;

  ::ContainerItem_ptr CreateItem(CORBA::Boolean assignIdentity) override;
  CORBA::Boolean DeleteItem(::ContainerItem_ptr item) override;
  CORBA::Boolean SortByCallsCount() override;
  ::ContainerItem_ptr GetItemByLine(::Line_ptr line) override;

  // Inside the server: the round-robin strategy goes on after the operator it served last.
  void NoteServed(CORBA::Long operatorID);
  CORBA::Long LastServed() const;

 protected:
  void FillOperatorItem(CORBA::Long index, ::OperatorItem& record) override;

 private:
  mutable std::mutex servedMutex_;
  CORBA::Long lastServed_ = -1;  // guarded by servedMutex_; -1: none yet
};

}  // namespace vantrel
