#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <unordered_map>
#include <vector>

#include "ContainerItemLib.h"
#include "platform/RecursiveTimedMutex.h"

namespace vantrel {

// An ordered list of items with ID allocation, look-ups, sorting, listener events and the recursive INI layout.
// Concrete containers override CreateItem and the Fill hooks.
//
// Threads and locks of the object tree (read this before changing any servant):
// - Remote requests run on the ORB's worker threads; a request that touches a line's device hands that part to
//   the telephony thread and waits for it (see telephony/TelephonyThread.h). The telephony thread runs the
//   lines' events, routing and the call-log hand-over, and calls into the tree itself (operators, rules, lines).
// - Listener events leave from a queue per client with a thread of its own (ClientQueue.h); call-log rows are
//   written by the Database's writer thread (CallLogWriter.h). Neither calls back into the tree.
// - Lock order, outer to inner; never take an outer lock while holding an inner one:
//     1. IniFileOperations (host/ProcessState.h): remote INI loads and saves, the start-up load
//     2. a container's list lock (Lock(), re-entrant; parent container before child container)
//     3. an object's own mutex (TBase_Impl, TContainerItem_Impl, TLine_Impl, TOperator_Impl, listenerMutex_)
//     4. the client queues' locks (TClientQueues, then TClientQueue)
//     5. leaves: the INI cache, the logger, the exchange
//   Each of these locks carries its rank (platform/LockRank.h), and a thread that takes one out of order is
//   reported at once; the checking builds abort there.
// - Never wait for the telephony thread while holding a list lock: the telephony thread may be waiting for that
//   list. Functions named ...Locked and the index helpers below expect the list lock held and assert it.
// - Calling other servants under the list lock is allowed only where the lock order allows it; look-ups that ask
//   every item (LinesLib's number index) take a snapshot of the list and ask without the lock. AddItem,
//   DeleteItem and ClearItems change the list under the lock and only then tell the items and the listener
//   (either may be a client's own object in another process).
class TContainer_Impl : public virtual POA_Container, public TContainerItem_Impl {
 public:
  TContainer_Impl();
  ~TContainer_Impl() override;

  ::ContainerItemSeq* GetItems() override;
  CORBA::Long GetItemsCount() override;
  CORBA::Long GetMaxID() override;
  CORBA::Long GetNextID() override;
  CORBA::Long GetMaxOrder() override;
  CORBA::Long GetNextOrder() override;
  ::ContainerItem_ptr GetFirstItem() override;
  ::ContainerItem_ptr GetLastItem() override;
  char* GetFirstItemReference() override;
  char* GetLastItemReference() override;
  ::ContainerEvents_ptr GetContainerEventsListener() override;
  void SetContainerEventsListener(::ContainerEvents_ptr listener) override;
  ::ContainerItem_ptr CreateItem(CORBA::Boolean assignIdentity) override;
  char* CreateItemReference(CORBA::Boolean assignIdentity) override;
  CORBA::Boolean AddItem(::ContainerItem_ptr item) override;
  CORBA::Boolean DeleteItem(::ContainerItem_ptr item) override;
  CORBA::Boolean ClearItems() override;
  CORBA::Long GetItemIndex(::ContainerItem_ptr item) override;
  ::ContainerItem_ptr GetItem(CORBA::Long index) override;
  CORBA::Long GetItemID(CORBA::Long index) override;
  char* GetItemName(CORBA::Long index) override;
  ::ContainerItem_ptr GetItemByID(CORBA::Long id) override;
  ::ContainerItem_ptr GetItemByOrder(CORBA::Long order) override;
  ::ContainerItem_ptr GetItemByName(const char* name) override;
  char* GetItemReference(CORBA::Long index) override;
  char* GetItemReferenceByID(CORBA::Long id) override;
  char* GetItemReferenceByOrder(CORBA::Long order) override;
  char* GetItemReferenceByName(const char* name) override;
  CORBA::Boolean ExchangeItemsOrders(::ContainerItem_ptr first, ::ContainerItem_ptr second) override;
  CORBA::Boolean SortByOrder() override;
  CORBA::Boolean SortByName() override;
  CORBA::Boolean LoadItemsFromIniFile(const char* fileName, const char* section) override;
  CORBA::Boolean SaveItemsToIniFile(const char* fileName, const char* section) override;
  void DoItemAdd(CORBA::Long id) override;
  void DoItemDelete(CORBA::Long id) override;
  void DoItemChange(CORBA::Long id) override;
  ::LineItemSeq* GetItemsArray() override;
  ::RuleItemSeq* GetRulesArray() override;
  ::TranslateRuleItemSeq* GetTranslateRuleArray() override;
  ::OperatorItemSeq* GetOperatorsArray() override;

