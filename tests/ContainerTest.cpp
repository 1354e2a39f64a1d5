// Containers and their items, served by a local ORB and used through their references as clients use them.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "LocalOrb.h"
#include "model/ContainerLib.h"
#include "model/Servant.h"
#include "support/IniStorage.h"
#include "support/ProcessState.h"

using namespace vantrel;
namespace fs = std::filesystem;

namespace {

// A container whose items are plain items, or containers of plain items (so trees nest).
class TTestContainer : public TContainer_Impl {
 public:
  explicit TTestContainer(bool nested = false) : nested_(nested) {}
  ::ContainerItem_ptr CreateItem(CORBA::Boolean assignIdentity) override {
    return Guarded("TTestContainer_Impl.CreateItem", ::ContainerItem::_nil(), [&] {
      PortableServer::ServantBase* servant =
          nested_ ? static_cast<PortableServer::ServantBase*>(new TServant<TTestContainer>(false))
                  : static_cast<PortableServer::ServantBase*>(new TServant<TContainerItem_Impl>());
      return ListNewItem(servant, assignIdentity);
    });
  }

 private:
  const bool nested_;
};

// An item that notes each time it is told something while the thread holds a container's list lock. The local
// ORB calls it on the caller's own thread, so the container's thread is the one asked.
class TWatchfulItem : public TContainerItem_Impl {
 public:
  static inline std::atomic<int> told{0}, toldUnderListLock{0}, toldOnOtherThreads{0};
  static inline std::thread::id expectedThread;
  void SetContainer(::Container_ptr container) override {
    Note();
    TContainerItem_Impl::SetContainer(container);
  }
  void DoAdd() override { Note(); }
  void DoDelete() override { Note(); }

 private:
  static void Note() {
    ++told;
    if (std::this_thread::get_id() != expectedThread) ++toldOnOtherThreads;
    if (platform::lock_ranks::Holds(platform::LockRank::ContainerList)) ++toldUnderListLock;
  }
};

class RecordingContainerEvents : public POA_ContainerEvents {
 public:
  void DoItemAdd(CORBA::Long id) override { Record("add " + std::to_string(id)); }
  void DoItemDelete(CORBA::Long id) override { Record("delete " + std::to_string(id)); }
  void DoItemChange(CORBA::Long id) override { Record("change " + std::to_string(id)); }
  // What arrived of the events the server has posted so far.
  std::vector<std::string> Take() {
    vantrel::TClientQueues::Instance().WaitUntilSent(std::chrono::seconds(5));
    std::lock_guard lock(mutex_);
    return std::exchange(events_, {});
  }

 private:
  void Record(std::string event) {
    std::lock_guard lock(mutex_);
    events_.push_back(std::move(event));
  }
  std::mutex mutex_;
  std::vector<std::string> events_;
};

class Containers : public ::testing::Test {
 protected:
  void SetUp() override {
    container_ = Orb().Serve<::Container>(new TServant<TTestContainer>(true));
    events_ = new RecordingContainerEvents();
    eventsReference_ = Orb().Serve<::ContainerEvents>(events_);
    folder_ = fs::temp_directory_path() / ("vantrel-containers-" + std::to_string(::getpid()));
    fs::create_directories(folder_);
  }
  void TearDown() override { fs::remove_all(folder_); }

  std::vector<CORBA::Long> Orders() {
    std::vector<CORBA::Long> result;
    for (CORBA::Long i = 0; i < container_->GetItemsCount(); ++i) {
      ::ContainerItem_var item = container_->GetItem(i);
      result.push_back(item->GetOrder());
    }
    return result;
  }
  std::vector<std::string> Names() {
    std::vector<std::string> result;
    for (CORBA::Long i = 0; i < container_->GetItemsCount(); ++i) {
      CORBA::String_var name = container_->GetItemName(i);
      result.push_back(name.in());
    }
    return result;
  }
  ::ContainerItem_ptr Add(const char* name, CORBA::Long order = -1) {
    ::ContainerItem_var item = container_->CreateItem(true);
    item->SetObjectName(name);
    if (order != -1) item->SetOrder(order);
    return item._retn();
  }

  ::Container_var container_;
  RecordingContainerEvents* events_ = nullptr;
  ::ContainerEvents_var eventsReference_;
  fs::path folder_;
};

}  // namespace

