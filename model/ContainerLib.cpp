#include "ContainerLib.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <filesystem>
#include <memory>

#include "support/FormatText.h"
#include "support/IniStorage.h"
#include "support/ProcessState.h"

namespace vantrel {

namespace {
std::string ItemsSection(const char* section) { return FormatText("%s_Items", {section}); }
std::string ItemSection(const char* section, std::size_t index) {
  return FormatText("%s_%d", {section, static_cast<long long>(index)});
}
}  // namespace

TContainer_Impl::TContainer_Impl() = default;

// At its end the list only lets go of its items: the POA may be gone already, so they are not called.
TContainer_Impl::~TContainer_Impl() {
  std::lock_guard lock(lock_);
  items_.clear();
}

::ContainerItemSeq* TContainer_Impl::GetItems() {
  return WithItems([](ItemList& items) {
    auto result = std::make_unique<::ContainerItemSeq>();
    result->length(static_cast<CORBA::ULong>(items.size()));
    for (std::size_t i = 0; i < items.size(); ++i)
      (*result)[static_cast<CORBA::ULong>(i)] = ::ContainerItem::_duplicate(items[i]);
    return result.release();
  });
}

CORBA::Long TContainer_Impl::GetItemsCount() {
  return WithItems([](ItemList& items) { return static_cast<CORBA::Long>(items.size()); });
}

CORBA::Long TContainer_Impl::MaxOfItems(CORBA::Long (::_objref_ContainerItem::*key)()) {
  return WithItems([key](ItemList& items) {
    CORBA::Long result = -1;
    for (auto& item : items) result = std::max(result, (item.in()->*key)());
    return result;
  });
}

CORBA::Long TContainer_Impl::GetMaxID() {
  return Guarded("TContainer_Impl.GetMaxID", CORBA::Long(-1),
                 [&] { return MaxOfItems(&::_objref_ContainerItem::GetID); });
}

CORBA::Long TContainer_Impl::GetNextID() {
  return Guarded("TContainer_Impl.GetNextID", CORBA::Long(-1), [&] {
    std::lock_guard lock(lock_);
    lastID_ = std::max(lastID_, GetMaxID());
    return ++lastID_;
  });
}

CORBA::Long TContainer_Impl::GetMaxOrder() {
  return Guarded("TContainer_Impl.GetMaxOrder", CORBA::Long(-1),
                 [&] { return MaxOfItems(&::_objref_ContainerItem::GetOrder); });
}

CORBA::Long TContainer_Impl::GetNextOrder() {
  return Guarded("TContainer_Impl.GetNextOrder", CORBA::Long(-1), [&] { return GetMaxOrder() + 1; });
}

::ContainerItem_ptr TContainer_Impl::GetFirstItem() {
  return Guarded("TContainer_Impl.GetFirstItem", ::ContainerItem::_nil(), [&] { return GetItem(0); });
}

::ContainerItem_ptr TContainer_Impl::GetLastItem() {
  return Guarded("TContainer_Impl.GetLastItem", ::ContainerItem::_nil(), [&] {
    std::lock_guard lock(lock_);
    return GetItem(static_cast<CORBA::Long>(items_.size()) - 1);
  });
}

#define VANTREL_CONTAINER_REFERENCE(Operation, Lookup, ...)    \
  char* TContainer_Impl::Operation(__VA_ARGS__) {              \
    return GuardedText("TContainer_Impl." #Operation, [&] {    \
      ::ContainerItem_var item = Lookup;                       \
      return CORBA::string_dup(ReferenceString(item).c_str()); \
    });                                                        \
  }
VANTREL_CONTAINER_REFERENCE(GetFirstItemReference, GetFirstItem())
VANTREL_CONTAINER_REFERENCE(GetLastItemReference, GetLastItem())
VANTREL_CONTAINER_REFERENCE(CreateItemReference, CreateItem(assignIdentity), CORBA::Boolean assignIdentity)
VANTREL_CONTAINER_REFERENCE(GetItemReference, GetItem(index), CORBA::Long index)
VANTREL_CONTAINER_REFERENCE(GetItemReferenceByID, GetItemByID(id), CORBA::Long id)
VANTREL_CONTAINER_REFERENCE(GetItemReferenceByOrder, GetItemByOrder(order), CORBA::Long order)
VANTREL_CONTAINER_REFERENCE(GetItemReferenceByName, GetItemByName(name), const char* name)
#undef VANTREL_CONTAINER_REFERENCE

