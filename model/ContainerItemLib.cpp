#include "ContainerItemLib.h"

#include "ContainerLib.h"
#include "Servant.h"

#include <filesystem>

#include "support/IniStorage.h"
#include "support/ProcessState.h"

namespace vantrel {

TContainerItem_Impl::TContainerItem_Impl() = default;

TContainerItem_Impl::~TContainerItem_Impl() = default;

void TContainerItem_Impl::SetContainer(::Container_ptr container) {
  std::lock_guard lock(itemMutex_);
  if (!container_->_is_equivalent(container)) container_ = ::Container::_duplicate(container);
}

::Container_ptr TContainerItem_Impl::GetContainer() {
  std::lock_guard lock(itemMutex_);
  return ::Container::_duplicate(container_);
}

void TContainerItem_Impl::SetID(CORBA::Long id) {
  CORBA::Long previous = 0;
  {
    std::lock_guard lock(itemMutex_);
    if (id_ == id) return;
    previous = id_;
    id_ = id;
  }
  // The container's index by ID follows; the item's own lock is not held while the container's is taken.
  ::Container_var container = GetContainer();
  if (const TLocalServant<TContainer_Impl> owner{container.in()}) owner->ItemIDChanged(previous, id);
}

std::string TContainerItem_Impl::ReferenceText() {
  {
    std::lock_guard lock(itemMutex_);
    if (!reference_.empty()) return reference_;
  }
  CORBA::Object_var self = _this();
  const std::string text = ReferenceString(self);
  std::lock_guard lock(itemMutex_);
  reference_ = text;
  return reference_;
}

CORBA::Long TContainerItem_Impl::GetID() {
  std::lock_guard lock(itemMutex_);
  return id_;
}

void TContainerItem_Impl::SetOrder(CORBA::Long order) {
  std::lock_guard lock(itemMutex_);
  order_ = order;
}

CORBA::Long TContainerItem_Impl::GetOrder() {
  std::lock_guard lock(itemMutex_);
  return order_;
}

CORBA::Long TContainerItem_Impl::GetIndex() {
  return Guarded("TContainerItem_Impl.GetIndex", CORBA::Long(-1), [&] {
    ::Container_var container = GetContainer();
    if (CORBA::is_nil(container)) return CORBA::Long(-1);
    ::ContainerItem_var self = _this();
    return container->GetItemIndex(self);
  });
}

::ContainerItem_ptr TContainerItem_Impl::NeighbourItem(CORBA::Long distance) {
  ::Container_var container = GetContainer();
  if (CORBA::is_nil(container)) return ::ContainerItem::_nil();
  const CORBA::Long index = GetIndex();
  if (index < 0) return ::ContainerItem::_nil();
  return container->GetItem(index + distance);
}

::ContainerItem_ptr TContainerItem_Impl::GetPrevItem() {
  return Guarded("TContainerItem_Impl.GetPrevItem", ::ContainerItem::_nil(), [&] { return NeighbourItem(-1); });
}

::ContainerItem_ptr TContainerItem_Impl::GetNextItem() {
  return Guarded("TContainerItem_Impl.GetNextItem", ::ContainerItem::_nil(), [&] { return NeighbourItem(1); });
}

::ContainerItem_ptr TContainerItem_Impl::GetNearestItem() {
  return Guarded("TContainerItem_Impl.GetNearestItem", ::ContainerItem::_nil(), [&] {
    ::ContainerItem_var next = NeighbourItem(1);
    return CORBA::is_nil(next) ? NeighbourItem(-1) : next._retn();
  });
}

#define VANTREL_ITEM_REFERENCE(Operation, Getter)               \
  char* TContainerItem_Impl::Operation() {                      \
    return GuardedText("TContainerItem_Impl." #Operation, [&] { \
      ::ContainerItem_var item = Getter();                      \
      return CORBA::string_dup(ReferenceString(item).c_str());  \
    });                                                         \
  }
VANTREL_ITEM_REFERENCE(GetPrevItemReference, GetPrevItem)
VANTREL_ITEM_REFERENCE(GetNextItemReference, GetNextItem)
VANTREL_ITEM_REFERENCE(GetNearestItemReference, GetNearestItem)
#undef VANTREL_ITEM_REFERENCE

CORBA::Boolean TContainerItem_Impl::GetCanMoveUp() {
  return Guarded("TContainerItem_Impl.GetCanMoveUp", false, [&] {
    ::Container_var container = GetContainer();
    if (CORBA::is_nil(container) || GetID() == -1 || GetOrder() <= 0) return false;
    ::ContainerItem_var previous = GetPrevItem();
    return !CORBA::is_nil(previous);
  });
}

CORBA::Boolean TContainerItem_Impl::GetCanMoveDown() {
  return Guarded("TContainerItem_Impl.GetCanMoveDown", false, [&] {
    ::Container_var container = GetContainer();
    if (CORBA::is_nil(container) || GetID() == -1 || container->GetMaxOrder() <= GetOrder()) return false;
    ::ContainerItem_var next = GetNextItem();
    return !CORBA::is_nil(next);
  });
}

