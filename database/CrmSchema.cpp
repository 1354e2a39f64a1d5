#include "CrmSchema.h"

#include "DataConnection.h"

namespace vantrel {

namespace {

std::string KeyColumn(TSqlDialect dialect) {
  switch (dialect) {
    case TSqlDialect::SQLite:
      return "ID integer primary key autoincrement";
    case TSqlDialect::PostgreSQL:
      return "ID serial primary key";
    case TSqlDialect::SqlServer:
      break;
  }
  return "ID int identity(1,1) primary key";
}

// SQL Server has no "if not exists" for tables and indexes; the guard asks its catalogue instead.
std::string Guarded(TSqlDialect dialect, const std::string& kind, const std::string& name, const std::string& body,
                    const std::string& table = {}) {
  if (dialect != TSqlDialect::SqlServer) return "create " + kind + " if not exists " + name + " " + body;
  const std::string probe = kind == "table" ? "object_id('" + name + "', 'U') is null"
                                            : "not exists (select 1 from sys.indexes where name = '" + name + "')";
  return "if " + probe + " create " + kind + " " + name + " " + body;
}

// The dialect's spelling of the key column, of text and of a time stamp.
struct TColumnTypes {
  explicit TColumnTypes(TSqlDialect dialect)
      : key(KeyColumn(dialect)),
        text(dialect == TSqlDialect::SqlServer ? "nvarchar" : "varchar"),
        stamp(dialect == TSqlDialect::PostgreSQL ? "timestamp" : "datetime") {}
  const std::string key, text, stamp;
};

}  // namespace

std::vector<std::string> CrmQueueLogStatements(TSqlDialect dialect) {
  const TColumnTypes types(dialect);
  const std::string &key = types.key, &text = types.text, &stamp = types.stamp;
  return {
      Guarded(dialect, "table", "tq_VantrelQueueLog",
              "(" + key + ", QueueEventType int not null, CallHandle " + text + "(40) not null, EventTime " + stamp +
                  ", Rule_id int, LinePhoneNumber " + text + "(64), CallerPhoneNumber " + text +
                  "(128), OperatorPhoneNumber " + text +
                  "(64), Operator_id int, Seconds int, Reason int, EventOrder "
                  "int)"),
      Guarded(dialect, "index", "ix_VantrelQueueLog_CallHandle", "on tq_VantrelQueueLog (CallHandle)"),
      // The reports read a range of time.
      Guarded(dialect, "index", "ix_VantrelQueueLog_EventTime", "on tq_VantrelQueueLog (EventTime)"),
      Guarded(dialect, "index", "ix_VantrelLog_EndTime", "on tq_VantrelLog (EndTime)"),
  };
}

std::vector<std::string> CrmRecordingStatements(TSqlDialect dialect) {
  const TColumnTypes types(dialect);
  return {
      Guarded(dialect, "table", "tq_VantrelRecording",
              "(" + types.key + ", CallHandle " + types.text + "(40) not null, LinePhoneNumber " + types.text +
                  "(64), Operator_id int, FileName " + types.text + "(255) not null, StartTime " + types.stamp +
                  ", Seconds int, PausedSeconds int, EventOrder int)"),
      Guarded(dialect, "index", "ix_VantrelRecording_CallHandle", "on tq_VantrelRecording (CallHandle)"),
      Guarded(dialect, "index", "ix_VantrelRecording_StartTime", "on tq_VantrelRecording (StartTime)"),
  };
}

std::vector<std::string> CrmCallbackStatements(TSqlDialect dialect) {
  const TColumnTypes types(dialect);
  return {
      Guarded(dialect, "table", "tq_VantrelCallback",
              "(" + types.key + ", CallHandle " + types.text + "(40) not null, Rule_id int, LinePhoneNumber " +
                  types.text + "(64), CallerPhoneNumber " + types.text + "(128), RequestedAt " + types.stamp +
                  ", State " + types.text + "(20) not null, Attempts int, NextAttempt " + types.stamp +
                  ", EventOrder int)"),
      Guarded(dialect, "index", "ix_VantrelCallback_CallHandle", "on tq_VantrelCallback (CallHandle)"),
  };
}

std::vector<std::string> CrmOpenCallStatements(TSqlDialect dialect) {
  const TColumnTypes types(dialect);
  return {
      Guarded(dialect, "table", "tq_VantrelOpenCall",
              "(CallHandle " + types.text + "(40) not null, LinePhoneNumber " + types.text + "(64) not null)"),
      Guarded(dialect, "index", "ix_VantrelOpenCall_CallHandle", "on tq_VantrelOpenCall (CallHandle)"),
  };
}

std::vector<std::string> CrmSchemaStatements(TSqlDialect dialect) {
  const TColumnTypes types(dialect);
  const std::string &key = types.key, &text = types.text, &stamp = types.stamp;
  return {
      Guarded(dialect, "table", "tq_VantrelLog",
              "(" + key + ", CallEventType int not null, CallHandle " + text + "(40) not null, BeginTime " + stamp +
                  ", EndTime " + stamp + ", LinePhoneNumber " + text + "(64), LineIsOuter int, CallerPhoneNumber " +
                  text + "(128), CalledPhoneNumber " + text + "(128), ConnectedPhoneNumber " + text +
                  "(128), Operator_id int, Task_id int, EventOrder int, ParentCallHandle " + text +
                  "(40), ConsultCallHandle " + text + "(40))"),
      Guarded(dialect, "index", "ix_VantrelLog_CallHandle", "on tq_VantrelLog (CallHandle)"),
      Guarded(dialect, "table", "tq_Company", "(" + key + ", Name " + text + "(128) not null, AccountManager_id int)"),
      Guarded(dialect, "table", "tq_Contact",
              "(" + key + ", Name " + text + "(128) not null, Company_id int, AccountManager_id int)"),
      Guarded(dialect, "table", "tq_ContactPhone",
              "(" + key + ", Contact_ID int not null, Phone " + text + "(64) not null, OptimizedPhone " + text +
                  "(64) not null)"),
      Guarded(dialect, "index", "ix_ContactPhone_OptimizedPhone", "on tq_ContactPhone (OptimizedPhone)"),
      Guarded(dialect, "table", "tq_CompanyPhone",
              "(" + key + ", Company_ID int not null, Phone " + text + "(64) not null, OptimizedPhone " + text +
                  "(64) not null)"),
      Guarded(dialect, "index", "ix_CompanyPhone_OptimizedPhone", "on tq_CompanyPhone (OptimizedPhone)"),
      Guarded(dialect, "table", "tq_ContactInGroup", "(" + key + ", Contact_id int not null, Group_id int not null)"),
  };
}

void CreateCrmSchema(TDataConnection& connection, TSqlDialect dialect) {
  for (const std::string& statement : CrmSchemaStatements(dialect)) connection.Execute(statement);
  for (const std::string& statement : CrmQueueLogStatements(dialect)) connection.Execute(statement);
  for (const std::string& statement : CrmOpenCallStatements(dialect)) connection.Execute(statement);
  for (const std::string& statement : CrmRecordingStatements(dialect)) connection.Execute(statement);
  for (const std::string& statement : CrmCallbackStatements(dialect)) connection.Execute(statement);
}

bool AddSampleCrm(TDataConnection& connection) {
  const auto contacts = connection.QueryFirstRow("select count(*) as Contacts from tq_Contact", {"Contacts"});
  if (contacts && !contacts->empty() && contacts->front() != "0") return false;
  // Employees 1-4 of the call centre itself (company 1) are the operators' CRM IDs; groups 100 (sales)
  // and 200 (support). Clients: companies 10 and 11, contacts 20-22, with direct and company numbers
  // (Fiona Gale answers her company's switchboard).
  const char* const statements[] = {
      "insert into tq_Company (ID, Name, AccountManager_id) values (1, 'Vantrel Call Centre', null)",
      "insert into tq_Company (ID, Name, AccountManager_id) values (10, 'Nordwind Logistics', 2)",
      "insert into tq_Company (ID, Name, AccountManager_id) values (11, 'Bluebay Foods', 3)",
      "insert into tq_Contact (ID, Name, Company_id, AccountManager_id) values (1, 'Anna Berg', 1, null)",
      "insert into tq_Contact (ID, Name, Company_id, AccountManager_id) values (2, 'Boris Klein', 1, null)",
      "insert into tq_Contact (ID, Name, Company_id, AccountManager_id) values (3, 'Clara Diaz', 1, null)",
      "insert into tq_Contact (ID, Name, Company_id, AccountManager_id) values (4, 'David Ek', 1, null)",
      "insert into tq_Contact (ID, Name, Company_id, AccountManager_id) values (20, 'Erik Nordin', 10, 1)",
      "insert into tq_Contact (ID, Name, Company_id, AccountManager_id) values (21, 'Fiona Gale', 11, null)",
      "insert into tq_Contact (ID, Name, Company_id, AccountManager_id) values (22, 'George O''Hara', null, 4)",
      "insert into tq_ContactPhone (Contact_ID, Phone, OptimizedPhone) values (20, '555-0120', '5550120')",
      "insert into tq_ContactPhone (Contact_ID, Phone, OptimizedPhone) values (21, '555-0111', '5550111')",
      "insert into tq_ContactPhone (Contact_ID, Phone, OptimizedPhone) values (22, '(555) 0122', '5550122')",
      "insert into tq_CompanyPhone (Company_ID, Phone, OptimizedPhone) values (10, '555-0110', '5550110')",
      "insert into tq_CompanyPhone (Company_ID, Phone, OptimizedPhone) values (11, '555-0111', '5550111')",
      "insert into tq_ContactInGroup (Contact_id, Group_id) values (1, 100)",
      "insert into tq_ContactInGroup (Contact_id, Group_id) values (2, 100)",
      "insert into tq_ContactInGroup (Contact_id, Group_id) values (3, 200)",
      "insert into tq_ContactInGroup (Contact_id, Group_id) values (4, 200)",
      "insert into tq_ContactInGroup (Contact_id, Group_id) values (1, 200)",
  };
  for (const char* statement : statements) connection.Execute(statement);
  return true;
}

}  // namespace vantrel