::ContainerEvents_ptr TContainer_Impl::GetContainerEventsListener() {
  std::lock_guard lock(listenerMutex_);
  return containerListener_.Get();
}

void TContainer_Impl::SetContainerEventsListener(::ContainerEvents_ptr listener) {
  std::lock_guard lock(listenerMutex_);
  containerListener_.Set(listener);
}

::ContainerItem_ptr TContainer_Impl::CreateItem(CORBA::Boolean) { return ::ContainerItem::_nil(); }

::ContainerItem_ptr TContainer_Impl::ListNewItem(PortableServer::ServantBase* servant, bool assignIdentity) {
  // Our creation reference goes when this returns, also when activation fails; the POA holds the servant after.
  const PortableServer::Servant_var<PortableServer::ServantBase> created(servant);
  PortableServer::POA_var poa = servant->_default_POA();
  PortableServer::ObjectId_var id = poa->activate_object(servant);
  CORBA::Object_var object = poa->id_to_reference(id);
  ::ContainerItem_var item = ::ContainerItem::_narrow(object);
  ::Environment_var environment = GetEnvironment();
  item->SetEnvironment(environment);
  if (assignIdentity) {
    item->SetID(GetNextID());
    item->SetOrder(GetNextOrder());
  }
  AddItem(item);
  return item._retn();
}

CORBA::Boolean TContainer_Impl::AddItem(::ContainerItem_ptr item) {
  return Guarded("TContainer_Impl.AddItem", false, [&] {
    if (CORBA::is_nil(item)) throw std::invalid_argument("No item");
    const CORBA::Long id = item->GetID();  // the item may be a client's own: asked before the list is locked
    ::ContainerItem_var displaced;
    bool readded = false;
    {
      std::lock_guard lock(lock_);
      ::ContainerItem_var listed = GetItemByID(id);
      if (!items_.empty() && items_.back()->_is_equivalent(item)) {
        // A load adds what CreateItem has just listed: it stays where it is, listed once; another item with its
        // ID goes, as below.
        if (!CORBA::is_nil(listed) && !listed->_is_equivalent(item) && UnlistLocked(listed, id)) {
          displaced = listed._retn();
        }
      } else {
        if (!CORBA::is_nil(listed) && UnlistLocked(listed, id)) {
          // An item that is listed already moves to the end and stays served.
          readded = listed->_is_equivalent(item);
          displaced = listed._retn();
        }
        items_.push_back(::ContainerItem::_duplicate(item));
        IndexListed(items_.back().in(), id);
        ItemsChanged();
      }
    }
    // The item and the listeners hear of it once the list is let go: any of them may be in another process.
    if (!CORBA::is_nil(displaced)) NoteUnlisted(displaced, id, !readded);
    ::Container_var self = _this();
    item->SetContainer(self);
    item->DoAdd();
    DoItemAdd(id);
    return true;
  });
}

bool TContainer_Impl::UnlistLocked(::ContainerItem_ptr item, CORBA::Long id) {
  assert(lock_.HeldByThisThread());
  const CORBA::Long index = GetItemIndex(item);
  if (index == -1) return false;
  IndexUnlisted(items_[static_cast<std::size_t>(index)].in(), id);
  items_.erase(items_.begin() + index);
  ItemsChanged();
  return true;
}

void TContainer_Impl::NoteUnlisted(::ContainerItem_ptr item, CORBA::Long id, bool deactivate) {
  item->SetContainer(::Container::_nil());
  item->DoDelete();
  DoItemDelete(id);
  // Remote references to a deleted item stop working; the servant ends with its last reference.
  if (PortableServer::POA_ptr poa = ProcessRootPOA(); deactivate && !CORBA::is_nil(poa)) {
    try {
      PortableServer::ObjectId_var objectId = poa->reference_to_id(item);
      poa->deactivate_object(objectId);
    } catch (const PortableServer::POA::ObjectNotActive&) {
    } catch (const PortableServer::POA::WrongAdapter&) {
    }
  }
}

