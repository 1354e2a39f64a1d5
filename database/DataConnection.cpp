#include "DataConnection.h"

#include <stdexcept>

#include "ConnectionString.h"
#include "CrmSchema.h"
#include "OdbcBackend.h"
#include "SqliteBackend.h"

namespace vantrel {

TDataConnection::TDataConnection(std::string baseFolder) : baseFolder_(std::move(baseFolder)) {}

TDataConnection::~TDataConnection() = default;

void TDataConnection::SetBaseFolder(std::string folder) {
  std::unique_lock lock(stateMutex_);
  baseFolder_ = std::move(folder);
}

void TDataConnection::SetConnectionString(std::string connectionString) {
  std::unique_lock lock(stateMutex_);
  connectionString_ = std::move(connectionString);
}

std::string TDataConnection::ConnectionString() const {
  std::shared_lock lock(stateMutex_);
  return connectionString_;
}

void TDataConnection::OpenLocked() {
  if (backend_) return;
  if (connectionString_.empty()) throw std::runtime_error("The connection has no connection string");
  const TConnectionTarget target = ResolveConnectionString(connectionString_, baseFolder_);
  if (target.backend == TConnectionTarget::Backend::SQLite) {
    auto sqlite = std::make_unique<TSqliteBackend>(target.target);
    // The embedded default starts from an empty file: it gets the CRM tables on its first connect.
    if (sqlite->HasNoTables()) {
      for (const std::string& statement : CrmSchemaStatements(TSqlDialect::SQLite)) sqlite->Execute(statement);
    }
    backend_ = std::move(sqlite);
  } else {
    backend_ = std::make_unique<TOdbcBackend>(target.target);
  }
  dialect_ = target.dialect;
  ++opens_;
}

void TDataConnection::Open() {
  std::unique_lock lock(stateMutex_);
  OpenLocked();
}

void TDataConnection::Close() {
  std::unique_lock lock(stateMutex_);
  backend_.reset();
}

bool TDataConnection::IsOpen() const {
  std::shared_lock lock(stateMutex_);
  return backend_ != nullptr;
}

TSqlDialect TDataConnection::Dialect() const {
  std::shared_lock lock(stateMutex_);
  return dialect_;
}

namespace {
// Runs the body on the open backend, opening it first when it is closed. A close by another thread between
// the open and the body just means opening again. A connection the server dropped, or one to an embedded file
// that was deleted or replaced, is let go, so the next statement connects anew (a restarted server or a
// re-created file is used again without anyone reconnecting by hand).
template <typename Body>
auto WithOpenBackend(std::shared_mutex& mutex, std::unique_ptr<TDataBackend>& backend, TSqlDialect& dialect,
                     const std::function<void()>& open, Body&& body) {
  for (;;) {
    TDataBackend* used = nullptr;
    try {
      {
        std::shared_lock lock(mutex);
        used = backend.get();
        if (used != nullptr && !used->IsStale()) return body(*used, dialect);
      }
      std::unique_lock lock(mutex);
      if (used != nullptr && backend.get() == used) backend.reset();
      open();
    } catch (const EConnectionLost&) {
      std::unique_lock lock(mutex);
      if (backend.get() == used) backend.reset();
      throw;
    }
  }
}
}  // namespace

void TDataConnection::Execute(const std::string& sql) {
  std::lock_guard command(commandMutex_);
  WithOpenBackend(
      stateMutex_, backend_, dialect_, [this] { OpenLocked(); },
      [&](TDataBackend& backend, TSqlDialect dialect) { backend.Execute(AdaptSql(sql, dialect)); });
}

std::optional<std::vector<std::string>> TDataConnection::QueryFirstRow(const std::string& sql,
                                                                       const std::vector<std::string>& fieldNames) {
  return WithOpenBackend(
      stateMutex_, backend_, dialect_, [this] { OpenLocked(); },
      [&](TDataBackend& backend, TSqlDialect dialect) {
        return backend.QueryFirstRow(AdaptSql(sql, dialect), fieldNames);
      });
}

namespace {
// A second statement could end the read-only transaction and write after it. A ';' anywhere but at the end
// counts, in a literal too: that refuses a few harmless texts rather than second-guess each server's quoting.
void RequireOneStatement(const std::string& sql) {
  const std::size_t last = sql.find_last_not_of(" \t\r\n;");
  if (last != std::string::npos && sql.find(';') < last) {
    throw std::runtime_error("Only one statement at a time may run where SQL is read-only");
  }
}
}  // namespace

void TDataConnection::ExecuteReadOnly(const std::string& sql) { RunReadOnly(sql, nullptr); }

std::optional<std::vector<std::string>> TDataConnection::QueryFirstRowReadOnly(
    const std::string& sql, const std::vector<std::string>& fieldNames) {
  return RunReadOnly(sql, &fieldNames);
}

std::optional<std::vector<std::string>> TDataConnection::RunReadOnly(const std::string& sql,
                                                                     const std::vector<std::string>* fieldNames) {
  RequireOneStatement(sql);
  // Serialised with Execute: the read-only mode is the connection's while it lasts.
  std::lock_guard command(commandMutex_);
  return WithOpenBackend(
      stateMutex_, backend_, dialect_, [this] { OpenLocked(); },
      [&](TDataBackend& backend, TSqlDialect dialect) -> std::optional<std::vector<std::string>> {
        backend.BeginReadOnly(dialect);
        try {
          std::optional<std::vector<std::string>> row;
          if (fieldNames == nullptr) {
            backend.Execute(AdaptSql(sql, dialect));
          } else {
            row = backend.QueryFirstRow(AdaptSql(sql, dialect), *fieldNames);
          }
          backend.EndReadOnly();
          return row;
        } catch (...) {
          backend.EndReadOnly();
          throw;
        }
      });
}

std::vector<std::vector<std::string>> TDataConnection::QueryRows(const std::string& sql) {
  return WithOpenBackend(
      stateMutex_, backend_, dialect_, [this] { OpenLocked(); },
      [&](TDataBackend& backend, TSqlDialect) { return backend.QueryRows(sql); });
}

void TDataConnection::TTransaction::Execute(const std::string& sql) { backend_.Execute(AdaptSql(sql, dialect_)); }

std::optional<std::vector<std::string>> TDataConnection::TTransaction::QueryFirstRow(
    const std::string& sql, const std::vector<std::string>& fieldNames) {
  return backend_.QueryFirstRow(AdaptSql(sql, dialect_), fieldNames);
}

void TDataConnection::Transaction(const std::function<void(TTransaction&)>& body) {
  std::lock_guard command(commandMutex_);
  WithOpenBackend(
      stateMutex_, backend_, dialect_, [this] { OpenLocked(); },
      [&](TDataBackend& backend, TSqlDialect dialect) {
        backend.Begin();
        try {
          TTransaction statements(backend, dialect);
          body(statements);
          backend.Commit();
        } catch (...) {
          backend.Rollback();
          throw;
        }
      });
}

}  // namespace vantrel
