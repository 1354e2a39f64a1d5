#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "database/CallLogWriter.h"
#include "database/DataConnection.h"
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
  CORBA::Long GetCallLogRowsWaiting() override;

  CORBA::Boolean LoadFromIniFile(const char* fileName, const char* section) override;
  CORBA::Boolean SaveToIniFile(const char* fileName, const char* section) override;
  CORBA::Boolean AssignFrom(::Base_ptr source) override;

  // The call log: a row for the writer, which takes it at once. False, with the reason, when no database is
  // set up to take rows at all.
  bool AcceptCallLogRow(TCallLogRow row, std::string& errorText);
  // Starts the writer, which first writes what an earlier run left in the journal.
  void StartCallLog();
  // Writes the pending rows (to the journal what the database does not take before the deadline).
  void StopCallLog(std::chrono::milliseconds deadline);
  // Inside the server: the callbacks not made yet of the routing line with that number, as the latest row of each
  // says: CallHandle, Rule_id, CallerPhoneNumber, RequestedAt, State, Attempts, NextAttempt. The table is made
  // when missing. Throws the driver's message.
  std::vector<std::vector<std::string>> PendingCallbacks(const std::string& linePhoneNumber);
  // For tests and benchmarks: the writer, started when it was not.
  TCallLogWriter& CallLog();

 private:
  std::string IniFolder();
  std::string ConnectionStringText() const;
  // Opens the shared connection with the current string when it is closed; throws the driver's message.
  void OpenShared(const std::string& iniFolder);
  bool LoadUnsecuredConnectionString(const char* fileName, const char* section);
  bool LoadSecuredConnectionString();
  bool SaveUnsecuredConnectionString(const char* fileName, const char* section);
  bool SaveSecuredConnectionString();

  TDataConnection connection_;
  mutable std::mutex settingsMutex_;
  std::string connectionString_;        // guarded by settingsMutex_
  bool cryptConnectionString_ = false;  // guarded by settingsMutex_
  std::mutex callLogMutex_;
  std::unique_ptr<TCallLogWriter> callLog_;  // guarded by callLogMutex_ while made; last, so it stops first
};

}  // namespace vantrel