CORBA::Boolean TContainer_Impl::DeleteItem(::ContainerItem_ptr item) {
  return Guarded("TContainer_Impl.DeleteItem", false, [&] {
    if (CORBA::is_nil(item)) throw std::invalid_argument("No item");
    const CORBA::Long id = item->GetID();
    ::ContainerItem_var listed;
    {
      std::lock_guard lock(lock_);
      listed = GetItemByID(id);
      if (!UnlistLocked(item, id)) return true;
    }
    item->SetContainer(::Container::_nil());
    item->DoDelete();
    DoItemDelete(id);
    if (PortableServer::POA_ptr poa = ProcessRootPOA(); !CORBA::is_nil(poa) && !CORBA::is_nil(listed)) {
      try {
        PortableServer::ObjectId_var objectId = poa->reference_to_id(listed);
        poa->deactivate_object(objectId);
      } catch (const PortableServer::POA::ObjectNotActive&) {
      } catch (const PortableServer::POA::WrongAdapter&) {
      }
    }
    return true;
  });
}

CORBA::Boolean TContainer_Impl::ClearItems() {
  return Guarded("TContainer_Impl.ClearItems", false, [&] {
    ItemList cleared;
    {
      std::lock_guard lock(lock_);
      cleared.swap(items_);
      byID_.clear();
      idCount_.clear();
      byIDStale_ = false;
      ItemsChanged();
    }
    // Last listed first, as they were let go before.
    while (!cleared.empty()) {
      ::ContainerItem_var item = cleared.back();
      cleared.pop_back();
      item->SetContainer(::Container::_nil());
      item->DoDelete();
      DoItemDelete(item->GetID());
    }
    return true;
  });
}

CORBA::Long TContainer_Impl::GetItemIndex(::ContainerItem_ptr item) {
  return Guarded("TContainer_Impl.GetItemIndex", CORBA::Long(-1), [&] {
    if (CORBA::is_nil(item)) return CORBA::Long(-1);
    const CORBA::Long id = item->GetID();
    return WithItems([&](ItemList& items) {
      for (std::size_t i = items.size(); i-- > 0;) {
        if (items[i]->GetID() == id) return static_cast<CORBA::Long>(i);
      }
      return CORBA::Long(-1);
    });
  });
}

::ContainerItem_ptr TContainer_Impl::GetItem(CORBA::Long index) {
  return Guarded("TContainer_Impl.GetItem", ::ContainerItem::_nil(), [&] {
    return WithItems([&](ItemList& items) {
      if (index < 0 || static_cast<std::size_t>(index) >= items.size()) return ::ContainerItem::_nil();
      return ::ContainerItem::_duplicate(items[static_cast<std::size_t>(index)]);
    });
  });
}

CORBA::Long TContainer_Impl::GetItemID(CORBA::Long index) {
  return Guarded("TContainer_Impl.GetItemID", CORBA::Long(-1), [&] {
    ::ContainerItem_var item = GetItem(index);
    return CORBA::is_nil(item) ? CORBA::Long(-1) : item->GetID();
  });
}

char* TContainer_Impl::GetItemName(CORBA::Long index) {
  return GuardedText("TContainer_Impl.GetItemName", [&] {
    ::ContainerItem_var item = GetItem(index);
    return CORBA::is_nil(item) ? CORBA::string_dup("") : item->GetObjectName();
  });
}

::ContainerItem_ptr TContainer_Impl::FindLast(const std::function<bool(::ContainerItem_ptr)>& matches) {
  return WithItems([&](ItemList& items) {
    ::ContainerItem_ptr found = ::ContainerItem::_nil();
    for (auto& item : items) {
      if (matches(item)) found = item.in();
    }
    return ::ContainerItem::_duplicate(found);
  });
}

