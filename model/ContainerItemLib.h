#pragma once

#include <functional>

#include "platform/LockRank.h"
#include "BaseLib.h"
#include "support/IniFile.h"

namespace vantrel {

// An item of a container: ID, Order, the container that lists it, and the ContainerItemEvents listener.
class TContainerItem_Impl : public virtual POA_ContainerItem, public TBase_Impl {
 public:
  TContainerItem_Impl();
  ~TContainerItem_Impl() override;

  void SetContainer(::Container_ptr container) override;
  ::Container_ptr GetContainer() override;
  void SetID(CORBA::Long id) override;
  CORBA::Long GetID() override;
  void SetOrder(CORBA::Long order) override;
  CORBA::Long GetOrder() override;
  CORBA::Long GetIndex() override;
  CORBA::Boolean GetCanMoveUp() override;
  CORBA::Boolean GetCanMoveDown() override;
  ::ContainerItem_ptr GetPrevItem() override;
  ::ContainerItem_ptr GetNextItem() override;
  ::ContainerItem_ptr GetNearestItem() override;
  char* GetPrevItemReference() override;
  char* GetNextItemReference() override;
  char* GetNearestItemReference() override;
  ::ContainerItemEvents_ptr GetContainerItemEventsListener() override;
  void SetContainerItemEventsListener(::ContainerItemEvents_ptr listener) override;
  CORBA::Boolean MoveUp() override;
  CORBA::Boolean MoveDown() override;
  void DoAdd() override;
  void DoDelete() override;

  CORBA::Boolean AssignFrom(::Base_ptr source) override;
  CORBA::Boolean LoadFromIniFile(const char* fileName, const char* section) override;
  CORBA::Boolean SaveToIniFile(const char* fileName, const char* section) override;
  void DoChange() override;

  // Inside the server: the item's stringified reference, made once (an active object's reference stays).
  std::string ReferenceText();

 protected:
  // Concrete items: the item load (loadBase when given: a container's, with its items), then (only for an
  // existing file, inside an update bracket) their own keys.
  bool LoadItemWithKeys(const char* qualifiedName, const char* fileName, const char* section,
                        const std::function<void(TMemIniFile&)>& readKeys, const std::function<bool()>& loadBase = {});
  // The item save (saveBase when given), then their own keys.
  bool SaveItemWithKeys(const char* qualifiedName, const char* fileName, const char* section,
                        const std::function<void(TMemIniFile&)>& writeKeys, const std::function<bool()>& saveBase = {});

  // The item's neighbour at the given distance in its container's list; nil past either end.
  ::ContainerItem_ptr NeighbourItem(CORBA::Long distance);
  bool ExchangeOrderWith(CORBA::Long distance);

 private:
  void PostItemEvent(const char* operation, void (*call)(::ContainerItemEvents_ptr));

  mutable platform::ObjectMutex itemMutex_;
  ::Container_var container_;                      // guarded by itemMutex_
  CORBA::Long id_ = -1;                            // guarded by itemMutex_
  CORBA::Long order_ = -1;                         // guarded by itemMutex_
  TListener<::ContainerItemEvents> itemListener_;  // guarded by itemMutex_
  std::string reference_;                          // guarded by itemMutex_; empty until first asked
};

}  // namespace vantrel
