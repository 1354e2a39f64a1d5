#pragma once

#include <mutex>
#include <string>

#include "DataConnection.h"
#include "model/BaseLib.h"

namespace vantrel {

// The gateway to the CRM database: the connection string (plain or protected), one shared connection,
// connection tests, statements and first-row field reads for rule actions, operators and the call log.
class TDatabase_Impl : public virtual POA_Database, public TBase_Impl {
 public:
  TDatabase_Impl();
  ~TDatabase_Impl() override;

  char* GetConnectionString() override;
  void SetConnectionString(const char* connectionString) override;
  CORBA::Boolean GetCryptConnectionString() override;
  void SetCryptConnectionString(CORBA::Boolean crypt) override;
  CORBA::Boolean GetConnected() override;
  CORBA::Boolean SetConnected(CORBA::Boolean connected, char*& errorText) override;
  CORBA::Boolean TestConnection(const char* connectionString, char*& errorText) override;
  CORBA::Boolean GetFieldValues(const char* sql, const ::StringSeq& fieldNames, ::StringSeq_out fieldValues) override;
  CORBA::Boolean GetFieldValue(const char* sql, const char* fieldName, CORBA::String_out fieldValue) override;
  CORBA::Boolean ExecuteSQL(const char* sql) override;

  CORBA::Boolean LoadFromIniFile(const char* fileName, const char* section) override;
  CORBA::Boolean SaveToIniFile(const char* fileName, const char* section) override;
  CORBA::Boolean AssignFrom(::Base_ptr source) override;

 private:
  std::string IniFolder();
  bool LoadUnsecuredConnectionString(const char* fileName, const char* section);
  bool LoadSecuredConnectionString();
  bool SaveUnsecuredConnectionString(const char* fileName, const char* section);
  bool SaveSecuredConnectionString();

  TDataConnection connection_;
  mutable std::mutex settingsMutex_;
  std::string connectionString_;        // guarded by settingsMutex_
  bool cryptConnectionString_ = false;  // guarded by settingsMutex_
};

}  // namespace vantrel