::ContainerItem_ptr TContainer_Impl::GetItemByID(CORBA::Long id) {
  return Guarded("TContainer_Impl.GetItemByID", ::ContainerItem::_nil(), [&] {
    std::lock_guard lock(lock_);
    RebuildIndexIfStale();
    const auto found = byID_.find(id);
    return found == byID_.end() ? ::ContainerItem::_nil() : ::ContainerItem::_duplicate(found->second);
  });
}

void TContainer_Impl::IndexListed(::ContainerItem_ptr item, CORBA::Long id) {
  assert(lock_.HeldByThisThread());
  ++idCount_[id];
  byID_[id] = item;  // listed last: the one a scan would find
}

void TContainer_Impl::IndexUnlisted(::ContainerItem_ptr item, CORBA::Long id) {
  assert(lock_.HeldByThisThread());
  const auto count = idCount_.find(id);
  if (count == idCount_.end()) {
    byIDStale_ = true;
    return;
  }
  if (--count->second == 0) {
    idCount_.erase(count);
    byID_.erase(id);
  } else if (const auto found = byID_.find(id); found == byID_.end() || found->second == item) {
    byIDStale_ = true;  // another item with the ID is the last one now
  }
}

void TContainer_Impl::RebuildIndexIfStale() {
  assert(lock_.HeldByThisThread());
  if (!byIDStale_ && !idChangedUnlocked_.exchange(false)) return;
  byID_.clear();
  idCount_.clear();
  for (auto& item : items_) IndexListed(item.in(), item->GetID());
  byIDStale_ = false;
}

void TContainer_Impl::LookupKeyChanged() { ItemsChanged(); }

void TContainer_Impl::ItemIDChanged(CORBA::Long previous, CORBA::Long id) {
  ItemsChanged();
  std::unique_lock lock(lock_, std::try_to_lock);
  if (!lock.owns_lock()) {
    // The list is busy (maybe with a thread that waits for ours): the index is made again at its next use.
    idChangedUnlocked_ = true;
    return;
  }
  const auto count = idCount_.find(previous);
  if (count == idCount_.end() || count->second != 1) {
    byIDStale_ = true;
    return;
  }
  // The only item listed with the previous ID is the one that changed, unless the change came from an item this
  // container does not list (a copy still bearing its source's container): then the index is made again.
  ::ContainerItem_ptr item = byID_[previous];
  if (item->GetID() != id) {
    byIDStale_ = true;
    return;
  }
  idCount_.erase(count);
  byID_.erase(previous);
  if (++idCount_[id] == 1) {
    byID_[id] = item;
  } else {
    byIDStale_ = true;
  }
}

::ContainerItem_ptr TContainer_Impl::GetItemByOrder(CORBA::Long order) {
  return Guarded("TContainer_Impl.GetItemByOrder", ::ContainerItem::_nil(),
                 [&] { return FindLast([&](::ContainerItem_ptr item) { return item->GetOrder() == order; }); });
}

::ContainerItem_ptr TContainer_Impl::GetItemByName(const char* name) {
  return Guarded("TContainer_Impl.GetItemByName", ::ContainerItem::_nil(), [&] {
    return FindLast([&](::ContainerItem_ptr item) {
      CORBA::String_var itemName = item->GetObjectName();
      return std::strcmp(itemName.in(), name) == 0;
    });
  });
}

CORBA::Boolean TContainer_Impl::ExchangeItemsOrders(::ContainerItem_ptr first, ::ContainerItem_ptr second) {
  return Guarded("TContainer_Impl.ExchangeItemsOrders", false, [&] {
    if (CORBA::is_nil(first) || CORBA::is_nil(second)) throw std::invalid_argument("No item");
    std::lock_guard lock(lock_);
    const CORBA::Long a = first->GetOrder();
    const CORBA::Long b = second->GetOrder();
    first->SetOrder(b);
    second->SetOrder(a);
    return true;
  });
}

// The exchange sort is the contract: it fixes where items with equal keys end up.
CORBA::Boolean TContainer_Impl::SortByOrder() {
  return Guarded("TContainer_Impl.SortByOrder", false, [&] {
    ExchangeSort([](::ContainerItem_ptr item) { return item->GetOrder(); });
    return true;
  });
}