  CORBA::Boolean AssignFrom(::Base_ptr source) override;
  CORBA::Boolean LoadFromIniFile(const char* fileName, const char* section) override;
  CORBA::Boolean SaveToIniFile(const char* fileName, const char* section) override;

 protected:
  // Hooks of the concrete containers; the records stay empty here.
  virtual void FillLineItem(CORBA::Long index, ::LineItem& record) {}
  virtual void FillRuleItem(CORBA::Long index, ::RuleItem& record) {}
  virtual void FillTranslateRuleItem(CORBA::Long index, ::TranslateRuleItem& record) {}
  virtual void FillOperatorItem(CORBA::Long index, ::OperatorItem& record) {}
  bool EraseItemsSections(const char* fileName, const char* section);

  // The top-level load or save of a file: the cached INI object for the whole tree, the body, then the file
  // written back and dropped from the cache, and one open update bracket closed.
  bool WithCachedIniFile(const char* fileName, const std::function<bool()>& body);

  // The common part of every concrete CreateItem: environment, identity, listing. Takes over the servant.
  ::ContainerItem_ptr ListNewItem(PortableServer::ServantBase* servant, bool assignIdentity);

  platform::RecursiveTimedMutex& Lock() { return lock_; }
  // Whenever what a derived container's look-ups see may have changed (an item listed or let go, the list
  // reordered, a key of an item changed) the count moves on, and their indexes are made again at their next use.
  // Lock-free, so that the telephony thread can say so without taking the list's lock.
  void ItemsChanged() { ++changes_; }
  std::uint64_t Changes() const { return changes_.load(); }
  // The system's exchange sort, part of the contract: for i, for j over the whole list, exchange positions i and
  // j when key(i) < key(j). Keys are read once, before sorting.
  template <typename Key>
  void ExchangeSort(Key key) {
    std::lock_guard lock(lock_);
    ItemsChanged();
    byIDStale_ = true;  // the last listed of a repeated ID may be another one now
    std::vector<decltype(key(items_[0].in()))> keys;
    for (auto& item : items_) keys.push_back(key(item.in()));
    for (std::size_t i = 0; i < items_.size(); ++i) {
      for (std::size_t j = 0; j < items_.size(); ++j) {
        if (keys[i] < keys[j]) {
          std::swap(items_[i], items_[j]);
          std::swap(keys[i], keys[j]);
        }
      }
    }
  }
  // Runs the body with the list locked; the body may call other list operations of this container.
  template <typename Body>
  auto WithItems(Body&& body) {
    std::lock_guard lock(lock_);
    return body(items_);
  }

 public:
  // Inside the server: an item of this container changed a key that a derived container looks it up by.
  void LookupKeyChanged();
  // Inside the server: an item of this container changed its ID.
  void ItemIDChanged(CORBA::Long previous, CORBA::Long id);

 private:
  using ItemList = std::vector<::ContainerItem_var>;
  // The last listed element for which the predicate holds (the last match wins).
  ::ContainerItem_ptr FindLast(const std::function<bool(::ContainerItem_ptr)>& matches);
  // The largest value of the key among the items, -1 for none.
  CORBA::Long MaxOfItems(CORBA::Long (::_objref_ContainerItem::*key)());

  platform::RecursiveTimedMutex lock_{platform::LockRank::ContainerList};
  ItemList items_;  // guarded by lock_
  // The index by ID, kept with the list: the last listed item of each ID and how many items have it. What the
  // index cannot follow exactly (a repeated ID, a change it heard of without the lock) makes it stale, and it is
  // made again from the list at its next use.
  void IndexListed(::ContainerItem_ptr item, CORBA::Long id);
  void IndexUnlisted(::ContainerItem_ptr item, CORBA::Long id);
  void RebuildIndexIfStale();
  // Takes the last listed item of the item's ID off the list and the index; false when none is listed.
  bool UnlistLocked(::ContainerItem_ptr item, CORBA::Long id);
  // Tells an item taken off the list, and the listener, with the list let go; deactivated unless it stays served.
  void NoteUnlisted(::ContainerItem_ptr item, CORBA::Long id, bool deactivate);

  std::atomic<std::uint64_t> changes_{0};
  std::unordered_map<CORBA::Long, ::ContainerItem_ptr> byID_;  // guarded by lock_; not owned (items_ holds them)
  std::unordered_map<CORBA::Long, std::size_t> idCount_;       // guarded by lock_
  bool byIDStale_ = false;                                     // guarded by lock_
  std::atomic<bool> idChangedUnlocked_{false};
  CORBA::Long lastID_ = -1;                                    // guarded by lock_
  platform::ObjectMutex listenerMutex_;
  TListener<::ContainerEvents> containerListener_;  // guarded by listenerMutex_
};

}  // namespace vantrel
