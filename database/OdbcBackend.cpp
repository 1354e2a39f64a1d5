#include "OdbcBackend.h"

#include <sqlext.h>

#include <cctype>
#include <memory>
#include <stdexcept>
#include <string_view>

#include "support/IniFile.h"

namespace vantrel {

namespace {

// Drivers break their messages over lines (PostgreSQL adds a tabbed hint); an error is one line of the log.
void AppendOnOneLine(std::string& text, const char* message) {
  bool space = !text.empty();
  for (const char* at = message; *at != '\0'; ++at) {
    if (std::isspace(static_cast<unsigned char>(*at))) {
      space = !text.empty();
      continue;
    }
    if (space) text += ' ';
    space = false;
    text += *at;
  }
}

std::string Diagnostics(SQLSMALLINT type, SQLHANDLE handle) {
  std::string text;
  SQLCHAR state[6] = {};
  SQLCHAR message[1024] = {};
  SQLINTEGER native = 0;
  SQLSMALLINT length = 0;
  for (SQLSMALLINT record = 1;
       SQLGetDiagRec(type, handle, record, state, &native, message, sizeof message, &length) == SQL_SUCCESS; ++record) {
    AppendOnOneLine(text, reinterpret_cast<const char*>(message));
  }
  return text.empty() ? "ODBC call failed" : text;
}

void Check(SQLRETURN result, SQLSMALLINT type, SQLHANDLE handle) {
  if (!SQL_SUCCEEDED(result) && result != SQL_NO_DATA) throw std::runtime_error(Diagnostics(type, handle));
}

// A failed statement on a connection that the driver reports dead, or a connection-class SQLSTATE (08...):
// the server went away.
void CheckStatement(SQLRETURN result, SQLHSTMT statement, SQLHDBC connection) {
  if (SQL_SUCCEEDED(result) || result == SQL_NO_DATA) return;
  const std::string text = Diagnostics(SQL_HANDLE_STMT, statement);
  SQLCHAR state[6] = {};
  SQLINTEGER native = 0;
  SQLSMALLINT length = 0;
  SQLCHAR message[8];
  const bool connectionState =
      SQL_SUCCEEDED(SQLGetDiagRec(SQL_HANDLE_STMT, statement, 1, state, &native, message, sizeof message, &length)) &&
      state[0] == '0' && state[1] == '8';
  SQLUINTEGER dead = SQL_CD_FALSE;
  const bool reportedDead =
      SQL_SUCCEEDED(SQLGetConnectAttr(connection, SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr)) && dead == SQL_CD_TRUE;
  if (connectionState || reportedDead) throw EConnectionLost(text);
  // 25006: a write in a read-only transaction.
  if (std::string_view(reinterpret_cast<const char*>(state)) == "25006") throw EWriteRefused(text);
  throw std::runtime_error(text);
}

struct StatementDeleter {
  void operator()(void* statement) const { SQLFreeHandle(SQL_HANDLE_STMT, statement); }
};
using Statement = std::unique_ptr<void, StatementDeleter>;

Statement NewStatement(SQLHDBC connection) {
  SQLHSTMT statement = SQL_NULL_HSTMT;
  Check(SQLAllocHandle(SQL_HANDLE_STMT, connection, &statement), SQL_HANDLE_DBC, connection);
  return Statement(statement);
}

std::string ColumnText(SQLHSTMT statement, SQLUSMALLINT column) {
  std::string value;
  char buffer[4096];
  for (;;) {
    SQLLEN indicator = 0;
    const SQLRETURN result = SQLGetData(statement, column, SQL_C_CHAR, buffer, sizeof buffer, &indicator);
    if (result == SQL_NO_DATA) break;
    Check(result, SQL_HANDLE_STMT, statement);
    if (indicator == SQL_NULL_DATA) return {};
    const std::size_t available = indicator == SQL_NO_TOTAL || indicator >= static_cast<SQLLEN>(sizeof buffer)
                                      ? sizeof buffer - 1
                                      : static_cast<std::size_t>(indicator);
    value.append(buffer, available);
    if (result == SQL_SUCCESS) break;
  }
  return value;
}


// Runs the statement text on the handle; the number of its result's columns (0 for a statement without one).
SQLSMALLINT ExecuteDirect(SQLHSTMT handle, std::string text, SQLHDBC connection) {
  CheckStatement(SQLExecDirect(handle, reinterpret_cast<SQLCHAR*>(text.data()), static_cast<SQLINTEGER>(text.size())),
                 handle, connection);
  SQLSMALLINT count = 0;
  Check(SQLNumResultCols(handle, &count), SQL_HANDLE_STMT, handle);
  return count;
}

}  // namespace

TOdbcBackend::TOdbcBackend(const std::string& connectionString) {
  try {
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &environment_))) {
      throw std::runtime_error("Cannot allocate an ODBC environment");
    }
    Check(SQLSetEnvAttr(environment_, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0),
          SQL_HANDLE_ENV, environment_);
    Check(SQLAllocHandle(SQL_HANDLE_DBC, environment_, &connection_), SQL_HANDLE_ENV, environment_);
    SQLCHAR completed[1024];
    SQLSMALLINT completedLength = 0;
    std::string text = connectionString;
    Check(SQLDriverConnect(connection_, nullptr, reinterpret_cast<SQLCHAR*>(text.data()),
                           static_cast<SQLSMALLINT>(text.size()), completed, sizeof completed, &completedLength,
                           SQL_DRIVER_NOPROMPT),
          SQL_HANDLE_DBC, connection_);
  } catch (...) {
    if (connection_ != SQL_NULL_HDBC) SQLFreeHandle(SQL_HANDLE_DBC, connection_);
    if (environment_ != SQL_NULL_HENV) SQLFreeHandle(SQL_HANDLE_ENV, environment_);
    throw;
  }
}