CORBA::Boolean TContainer_Impl::SortByName() {
  return Guarded("TContainer_Impl.SortByName", false, [&] {
    // std::string compares as unsigned bytes, case-sensitive.
    ExchangeSort([](::ContainerItem_ptr item) {
      CORBA::String_var name = item->GetObjectName();
      return std::string(name.in());
    });
    return true;
  });
}

CORBA::Boolean TContainer_Impl::LoadItemsFromIniFile(const char* fileName, const char* section) {
  return Guarded("TContainer_Impl.LoadItemsFromIniFile", false, [&] {
    bool result = ClearItems();
    if (!std::filesystem::exists(fileName)) return result;
    TMemIniFile* ini = TIniStorage::Instance()->GetIniFile(fileName);
    const std::string itemsSection = ItemsSection(section);
    const int count = ini->ReadInteger(itemsSection, "Count", 0);
    {
      std::lock_guard lock(lock_);
      lastID_ = ini->ReadInteger(itemsSection, "ItemID", lastID_);
    }
    int missing = 0;
    for (int i = 0; i < count; ++i) {
      // A count beyond the sections the file holds (a damaged file) makes no phantom items.
      if (!ini->SectionExists(ItemSection(section, static_cast<std::size_t>(i)))) {
        ++missing;
        continue;
      }
      ::ContainerItem_var item = CreateItem(false);
      if (CORBA::is_nil(item)) continue;
      if (item->LoadFromIniFile(fileName, ItemSection(section, static_cast<std::size_t>(i)).c_str()) && result) {
        result = AddItem(item) && result;
      }
    }
    if (missing > 0) {
      DoError("TContainer_Impl.LoadItemsFromIniFile", FormatText("%d of the %d item sections of [%s] are missing in %s",
                                                                 {missing, count, itemsSection, fileName})
                                                          .c_str());
    }
    return result;
  });
}

// Erased in the cached copy whether or not the file exists yet: a second save before the release
// must not leave the sections of the first behind.
bool TContainer_Impl::EraseItemsSections(const char* fileName, const char* section) {
  TMemIniFile* ini = TIniStorage::Instance()->GetIniFile(fileName);
  ini->EraseSectionsStartingWith(std::string(section) + "_");
  return true;
}

CORBA::Boolean TContainer_Impl::SaveItemsToIniFile(const char* fileName, const char* section) {
  return Guarded("TContainer_Impl.SaveItemsToIniFile", false, [&] {
    const bool result = EraseItemsSections(fileName, section);
    TMemIniFile* ini = TIniStorage::Instance()->GetIniFile(fileName);
    std::lock_guard lock(lock_);
    const std::string itemsSection = ItemsSection(section);
    ini->WriteInteger(itemsSection, "Count", static_cast<int>(items_.size()));
    ini->WriteInteger(itemsSection, "ItemID", lastID_);
    for (std::size_t i = 0; i < items_.size(); ++i) {
      ::ContainerItem_var item = GetItem(static_cast<CORBA::Long>(i));
      if (!CORBA::is_nil(item)) item->SaveToIniFile(fileName, ItemSection(section, i).c_str());
    }
    return result;
  });
}

