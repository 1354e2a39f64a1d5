#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <vector>

#include "DataBackend.h"
#include "SqlDialect.h"

namespace vantrel {

// The data-access connection: a connection string, open/close, statements and first-row field queries,
// with the backend chosen by the string. A statement or query on a closed connection opens it implicitly
// with the string it holds, which is the one of the last explicit open. Statements run one at a time;
// queries run side by side, each on its own statement.
class TDataConnection {
 public:
  explicit TDataConnection(std::string baseFolder = {});
  ~TDataConnection();
  TDataConnection(const TDataConnection&) = delete;
  TDataConnection& operator=(const TDataConnection&) = delete;

  // The folder that a relative SQLite file name is taken in.
  void SetBaseFolder(std::string folder);
  void SetConnectionString(std::string connectionString);
  std::string ConnectionString() const;

  // Throws with the backend's message when the connection cannot be opened. No login prompt, ever.
  void Open();
  void Close();
  bool IsOpen() const;
  // The dialect of the backend of the last open.
  TSqlDialect Dialect() const;
  // How many times a backend was opened: a change means what was read before may come from another database.
  std::uint64_t Opens() const { return opens_.load(); }

  // The system's T-SQL, adapted to the backend's dialect.
  void Execute(const std::string& sql);
  std::optional<std::vector<std::string>> QueryFirstRow(const std::string& sql,
                                                        const std::vector<std::string>& fieldNames);
  // Every row of a query written for the backend's own dialect (nothing is adapted), fields as text.
  std::vector<std::vector<std::string>> QueryRows(const std::string& sql);

  // The same for SQL that must not write (clients' SQL under "ClientSQL=ReadOnly"): one statement, run read-only
  // (SQLite's query_only, PostgreSQL's read-only transaction) and rolled back in any case. A write fails with
  // EWriteRefused, more than one statement with a plain error.
  void ExecuteReadOnly(const std::string& sql);
  std::optional<std::vector<std::string>> QueryFirstRowReadOnly(const std::string& sql,
                                                                const std::vector<std::string>& fieldNames);

  // The statements of one transaction, in the system's T-SQL like Execute and QueryFirstRow.
  class TTransaction {
   public:
    TTransaction(TDataBackend& backend, TSqlDialect dialect) : backend_(backend), dialect_(dialect) {}
    void Execute(const std::string& sql);
    std::optional<std::vector<std::string>> QueryFirstRow(const std::string& sql,
                                                          const std::vector<std::string>& fieldNames);

   private:
    TDataBackend& backend_;
    TSqlDialect dialect_;
  };
  // Runs the body in one transaction: committed when it returns, rolled back when it throws (the exception goes
  // on to the caller). A failure after the body returned is the commit's: the outcome is then unknown.
  // Serialised with Execute.
  void Transaction(const std::function<void(TTransaction&)>& body);

 private:
  void OpenLocked();
  // Both read-only forms: no field names runs the statement, field names read its first row.
  std::optional<std::vector<std::string>> RunReadOnly(const std::string& sql, const std::vector<std::string>* fieldNames);

  mutable std::shared_mutex stateMutex_;   // exclusive to open and close, shared by the statements using backend_
  std::mutex commandMutex_;                // serialises Execute, the one shared command
  std::string baseFolder_;                 // guarded by stateMutex_
  std::string connectionString_;           // guarded by stateMutex_
  std::unique_ptr<TDataBackend> backend_;  // guarded by stateMutex_
  TSqlDialect dialect_ = TSqlDialect::SqlServer;  // guarded by stateMutex_
  std::atomic<std::uint64_t> opens_{0};
};

}  // namespace vantrel
