#pragma once

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

  // The system's T-SQL, adapted to the backend's dialect.
  void Execute(const std::string& sql);
  std::optional<std::vector<std::string>> QueryFirstRow(const std::string& sql,
                                                        const std::vector<std::string>& fieldNames);

 private:
  void OpenLocked();

  mutable std::shared_mutex stateMutex_;   // exclusive to open and close, shared by the statements using backend_
  std::mutex commandMutex_;                // serialises Execute, the one shared command
  std::string baseFolder_;                 // guarded by stateMutex_
  std::string connectionString_;           // guarded by stateMutex_
  std::unique_ptr<TDataBackend> backend_;  // guarded by stateMutex_
  TSqlDialect dialect_ = TSqlDialect::SqlServer;  // guarded by stateMutex_
};

}  // namespace vantrel