#define VANTREL_CONTAINER_EVENT(Operation)                                                                  \
  void TContainer_Impl::Operation(CORBA::Long id) {                                                         \
    std::lock_guard lock(listenerMutex_);                                                                   \
    if (containerListener_.Dropped()) containerListener_.Clear();                                           \
    containerListener_.Post(#Operation, [id](::ContainerEvents_ptr listener) { listener->Operation(id); }); \
  }
VANTREL_CONTAINER_EVENT(DoItemAdd)
VANTREL_CONTAINER_EVENT(DoItemDelete)
VANTREL_CONTAINER_EVENT(DoItemChange)
#undef VANTREL_CONTAINER_EVENT

namespace {
template <typename Sequence, typename Fill>
Sequence* FillRecords(CORBA::Long count, Fill fill) {
  // Owned here until the ORB takes it: a record that fails to fill frees it.
  auto result = std::make_unique<Sequence>();
  result->length(static_cast<CORBA::ULong>(count));
  for (CORBA::Long i = 0; i < count; ++i) fill(i, (*result)[static_cast<CORBA::ULong>(i)]);
  return result.release();
}
}  // namespace

::LineItemSeq* TContainer_Impl::GetItemsArray() {
  return Guarded("TContainer_Impl.GetItemsArray", static_cast<::LineItemSeq*>(nullptr), [&] {
    std::lock_guard lock(lock_);
    return FillRecords<::LineItemSeq>(GetItemsCount(), [&](CORBA::Long i, ::LineItem& r) { FillLineItem(i, r); });
  });
}

::RuleItemSeq* TContainer_Impl::GetRulesArray() {
  return Guarded("TContainer_Impl.GetRulesArray", static_cast<::RuleItemSeq*>(nullptr), [&] {
    std::lock_guard lock(lock_);
    return FillRecords<::RuleItemSeq>(GetItemsCount(), [&](CORBA::Long i, ::RuleItem& r) { FillRuleItem(i, r); });
  });
}

::TranslateRuleItemSeq* TContainer_Impl::GetTranslateRuleArray() {
  return Guarded("TContainer_Impl.GetTranslateRuleArray", static_cast<::TranslateRuleItemSeq*>(nullptr), [&] {
    std::lock_guard lock(lock_);
    return FillRecords<::TranslateRuleItemSeq>(
        GetItemsCount(), [&](CORBA::Long i, ::TranslateRuleItem& r) { FillTranslateRuleItem(i, r); });
  });
}

::OperatorItemSeq* TContainer_Impl::GetOperatorsArray() {
  return Guarded("TContainer_Impl.GetOperatorsArray", static_cast<::OperatorItemSeq*>(nullptr), [&] {
    std::lock_guard lock(lock_);
    auto result = std::make_unique<::OperatorItemSeq>();
    for (CORBA::Long i = 0; i < GetItemsCount(); ++i) {
      ::ContainerItem_var item = GetItem(i);
      if (CORBA::is_nil(item)) continue;
      const CORBA::ULong at = result->length();
      result->length(at + 1);
      FillOperatorItem(i, (*result)[at]);
    }
    return result.release();
  });
}

CORBA::Boolean TContainer_Impl::AssignFrom(::Base_ptr source) {
  BeginUpdate();
  const bool result = Guarded("TContainer_Impl.AssignFrom", false, [&] {
    ::Container_var container = ::Container::_narrow(source);
    if (CORBA::is_nil(container)) throw std::invalid_argument("Invalid class typecast");
    bool assigned = TContainerItem_Impl::AssignFrom(source);
    ClearItems();
    const CORBA::Long count = container->GetItemsCount();
    for (CORBA::Long i = 0; i < count; ++i) {
      ::ContainerItem_var sourceItem = container->GetItem(i);
      if (CORBA::is_nil(sourceItem)) continue;
      ::ContainerItem_var copy = CreateItem(false);
      if (!CORBA::is_nil(copy) && copy->AssignFrom(sourceItem)) assigned = AddItem(copy) && assigned;
    }
    return assigned;
  });
  EndUpdate();
  return result;
}

CORBA::Boolean TContainer_Impl::LoadFromIniFile(const char* fileName, const char* section) {
  const bool item = TContainerItem_Impl::LoadFromIniFile(fileName, section);
  const bool items = LoadItemsFromIniFile(fileName, section);
  return item && items;
}

bool TContainer_Impl::WithCachedIniFile(const char* fileName, const std::function<bool()>& body) {
  if (!HoldCachedIniFile(fileName)) {
    EndUpdate();
    return false;
  }
  const bool result = body();
  const bool written = ReleaseCachedIniFile(fileName);
  EndUpdate();
  return result && written;
}

CORBA::Boolean TContainer_Impl::SaveToIniFile(const char* fileName, const char* section) {
  const bool item = TContainerItem_Impl::SaveToIniFile(fileName, section);
  const bool items = SaveItemsToIniFile(fileName, section);
  return item && items;
}

}  // namespace vantrel