TEST_F(Containers, IdsAreNeverHandedOutTwiceEvenAfterDeletes) {
  EXPECT_EQ(container_->GetNextOrder(), 0);
  std::vector<::ContainerItem_var> items;
  for (int i = 0; i < 5; ++i) items.emplace_back(Add("item"));
  for (int i = 0; i < 5; ++i) EXPECT_EQ(items[i]->GetID(), i);
  EXPECT_TRUE(container_->DeleteItem(items[4]));
  EXPECT_EQ(container_->GetNextID(), 5);
  EXPECT_EQ(container_->GetNextOrder(), 4);
}

TEST_F(Containers, AddingAListedIdReplacesItDeleteThenAdd) {
  ::ContainerItem_var first = Add("first");
  ::ContainerItem_var second = Add("second");
  container_->SetContainerEventsListener(eventsReference_);
  ::ContainerItem_var stranger = Orb().Serve<::ContainerItem>(new TServant<TContainerItem_Impl>());
  stranger->SetID(first->GetID());
  EXPECT_TRUE(container_->AddItem(stranger));
  EXPECT_EQ(events_->Take(), (std::vector<std::string>{"delete 0", "add 0"}));
  EXPECT_EQ(container_->GetItemsCount(), 2);
  EXPECT_EQ(container_->GetItemIndex(stranger), 1);
  // The replaced element's servant is deactivated: its references stop working.
  EXPECT_THROW(first->GetID(), CORBA::OBJECT_NOT_EXIST);
}

TEST_F(Containers, ItemsAreToldOfAddsDeletesAndClearsOnlyWithTheListLetGo) {
  TWatchfulItem::told = 0;
  TWatchfulItem::toldUnderListLock = 0;
  TWatchfulItem::toldOnOtherThreads = 0;
  TWatchfulItem::expectedThread = std::this_thread::get_id();
  const auto watchful = [](CORBA::Long id) {
    ::ContainerItem_var item = Orb().Serve<::ContainerItem>(new TServant<TWatchfulItem>());
    item->SetID(id);
    return item._retn();
  };
  container_->SetContainerEventsListener(eventsReference_);
  ::ContainerItem_var first = watchful(7), second = watchful(8), replacement = watchful(7);
  EXPECT_TRUE(container_->AddItem(first));
  EXPECT_TRUE(container_->AddItem(second));
  EXPECT_TRUE(container_->AddItem(second));       // listed last already: stays, told again
  EXPECT_TRUE(container_->AddItem(replacement));  // the first goes
  EXPECT_TRUE(container_->AddItem(second));       // listed already: moves to the end
  EXPECT_TRUE(container_->DeleteItem(second));
  ::ContainerItem_var third = watchful(9);
  EXPECT_TRUE(container_->AddItem(third));
  EXPECT_TRUE(container_->ClearItems());
  EXPECT_EQ(events_->Take(), (std::vector<std::string>{"add 7", "add 8", "add 8", "delete 7", "add 7", "delete 8",
                                                       "add 8", "delete 8", "add 9", "delete 9", "delete 7"}));
  EXPECT_EQ(container_->GetItemsCount(), 0);
  EXPECT_EQ(TWatchfulItem::told, 22);
  EXPECT_EQ(TWatchfulItem::toldOnOtherThreads, 0);
  EXPECT_EQ(TWatchfulItem::toldUnderListLock, 0);
}

TEST_F(Containers, LookupsByIdFollowIdChangesRepeatsDeletesAndSorts) {
  std::vector<::ContainerItem_var> items;
  for (const char* name : {"a", "b", "c", "d"}) items.emplace_back(Add(name));
  const auto nameByID = [&](CORBA::Long id) {
    ::ContainerItem_var found = container_->GetItemByID(id);
    return CORBA::is_nil(found) ? std::string("-") : std::string(CORBA::String_var(found->GetObjectName()).in());
  };
  EXPECT_EQ(nameByID(2), "c");
  items[2]->SetID(40);  // a client renumbers a listed item
  EXPECT_EQ(nameByID(2), "-");
  EXPECT_EQ(nameByID(40), "c");
  items[0]->SetID(7);
  items[3]->SetID(7);  // a repeated ID: the last listed one is found, as a scan finds it
  EXPECT_EQ(nameByID(7), "d");
  container_->SortByName();  // a reordered list: the index answers as a scan of it would
  EXPECT_EQ(nameByID(7), "d");
  EXPECT_TRUE(container_->DeleteItem(items[3]));
  EXPECT_EQ(nameByID(7), "a");
  EXPECT_TRUE(container_->DeleteItem(items[0]));
  EXPECT_EQ(nameByID(7), "-");
  EXPECT_EQ(nameByID(1), "b");
  EXPECT_TRUE(container_->ClearItems());
  EXPECT_EQ(nameByID(1), "-");
  ::ContainerItem_var again = Add("e");
  EXPECT_EQ(nameByID(again->GetID()), "e");
}