TOdbcBackend::~TOdbcBackend() {
  SQLDisconnect(connection_);
  SQLFreeHandle(SQL_HANDLE_DBC, connection_);
  SQLFreeHandle(SQL_HANDLE_ENV, environment_);
}

void TOdbcBackend::Execute(const std::string& sql) {
  const Statement statement = NewStatement(connection_);
  std::string text = sql;
  CheckStatement(
      SQLExecDirect(statement.get(), reinterpret_cast<SQLCHAR*>(text.data()), static_cast<SQLINTEGER>(text.size())),
      statement.get(), connection_);
}

std::optional<std::vector<std::string>> TOdbcBackend::QueryFirstRow(const std::string& sql,
                                                                    const std::vector<std::string>& fieldNames) {
  const Statement statement = NewStatement(connection_);
  SQLHSTMT handle = statement.get();
  const SQLSMALLINT count = ExecuteDirect(handle, sql, connection_);
  std::vector<std::string> names;
  for (SQLUSMALLINT i = 1; i <= static_cast<SQLUSMALLINT>(count); ++i) {
    SQLCHAR name[256] = {};
    SQLSMALLINT length = 0, type = 0, digits = 0, nullable = 0;
    SQLULEN size = 0;
    Check(SQLDescribeCol(handle, i, name, sizeof name, &length, &type, &size, &digits, &nullable), SQL_HANDLE_STMT,
          handle);
    names.emplace_back(reinterpret_cast<const char*>(name));
  }
  std::vector<SQLUSMALLINT> columns;
  for (const std::string& wanted : fieldNames) {
    SQLUSMALLINT found = 0;
    for (std::size_t i = 0; i < names.size() && found == 0; ++i) {
      if (EqualsIgnoreCase(names[i], wanted)) found = static_cast<SQLUSMALLINT>(i + 1);
    }
    if (found == 0) throw std::runtime_error(kUnknownFieldText);
    columns.push_back(found);
  }
  const SQLRETURN fetched = SQLFetch(handle);
  if (fetched == SQL_NO_DATA) return std::nullopt;
  Check(fetched, SQL_HANDLE_STMT, handle);
  // SQLGetData wants ascending columns with some drivers: read all in order, then pick.
  std::vector<std::string> row;
  for (SQLUSMALLINT i = 1; i <= static_cast<SQLUSMALLINT>(count); ++i) row.push_back(ColumnText(handle, i));
  std::vector<std::string> values;
  for (const SQLUSMALLINT column : columns) values.push_back(row[column - 1]);
  return values;
}