bool TContainerItem_Impl::ExchangeOrderWith(CORBA::Long distance) {
  ::Container_var container = GetContainer();
  ::ContainerItem_var self = _this();
  ::ContainerItem_var neighbour = NeighbourItem(distance);
  return container->ExchangeItemsOrders(self, neighbour);
}

CORBA::Boolean TContainerItem_Impl::MoveUp() {
  return Guarded("TContainerItem_Impl.MoveUp", false, [&] { return GetCanMoveUp() && ExchangeOrderWith(-1); });
}

CORBA::Boolean TContainerItem_Impl::MoveDown() {
  return Guarded("TContainerItem_Impl.MoveDown", false, [&] { return GetCanMoveDown() && ExchangeOrderWith(1); });
}

::ContainerItemEvents_ptr TContainerItem_Impl::GetContainerItemEventsListener() {
  std::lock_guard lock(itemMutex_);
  return itemListener_.Get();
}

void TContainerItem_Impl::SetContainerItemEventsListener(::ContainerItemEvents_ptr listener) {
  std::lock_guard lock(itemMutex_);
  itemListener_.Set(listener);
}

void TContainerItem_Impl::DoAdd() {
  PostItemEvent("DoAdd", [](::ContainerItemEvents_ptr listener) { listener->DoAdd(); });
}

void TContainerItem_Impl::DoDelete() {
  PostItemEvent("DoDelete", [](::ContainerItemEvents_ptr listener) { listener->DoDelete(); });
}

void TContainerItem_Impl::PostItemEvent(const char* operation, void (*call)(::ContainerItemEvents_ptr)) {
  std::lock_guard lock(itemMutex_);
  if (itemListener_.Dropped()) itemListener_.Clear();
  itemListener_.Post(operation, call);
}

CORBA::Boolean TContainerItem_Impl::AssignFrom(::Base_ptr source) {
  BeginUpdate();
  const bool result = Guarded("TContainerItem_Impl.AssignFrom", false, [&] {
    ::ContainerItem_var item = ::ContainerItem::_narrow(source);
    if (CORBA::is_nil(item)) throw std::invalid_argument("Invalid class typecast");
    const bool assigned = TBase_Impl::AssignFrom(source);
    // The ID first, while the container that lists this item is still the one that hears of the change.
    SetID(item->GetID());
    SetOrder(item->GetOrder());
    ::Container_var container = item->GetContainer();
    SetContainer(container);
    return assigned;
  });
  EndUpdate();
  return result;
}

CORBA::Boolean TContainerItem_Impl::LoadFromIniFile(const char* fileName, const char* section) {
  bool result = TBase_Impl::LoadFromIniFile(fileName, section);
  if (!std::filesystem::exists(fileName)) return result;
  BeginUpdate();
  result = Guarded("TContainerItem_Impl.LoadFromIniFile", false,
                   [&] {
                     TMemIniFile* ini = TIniStorage::Instance()->GetIniFile(fileName);
                     SetID(ini->ReadInteger(section, "ID", GetID()));
                     SetOrder(ini->ReadInteger(section, "Order", GetOrder()));
                     return true;
                   }) &&
           result;
  EndUpdate();
  return result;
}

CORBA::Boolean TContainerItem_Impl::SaveToIniFile(const char* fileName, const char* section) {
  const bool result = TBase_Impl::SaveToIniFile(fileName, section);
  return Guarded("TContainerItem_Impl.SaveToIniFile", false,
                 [&] {
                   TMemIniFile* ini = TIniStorage::Instance()->GetIniFile(fileName);
                   ini->WriteInteger(section, "ID", GetID());
                   ini->WriteInteger(section, "Order", GetOrder());
                   return true;
                 }) &&
         result;
}

bool TContainerItem_Impl::LoadItemWithKeys(const char* qualifiedName, const char* fileName, const char* section,
                                           const std::function<void(TMemIniFile&)>& readKeys,
                                           const std::function<bool()>& loadBase) {
  const bool loaded = loadBase ? loadBase() : TContainerItem_Impl::LoadFromIniFile(fileName, section);
  if (!std::filesystem::exists(fileName)) return loaded;
  BeginUpdate();
  const bool keys = Guarded(qualifiedName, false, [&] {
    readKeys(*TIniStorage::Instance()->GetIniFile(fileName));
    return true;
  });
  EndUpdate();
  return loaded && keys;
}

bool TContainerItem_Impl::SaveItemWithKeys(const char* qualifiedName, const char* fileName, const char* section,
                                           const std::function<void(TMemIniFile&)>& writeKeys,
                                           const std::function<bool()>& saveBase) {
  const bool saved = saveBase ? saveBase() : TContainerItem_Impl::SaveToIniFile(fileName, section);
  const bool keys = Guarded(qualifiedName, false, [&] {
    writeKeys(*TIniStorage::Instance()->GetIniFile(fileName));
    return true;
  });
  return saved && keys;
}

void TContainerItem_Impl::DoChange() {
  TBase_Impl::DoChange();
  Guarded("TContainerItem_Impl.DoChange", [&] {
    ::Container_var container = GetContainer();
    if (GetUpdateCount() == 0 && !CORBA::is_nil(container)) container->DoItemChange(GetID());
  });
}

}  // namespace vantrel