TEST_F(Containers, DeletingAnUnlistedItemChangesNothing) {
  Add("one");
  ::ContainerItem_var stranger = Orb().Serve<::ContainerItem>(new TServant<TContainerItem_Impl>());
  stranger->SetID(77);
  container_->SetContainerEventsListener(eventsReference_);
  EXPECT_TRUE(container_->DeleteItem(stranger));
  EXPECT_EQ(container_->GetItemsCount(), 1);
  EXPECT_TRUE(events_->Take().empty());
}

TEST_F(Containers, MovesExchangeOrdersWithoutMovingInTheList) {
  ::ContainerItem_var a = Add("a");
  ::ContainerItem_var b = Add("b");
  ::ContainerItem_var c = Add("c");
  EXPECT_FALSE(a->GetCanMoveUp());
  EXPECT_FALSE(a->MoveUp());
  EXPECT_FALSE(c->MoveDown());
  EXPECT_TRUE(b->MoveUp());
  EXPECT_EQ(Orders(), (std::vector<CORBA::Long>{1, 0, 2}));
  EXPECT_EQ(Names(), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_TRUE(container_->SortByOrder());
  EXPECT_EQ(Names(), (std::vector<std::string>{"b", "a", "c"}));
  EXPECT_TRUE(a->MoveDown());
  EXPECT_EQ(Orders(), (std::vector<CORBA::Long>{0, 2, 1}));
  ::ContainerItem_var nearest = c->GetNearestItem();
  EXPECT_EQ(nearest->GetID(), a->GetID());
}

TEST_F(Containers, SortsFollowTheExchangeProcedureOnEqualKeys) {
  Add("x", 2);
  Add("y", 0);
  Add("z", 1);
  container_->SortByOrder();
  EXPECT_EQ(Orders(), (std::vector<CORBA::Long>{0, 1, 2}));

  container_->ClearItems();
  // Equal keys: the exact exchange procedure decides where they end up (worked through by hand).
  ::ContainerItem_var b1 = Add("b");
  ::ContainerItem_var a = Add("a");
  ::ContainerItem_var b2 = Add("b");
  ::ContainerItem_var upper = Add("B");
  container_->SortByName();
  EXPECT_EQ(Names(), (std::vector<std::string>{"B", "a", "b", "b"}));
  // The procedure leaves the second "b" (ID 2) before the first (ID 0).
  EXPECT_EQ(container_->GetItemID(2), b2->GetID());
  EXPECT_EQ(container_->GetItemID(3), b1->GetID());
}

TEST_F(Containers, SavingAShrunkContainerLeavesNoStaleSectionsAndLoadsBack) {
  const std::string file = (folder_ / "Tree.ini").string();
  for (int i = 0; i < 5; ++i) {
    ::ContainerItem_var item = Add(("item " + std::to_string(i)).c_str());
    ::Container_var nested = ::Container::_narrow(item);
    ::ContainerItem_var child = nested->CreateItem(true);
    child->SetObjectName("child");
  }
  ASSERT_TRUE(container_->SaveToIniFile(file.c_str(), "Tree"));
  ::ContainerItem_var third = container_->GetItem(3);
  ::ContainerItem_var fourth = container_->GetItem(4);
  container_->DeleteItem(fourth);
  container_->DeleteItem(third);
  ASSERT_TRUE(container_->SaveToIniFile(file.c_str(), "Tree"));
  ASSERT_TRUE(TIniStorage::Instance()->ReleaseIniFile(file));

  TMemIniFile ini(file);
  EXPECT_TRUE(ini.SectionExists("Tree_2_0"));
  EXPECT_FALSE(ini.SectionExists("Tree_3"));
  EXPECT_FALSE(ini.SectionExists("Tree_4"));
  EXPECT_FALSE(ini.SectionExists("Tree_3_0"));
  EXPECT_EQ(ini.ReadInteger("Tree_Items", "Count", -1), 3);
  EXPECT_EQ(ini.ReadInteger("Tree_Items", "ItemID", -1), 4);

  ::Container_var loaded = Orb().Serve<::Container>(new TServant<TTestContainer>(true));
  ASSERT_TRUE(loaded->LoadFromIniFile(file.c_str(), "Tree"));
  TIniStorage::Instance()->ReleaseIniFile(file);
  ASSERT_EQ(loaded->GetItemsCount(), 3);
  CORBA::String_var name = loaded->GetItemName(2);
  EXPECT_STREQ(name.in(), "item 2");
  EXPECT_EQ(loaded->GetNextID(), 5);
  ::ContainerItem_var item = loaded->GetItem(1);
  ::Container_var nested = ::Container::_narrow(item);
  EXPECT_EQ(nested->GetItemsCount(), 1);
}

TEST_F(Containers, LoadingAMissingFileEmptiesTheContainer) {
  Add("one");
  EXPECT_TRUE(container_->LoadItemsFromIniFile((folder_ / "missing.ini").string().c_str(), "Tree"));
  EXPECT_EQ(container_->GetItemsCount(), 0);
}

TEST_F(Containers, ChangesInsideAnUpdateBracketNotifyNobody) {
  ::ContainerItem_var item = Add("one");
  container_->SetContainerEventsListener(eventsReference_);
  item->DoChange();
  EXPECT_EQ(events_->Take(), (std::vector<std::string>{"change 0"}));
  item->BeginUpdate();
  item->DoChange();
  item->EndUpdate();
  EXPECT_TRUE(events_->Take().empty());
  item->EndUpdate();
  EXPECT_EQ(item->GetUpdateCount(), 0);
}

TEST_F(Containers, ConcurrentClientsKeepTheListConsistent) {
  std::atomic<bool> stop{false};
  std::vector<std::thread> writers;
  for (int t = 0; t < 3; ++t) {
    writers.emplace_back([&] {
      for (int i = 0; i < 60; ++i) {
        ::ContainerItem_var item = container_->CreateItem(true);
        if (i % 3 == 0) container_->DeleteItem(item);
        if (i % 10 == 0) container_->SortByOrder();
      }
    });
  }
  std::thread reader([&] {
    while (!stop) {
      ::LineItemSeq_var records = container_->GetItemsArray();
      ::ContainerItemSeq_var items = container_->GetItems();
      (void)records->length();
      (void)items->length();
    }
  });
  for (auto& writer : writers) writer.join();
  stop = true;
  reader.join();
  EXPECT_EQ(container_->GetItemsCount(), 3 * 40);
  std::set<CORBA::Long> ids;
  for (CORBA::Long i = 0; i < container_->GetItemsCount(); ++i) ids.insert(container_->GetItemID(i));
  EXPECT_EQ(ids.size(), 120u);
}

TEST_F(Containers, ItemIniSectionsHoldExactlyTheKeysOfTheLastSave) {
  const std::string file = (folder_ / "Item.ini").string();
  { std::ofstream(file) << "[Item]\nName=Old\nStale=1\nDescription=kept\n"; }
  ::ContainerItem_var item = Add("fresh");
  // A missing file changes nothing and is no failure; missing keys keep the current values.
  EXPECT_TRUE(item->LoadFromIniFile((folder_ / "none.ini").string().c_str(), "Item"));
  CORBA::String_var name = item->GetObjectName();
  EXPECT_STREQ(name.in(), "fresh");
  const CORBA::Long id = item->GetID();
  EXPECT_TRUE(item->LoadFromIniFile(file.c_str(), "Item"));
  name = item->GetObjectName();
  EXPECT_STREQ(name.in(), "Old");
  EXPECT_EQ(item->GetID(), id);
  EXPECT_TRUE(item->GetEnabled());

  EXPECT_TRUE(item->SaveToIniFile(file.c_str(), "Item"));
  ASSERT_TRUE(TIniStorage::Instance()->ReleaseIniFile(file));
  TMemIniFile ini(file);
  EXPECT_EQ(ini.ReadSection("Item"), (std::vector<std::string>{"Name", "Description", "Enabled", "ID", "Order"}));
  EXPECT_EQ(ini.ReadString("Item", "Description", ""), "kept");
}

TEST_F(Containers, ObjectsWithoutAnEnvironmentHaveNoSiblings) {
  ::ContainerItem_var item = Add("alone");
  CORBA::String_var reference = item->GetRulesReference();
  EXPECT_STREQ(reference.in(), "");
  ::Rules_var rules = item->GetRules();
  EXPECT_TRUE(CORBA::is_nil(rules));
  CORBA::String_var next = item->GetNextItemReference();
  EXPECT_STREQ(next.in(), "");
}