std::vector<std::vector<std::string>> TOdbcBackend::QueryRows(const std::string& sql) {
  const Statement statement = NewStatement(connection_);
  SQLHSTMT handle = statement.get();
  const SQLSMALLINT count = ExecuteDirect(handle, sql, connection_);
  std::vector<std::vector<std::string>> rows;
  for (;;) {
    const SQLRETURN fetched = SQLFetch(handle);
    if (fetched == SQL_NO_DATA) break;
    Check(fetched, SQL_HANDLE_STMT, handle);
    std::vector<std::string>& row = rows.emplace_back();
    for (SQLUSMALLINT i = 1; i <= static_cast<SQLUSMALLINT>(count); ++i) row.push_back(ColumnText(handle, i));
  }
  return rows;
}

void TOdbcBackend::SetAutoCommit(bool on) {
  const SQLRETURN result = SQLSetConnectAttr(
      connection_, SQL_ATTR_AUTOCOMMIT,
      reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(on ? SQL_AUTOCOMMIT_ON : SQL_AUTOCOMMIT_OFF)), 0);
  if (SQL_SUCCEEDED(result)) return;
  const std::string text = Diagnostics(SQL_HANDLE_DBC, connection_);
  SQLUINTEGER dead = SQL_CD_FALSE;
  if (SQL_SUCCEEDED(SQLGetConnectAttr(connection_, SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr)) &&
      dead == SQL_CD_TRUE) {
    throw EConnectionLost(text);
  }
  throw std::runtime_error(text);
}

void TOdbcBackend::Begin() { SetAutoCommit(false); }

void TOdbcBackend::Commit() {
  if (!SQL_SUCCEEDED(SQLEndTran(SQL_HANDLE_DBC, connection_, SQL_COMMIT))) {
    // Whether the server committed is unknown; this connection is not used again.
    const std::string text = Diagnostics(SQL_HANDLE_DBC, connection_);
    throw EConnectionLost(text);
  }
  SetAutoCommit(true);
}

// A transaction that is rolled back in any case. PostgreSQL refuses its writes as they come: the transaction is
// started by our own statement, not the driver's, and the server is asked whether it is read-only before
// anything runs in it (the driver's own idea of whether a transaction is open once let a write through).
void TOdbcBackend::BeginReadOnly(TSqlDialect dialect) {
  explicitReadOnly_ = dialect == TSqlDialect::PostgreSQL;
  if (!explicitReadOnly_) {
    Begin();
    return;
  }
  Execute("START TRANSACTION READ ONLY");
  try {
    const std::optional<std::vector<std::string>> mode =
        QueryFirstRow("show transaction_read_only", {"transaction_read_only"});
    if (!mode || mode->front() != "on") throw EWriteRefused("the database did not start a read-only transaction");
  } catch (...) {
    EndReadOnly();
    throw;
  }
}

void TOdbcBackend::EndReadOnly() noexcept {
  if (!explicitReadOnly_) {
    Rollback();
    return;
  }
  try {
    Execute("ROLLBACK");
  } catch (...) {
    // A connection that cannot roll back is lost; the next statement finds out and connects anew.
  }
}

void TOdbcBackend::Rollback() noexcept {
  SQLEndTran(SQL_HANDLE_DBC, connection_, SQL_ROLLBACK);
  SQLSetConnectAttr(connection_, SQL_ATTR_AUTOCOMMIT,
                    reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(SQL_AUTOCOMMIT_ON)), 0);
}

}  // namespace vantrel
