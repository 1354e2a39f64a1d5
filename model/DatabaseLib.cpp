#include "DatabaseLib.h"

#include <filesystem>
#include <stdexcept>

#include "database/CrmSchema.h"
#include "database/CryptRoutines.h"
#include "database/SqlDialect.h"
#include "support/IniStorage.h"
#include "support/ProcessState.h"
#include "support/VantrelCommonRoutines.h"

namespace vantrel {

namespace {

const char* const kCryptKey = "CryptConnectionString";
const char* const kConnectionKey = "ConnectionString";
const char* const kSecuredMarker = "SECURED";

void SetText(char*& target, const std::string& text) {
  CORBA::string_free(target);
  target = CORBA::string_dup(text.c_str());
}

TIniStorage& Storage() {
  TIniStorage* storage = TIniStorage::Instance();
  if (storage == nullptr) throw std::runtime_error("No INI file cache");
  return *storage;
}

// Runs the body and hands its failure's message back as text; connect and test failures are not logged.
template <typename Body>
bool ReportingInto(char*& errorText, Body&& body) {
  SetText(errorText, "");
  try {
    body();
    return true;
  } catch (...) {
    SetText(errorText, ExceptionText(std::current_exception()));
    return false;
  }
}

}  // namespace

TDatabase_Impl::TDatabase_Impl() {
  LogMessage("TDatabase_Impl.Create()");
  SetObjectName("Database");
}

TDatabase_Impl::~TDatabase_Impl() {
  StopCallLog(std::chrono::seconds(3));
  LogMessage("TDatabase_Impl.Destroy()");
}

namespace {
// Where the rows wait that the database does not take.
const char* const kCallLogJournal = "CallLog.journal";
}  // namespace

TCallLogWriter& TDatabase_Impl::CallLog() {
  std::lock_guard lock(callLogMutex_);
  if (!callLog_) {
    const std::string folder = IniFolder();
    // The writer's thread calls no virtual member: it may still run while the servant's destructors do.
    callLog_ = std::make_unique<TCallLogWriter>(
        folder, std::filesystem::path(folder) / kCallLogJournal, [this] { return ConnectionStringText(); },
        [this, folder] {
          // The call log has always connected the shared connection on its first row, and clients rely on it;
          // done here, a database that is slow to connect delays no line.
          try {
            OpenShared(folder);
          } catch (...) {
            // The writer finds out for itself, on its own connection.
          }
        });
  }
  return *callLog_;
}

void TDatabase_Impl::StartCallLog() { CallLog(); }

std::vector<std::vector<std::string>> TDatabase_Impl::PendingCallbacks(const std::string& linePhoneNumber) {
  OpenShared(IniFolder());
  for (const std::string& statement : CrmCallbackStatements(connection_.Dialect())) connection_.Execute(statement);
  // Plain SQL both back ends read alike; timestamps come back as "yyyy-mm-dd hh:mm:ss".
  return connection_.QueryRows(
      "select c.CallHandle, c.Rule_id, c.CallerPhoneNumber, c.RequestedAt, c.State, c.Attempts, c.NextAttempt "
      "from tq_VantrelCallback c where c.LinePhoneNumber = " + SqlQuoted(linePhoneNumber) +
      " and c.State not in ('Done', 'Failed') and c.EventOrder = (select max(d.EventOrder) from tq_VantrelCallback d "
      "where d.CallHandle = c.CallHandle) order by c.RequestedAt, c.ID");
}

CORBA::Long TDatabase_Impl::GetCallLogRowsWaiting() {
  std::lock_guard lock(callLogMutex_);
  return callLog_ ? static_cast<CORBA::Long>(callLog_->Waiting()) : 0;
}

void TDatabase_Impl::StopCallLog(std::chrono::milliseconds deadline) {
  std::lock_guard lock(callLogMutex_);
  if (callLog_) callLog_->Stop(deadline);
}

bool TDatabase_Impl::AcceptCallLogRow(TCallLogRow row, std::string& errorText) {
  if (ConnectionStringText().empty()) {
    errorText = "The connection has no connection string";
    return false;
  }
  CallLog().Append(std::move(row));
  return true;
}

std::string TDatabase_Impl::IniFolder() {
  ::Environment_var environment = GetEnvironment();
  if (CORBA::is_nil(environment)) return {};
  CORBA::String_var folder = environment->GetIniFilesPath();
  return folder.in();
}

char* TDatabase_Impl::GetConnectionString() {
  std::lock_guard lock(settingsMutex_);
  return CORBA::string_dup(connectionString_.c_str());
}

void TDatabase_Impl::SetConnectionString(const char* connectionString) {
  std::lock_guard lock(settingsMutex_);
  connectionString_ = connectionString;
}

CORBA::Boolean TDatabase_Impl::GetCryptConnectionString() {
  std::lock_guard lock(settingsMutex_);
  return cryptConnectionString_;
}

void TDatabase_Impl::SetCryptConnectionString(CORBA::Boolean crypt) {
  std::lock_guard lock(settingsMutex_);
  cryptConnectionString_ = crypt;
}

CORBA::Boolean TDatabase_Impl::GetConnected() { return connection_.IsOpen(); }

CORBA::Boolean TDatabase_Impl::SetConnected(CORBA::Boolean connected, char*& errorText) {
  if (!connected) return ReportingInto(errorText, [&] { connection_.Close(); });
  return ReportingInto(errorText, [&] {
    // A relative SQLite file lives in the INI folder.
    OpenShared(IniFolder());
  });
}

std::string TDatabase_Impl::ConnectionStringText() const {
  std::lock_guard lock(settingsMutex_);
  return connectionString_;
}

void TDatabase_Impl::OpenShared(const std::string& iniFolder) {
  if (connection_.IsOpen()) return;
  connection_.SetBaseFolder(iniFolder);
  connection_.SetConnectionString(ConnectionStringText());
  connection_.Open();
}

CORBA::Boolean TDatabase_Impl::TestConnection(const char* connectionString, char*& errorText) {
  return ReportingInto(errorText, [&] {
    TDataConnection probe(IniFolder());
    probe.SetConnectionString(connectionString);
    probe.Open();
    probe.Close();
  });
}

namespace {
// Only a client's own request is refused or confined: routing reads the CRM through the same operations.
bool IsClientSQL() {
  const char* operation = CurrentRemoteOperation();
  if (operation == nullptr) return false;
  const std::string_view name(operation);
  return name == "ExecuteSQL" || name == "GetFieldValue" || name == "GetFieldValues";
}

void RefuseClientSQLWhenOff() {
  if (IsClientSQL() && !ClientSQLAllowed())
    throw std::runtime_error("SQL from clients is switched off in Settings.ini");
}

bool ClientSQLMustOnlyRead() { return ClientSQLReadOnly() && IsClientSQL(); }

template <typename Body>
auto RefusingWrites(Body&& body) {
  try {
    return body();
  } catch (const EWriteRefused& refused) {
    throw std::runtime_error(
        std::string("SQL from clients may only read (Settings.ini: [Security] ClientSQL=ReadOnly): ") + refused.what());
  }
}

std::optional<std::vector<std::string>> ClientQueryFirstRow(TDataConnection& connection, const char* sql,
                                                            const std::vector<std::string>& names) {
  if (!ClientSQLMustOnlyRead()) return connection.QueryFirstRow(sql, names);
  return RefusingWrites([&] { return connection.QueryFirstRowReadOnly(sql, names); });
}
}  // namespace

CORBA::Boolean TDatabase_Impl::GetFieldValues(const char* sql, const ::StringSeq& fieldNames,
                                              ::StringSeq_out fieldValues) {
  fieldValues = new ::StringSeq;
  return Guarded("TDatabase_Impl.GetFieldValues", false, [&] {
    RefuseClientSQLWhenOff();
    std::vector<std::string> names;
    for (CORBA::ULong i = 0; i < fieldNames.length(); ++i) names.emplace_back(fieldNames[i].in());
    const std::optional<std::vector<std::string>> row = ClientQueryFirstRow(connection_, sql, names);
    if (!row) return false;
    fieldValues->length(static_cast<CORBA::ULong>(row->size()));
    for (CORBA::ULong i = 0; i < row->size(); ++i) fieldValues[i] = (*row)[i].c_str();
    return true;
  });
}

CORBA::Boolean TDatabase_Impl::GetFieldValue(const char* sql, const char* fieldName, CORBA::String_out fieldValue) {
  std::string value;
  const bool found = Guarded("TDatabase_Impl.GetFieldValue", false, [&] {
    RefuseClientSQLWhenOff();
    const std::optional<std::vector<std::string>> row = ClientQueryFirstRow(connection_, sql, {fieldName});
    if (!row) return false;
    value = row->front();
    return true;
  });
  fieldValue = CORBA::string_dup(value.c_str());
  return found;
}

CORBA::Boolean TDatabase_Impl::ExecuteSQL(const char* sql) {
  return Guarded("TDatabase_Impl.ExecuteSQL", false, [&] {
    RefuseClientSQLWhenOff();
    if (ClientSQLMustOnlyRead()) {
      RefusingWrites([&] { connection_.ExecuteReadOnly(sql); });
    } else {
      connection_.Execute(sql);
    }
    return true;
  });
}

CORBA::Boolean TDatabase_Impl::LoadFromIniFile(const char* fileName, const char* section) {
  if (!std::filesystem::exists(fileName)) return true;
  BeginUpdate();
  const bool result = Guarded("TDatabase_Impl.LoadFromIniFile", false, [&] {
    TMemIniFile* ini = Storage().GetIniFile(fileName);
    const bool crypt = ini->ReadBool(section, kCryptKey, GetCryptConnectionString());
    SetCryptConnectionString(crypt);
    return crypt ? LoadSecuredConnectionString() : LoadUnsecuredConnectionString(fileName, section);
  });
  const bool written = ReleaseCachedIniFile(fileName);
  EndUpdate();
  // Rows an earlier run could not write are written now, before any new one.
  StartCallLog();
  return result && written;
}

bool TDatabase_Impl::LoadUnsecuredConnectionString(const char* fileName, const char* section) {
  return Guarded("TDatabase_Impl.LoadUnsecuredConnectionString", false, [&] {
    if (!std::filesystem::exists(fileName)) return true;
    TMemIniFile* ini = Storage().GetIniFile(fileName);
    BeginUpdate();
    CORBA::String_var current = GetConnectionString();
    SetConnectionString(ini->ReadString(section, kConnectionKey, current.in()).c_str());
    EndUpdate();
    return true;
  });
}

bool TDatabase_Impl::LoadSecuredConnectionString() {
  return Guarded("TDatabase_Impl.LoadSecuredConnectionString", false, [&] {
    SetConnectionString(ReadSecuredConnectionText(IniFolder()).c_str());
    return true;
  });
}

CORBA::Boolean TDatabase_Impl::SaveToIniFile(const char* fileName, const char* section) {
  const bool result = Guarded("TDatabase_Impl.SaveToIniFile", false, [&] {
    TMemIniFile* ini = Storage().GetIniFile(fileName);
    const bool crypt = GetCryptConnectionString();
    ini->WriteBool(section, kCryptKey, crypt);
    ini->WriteString(section, kConnectionKey, kSecuredMarker);
    return crypt ? SaveSecuredConnectionString() : SaveUnsecuredConnectionString(fileName, section);
  });
  return ReleaseCachedIniFile(fileName) && result;
}

bool TDatabase_Impl::SaveUnsecuredConnectionString(const char* fileName, const char* section) {
  return Guarded("TDatabase_Impl.SaveUnsecuredConnectionString", false, [&] {
    CORBA::String_var connectionString = GetConnectionString();
    Storage().GetIniFile(fileName)->WriteString(section, kConnectionKey, connectionString.in());
    return true;
  });
}

bool TDatabase_Impl::SaveSecuredConnectionString() {
  return Guarded("TDatabase_Impl.SaveSecuredConnectionString", false, [&] {
    CORBA::String_var connectionString = GetConnectionString();
    WriteSecuredConnectionText(IniFolder(), connectionString.in());
    return true;
  });
}

CORBA::Boolean TDatabase_Impl::AssignFrom(::Base_ptr) { return false; }

}  // namespace vantrel
