#pragma once

#include <sqlite3.h>
#include <sys/types.h>

#include <atomic>

#include "DataBackend.h"

namespace vantrel {

// The embedded CRM database: one SQLite file, opened in serialised mode so any thread may use it.
class TSqliteBackend : public TDataBackend {
 public:
  explicit TSqliteBackend(const std::string& fileName);
  ~TSqliteBackend() override;
  TSqliteBackend(const TSqliteBackend&) = delete;
  TSqliteBackend& operator=(const TSqliteBackend&) = delete;

  void Execute(const std::string& sql) override;
  std::optional<std::vector<std::string>> QueryFirstRow(const std::string& sql,
                                                        const std::vector<std::string>& fieldNames) override;
  std::vector<std::vector<std::string>> QueryRows(const std::string& sql) override;
  void Begin() override;
  void Commit() override;
  void Rollback() noexcept override;
  void BeginReadOnly(TSqlDialect dialect) override;
  void EndReadOnly() noexcept override;
  bool IsStale() override;
  // A new file: no table of any kind yet.
  bool HasNoTables();

 private:
  [[noreturn]] void Fail(int code, const std::string& message) const;

  std::string fileName_;
  dev_t device_ = 0;  // the file opened, to see it deleted or replaced under us
  ino_t inode_ = 0;
  sqlite3* database_ = nullptr;
  std::atomic<bool> readOnly_{false};  // read by the authorizer on whichever thread runs a statement
};

}  // namespace vantrel
