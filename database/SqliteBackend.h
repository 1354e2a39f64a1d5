#pragma once

#include <sqlite3.h>

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
  // A new file: no table of any kind yet.
  bool HasNoTables();

 private:
  sqlite3* database_ = nullptr;
};

}  // namespace vantrel
