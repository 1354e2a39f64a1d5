#pragma once

#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "model/ContainerLib.h"

namespace vantrel {

// The server's telephone lines, found by their device numbers, and the last-contact table: for a caller's
// number, the operator who last talked to that caller.
class TLines_Impl : public virtual POA_Lines, public TContainer_Impl {
 public:
  TLines_Impl();
  ~TLines_Impl() override;

  ::ContainerItem_ptr GetItemByDevicePhoneNumber(const char* phoneNumber) override;
  ::Operator_ptr GetLastContact(const char* phoneNumber) override;
  ::Operator_ptr SetLastContact(const char* phoneNumber, ::Operator_ptr contact) override;
  CORBA::Boolean GetIsOuterLinePhoneNumber(const char* phoneNumber) override;
  // The records straight from the line servants, each reference string made once per line.
  ::LineItemSeq* GetItemsArray() override;

  ::ContainerItem_ptr CreateItem(CORBA::Boolean assignIdentity) override;
  CORBA::Boolean DeleteItem(::ContainerItem_ptr item) override;
  // The stored lines, then one line per TAPI line device: created, re-bound or removed to match.
  CORBA::Boolean LoadItemsFromIniFile(const char* fileName, const char* section) override;
  CORBA::Boolean LoadFromIniFile(const char* fileName, const char* section) override;
  CORBA::Boolean SaveToIniFile(const char* fileName, const char* section) override;

 protected:
  void FillLineItem(CORBA::Long index, ::LineItem& record) override;

 private:
  bool SaveLastContactsToIniFile(const char* fileName, const char* section);
  // The line with the device phone number (the last listed one wins), from an index made again whenever the
  // list or a line's number changed.
  ::Line_ptr LineByNumber(const std::string& phoneNumber);

  std::unordered_map<std::string, ::Line_var> byNumber_;  // guarded by Lock()
  std::uint64_t byNumberChanges_ = ~std::uint64_t{0};     // guarded by Lock(): Changes() when byNumber_ was made

  std::mutex contactsMutex_;
  std::vector<std::pair<std::string, std::string>> lastContacts_;  // guarded by contactsMutex_; in table order
};

}  // namespace vantrel
