#include "LinesLib.h"

#include <algorithm>
#include <stdexcept>

#include "lines/LineLib.h"
#include "model/Servant.h"
#include "support/FormatText.h"
#include "support/IniStorage.h"
#include "support/VantrelCommonRoutines.h"
#include "telephony/TelephonyThread.h"
#include "telephony/diZudu.h"

namespace vantrel {

namespace {
const char* const kLastContactsSection = "LastContacts";
}

TLines_Impl::TLines_Impl() {
  LogMessage("TLines_Impl.Create()");
  SetObjectName("Lines");
}

TLines_Impl::~TLines_Impl() { LogMessage("TLines_Impl.Destroy()"); }

::Line_ptr TLines_Impl::LineByNumber(const std::string& phoneNumber) {
  const std::uint64_t changes = Changes();
  {
    std::lock_guard lock(Lock());
    if (byNumberChanges_ == changes) {
      const auto found = byNumber_.find(phoneNumber);
      return found == byNumber_.end() ? ::Line::_nil() : ::Line::_duplicate(found->second);
    }
  }
  // Made again from a snapshot of the list: the lines are asked for their numbers without the list's lock.
  const std::vector<::ContainerItem_var> items =
      WithItems([](const auto& listed) { return std::vector<::ContainerItem_var>(listed.begin(), listed.end()); });
  std::unordered_map<std::string, ::Line_var> index;
  for (const ::ContainerItem_var& item : items) {
    ::Line_var line = ::Line::_narrow(item);
    if (CORBA::is_nil(line)) continue;
    CORBA::String_var number = line->GetDevicePhoneNumber();
    index[number.in()] = line;  // the last listed wins, as in a scan
  }
  const auto found = index.find(phoneNumber);
  ::Line_ptr result = found == index.end() ? ::Line::_nil() : ::Line::_duplicate(found->second);
  std::lock_guard lock(Lock());
  if (Changes() == changes) {
    byNumber_ = std::move(index);
    byNumberChanges_ = changes;
  }
  return result;
}

::ContainerItem_ptr TLines_Impl::GetItemByDevicePhoneNumber(const char* phoneNumber) {
  return Guarded("TLines_Impl.GetItemByDevicePhoneNumber", ::ContainerItem::_nil(), [&] {
    ::Line_var line = LineByNumber(phoneNumber);
    return static_cast<::ContainerItem_ptr>(line._retn());
  });
}

CORBA::Boolean TLines_Impl::GetIsOuterLinePhoneNumber(const char* phoneNumber) {
  return Guarded("TLines_Impl.GetIsOuterLinePhoneNumber", false, [&] {
    ::Line_var line = LineByNumber(phoneNumber);
    return !CORBA::is_nil(line) && line->GetIsOuter();
  });
}

::Operator_ptr TLines_Impl::GetLastContact(const char* phoneNumber) {
  return Guarded("TLines_Impl.GetLastContact", ::Operator::_nil(), [&] {
    int id = -1;
    {
      std::lock_guard lock(contactsMutex_);
      const auto entry = std::find_if(lastContacts_.begin(), lastContacts_.end(),
                                      [&](const auto& pair) { return pair.first == phoneNumber; });
      if (entry != lastContacts_.end()) id = StrToIntDef(entry->second, -1);
    }
    if (id == -1) return ::Operator::_nil();
    ::Operators_var operators = GetOperators();
    if (CORBA::is_nil(operators)) return ::Operator::_nil();
    ::ContainerItem_var item = operators->GetItemByID(id);
    return ::Operator::_narrow(item);
  });
}

::Operator_ptr TLines_Impl::SetLastContact(const char* phoneNumber, ::Operator_ptr contact) {
  Guarded("TLines_Impl.SetLastContact", [&] {
    if (CORBA::is_nil(contact)) throw std::invalid_argument("No operator");
    const std::string id = std::to_string(contact->GetID());
    std::lock_guard lock(contactsMutex_);
    const auto entry = std::find_if(lastContacts_.begin(), lastContacts_.end(),
                                    [&](const auto& pair) { return pair.first == phoneNumber; });
    if (entry != lastContacts_.end()) {
      entry->second = id;
    } else {
      lastContacts_.emplace_back(phoneNumber, id);
    }
  });
  return ::Operator::_nil();
}

::ContainerItem_ptr TLines_Impl::CreateItem(CORBA::Boolean assignIdentity) {
  return Guarded("TLines_Impl.CreateItem", ::ContainerItem::_nil(),
                 [&] { return ListNewItem(new TServant<TLine_Impl>(), assignIdentity); });
}

CORBA::Boolean TLines_Impl::LoadItemsFromIniFile(const char* fileName, const char* section) {
  return Guarded("TLines_Impl.LoadItemsFromIniFile", false, [&] {
    return telephony::TTelephonyThread::Instance().Call([&] {
      // An application of its own, only to learn the devices.
      telephony::TTapiApplication devices;
      struct CloseDevices {
        telephony::TTapiApplication& application;
        ~CloseDevices() {
          try {
            application.Close();
          } catch (...) {
          }
        }
      } closeDevices{devices};
      const bool result = TContainer_Impl::LoadItemsFromIniFile(fileName, section);
      devices.Open();
      const std::vector<std::string> names = devices.LineDeviceNames();
      const auto count = static_cast<CORBA::Long>(names.size());
      ::Environment_var environment = GetEnvironment();
      // New lines follow the stored ones in order; counted here rather than looked up for each line.
      CORBA::Long nextOrder = GetNextOrder();
      for (CORBA::Long id = 0; id < count; ++id) {
        const char* name = names[static_cast<std::size_t>(id)].c_str();
        ::Line_var line = ::Line::_narrow(::ContainerItem_var(GetItemByID(id)));
        if (!CORBA::is_nil(line)) {
          line->SetEnvironment(environment);
          line->SetObjectName(name);
          line->SetDeviceID(id);
          continue;
        }
        ::Line_var made = ::Line::_narrow(::ContainerItem_var(CreateItem(false)));
        if (CORBA::is_nil(made)) throw std::runtime_error("No line could be made for device " + std::to_string(id));
        made->SetEnvironment(environment);
        made->SetID(id);
        made->SetOrder(nextOrder++);
        made->SetObjectName(name);
        made->SetDeviceID(id);
        AddItem(made);
      }
      for (CORBA::Long index = GetItemsCount() - 1; index >= 0; --index) {
        ::ContainerItem_var item = GetItem(index);
        ::Line_var line = ::Line::_narrow(item);
        if (CORBA::is_nil(line) || line->GetID() < 0 || line->GetID() > count - 1) DeleteItem(item);
      }
      return result;
    });
  });
}

CORBA::Boolean TLines_Impl::DeleteItem(::ContainerItem_ptr item) {
  Guarded("TLines_Impl.DeleteItem", [&] {
    ::Line_var line = ::Line::_narrow(item);
    if (CORBA::is_nil(line)) return;
    ::Operator_var seated = line->GetOperator();
    if (CORBA::is_nil(seated)) return;
    seated->SetLine(::Line::_nil());
    line->SetOperator(::Operator::_nil());
  });
  return TContainer_Impl::DeleteItem(item);
}

::LineItemSeq* TLines_Impl::GetItemsArray() {
  return Guarded("TContainer_Impl.GetItemsArray", static_cast<::LineItemSeq*>(nullptr), [&] {
    auto records = std::make_unique<::LineItemSeq>();
    WithItems([&](const auto& items) {
      records->length(static_cast<CORBA::ULong>(items.size()));
      for (CORBA::ULong i = 0; i < items.size(); ++i) {
        ::LineItem& record = (*records)[i];
        const TLocalServant<TLine_Impl> line{items[i].in()};
        if (!line) {
          FillLineItem(static_cast<CORBA::Long>(i), record);  // an item of another process: asked remotely
          continue;
        }
        record.ID = line->GetID();
        record.Name = line->GetObjectName();
        record.Rule.ID = line->GetRuleID();
        record.Rule.Name = line->GetRuleName();
        record.Rule.Description = CORBA::string_dup("");
        record.Rule.ItemReference = CORBA::string_dup("");
        record.Rule.Enabled = false;
        record.ItemReference = CORBA::string_dup(line->ReferenceText().c_str());
        record.DevicePhoneNumber = line->GetDevicePhoneNumber();
        record.isOuter = line->GetIsOuter();
        record.UsingDND = line->GetUsingDND();
      }
    });
    return records.release();
  });
}

void TLines_Impl::FillLineItem(CORBA::Long index, ::LineItem& record) {
  ::ContainerItem_var item = GetItem(index);
  ::Line_var line = ::Line::_narrow(item);
  record.ID = GetItemID(index);
  record.Name = GetItemName(index);
  record.Rule.ID = -1;
  record.Rule.Name = CORBA::string_dup("");
  record.Rule.Description = CORBA::string_dup("");
  record.Rule.ItemReference = CORBA::string_dup("");
  record.Rule.Enabled = false;
  record.ItemReference = GetItemReference(index);
  record.isOuter = false;
  record.UsingDND = false;
  if (CORBA::is_nil(line)) return;
  record.Rule.ID = line->GetRuleID();
  record.Rule.Name = line->GetRuleName();
  record.DevicePhoneNumber = line->GetDevicePhoneNumber();
  record.isOuter = line->GetIsOuter();
  record.UsingDND = line->GetUsingDND();
}

CORBA::Boolean TLines_Impl::LoadFromIniFile(const char* fileName, const char* section) {
  TIniStorage* storage = TIniStorage::Instance();
  const bool result = Guarded("TLines_Impl.LoadFromIniFile", false, [&] {
    if (storage == nullptr) throw std::runtime_error("No INI file cache");
    TMemIniFile* ini = storage->GetIniFile(fileName);
    const bool loaded = TContainer_Impl::LoadFromIniFile(fileName, section);
    std::vector<std::pair<std::string, std::string>> table;
    for (const std::string& key : ini->ReadSection(kLastContactsSection)) {
      table.emplace_back(key, ini->ReadString(kLastContactsSection, key, ""));
    }
    std::lock_guard lock(contactsMutex_);
    lastContacts_ = std::move(table);
    return loaded;
  });
  return ReleaseCachedIniFile(fileName) && result;
}

bool TLines_Impl::SaveLastContactsToIniFile(const char* fileName, const char* section) {
  return Guarded("TLines_Impl.SaveLastContactsToIniFile", false, [&] {
    TMemIniFile* ini = TIniStorage::Instance()->GetIniFile(fileName);
    ini->EraseSection(section);
    std::lock_guard lock(contactsMutex_);
    for (const auto& [number, id] : lastContacts_) ini->WriteString(section, number, id);
    return true;
  });
}

CORBA::Boolean TLines_Impl::SaveToIniFile(const char* fileName, const char* section) {
  if (TIniStorage::Instance() == nullptr || !HoldCachedIniFile(fileName)) return false;
  const bool items = TContainer_Impl::SaveToIniFile(fileName, section);
  const bool contacts = SaveLastContactsToIniFile(fileName, kLastContactsSection);
  return ReleaseCachedIniFile(fileName) && items && contacts;
}

}  // namespace vantrel
