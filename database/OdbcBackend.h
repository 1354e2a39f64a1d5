#pragma once

#include <sql.h>

#include "DataBackend.h"

namespace vantrel {

// A database server through unixODBC (FreeTDS for SQL Server, psqlodbc for PostgreSQL). Never prompts.
class TOdbcBackend : public TDataBackend {
 public:
  explicit TOdbcBackend(const std::string& connectionString);
  ~TOdbcBackend() override;
  TOdbcBackend(const TOdbcBackend&) = delete;
  TOdbcBackend& operator=(const TOdbcBackend&) = delete;

  void Execute(const std::string& sql) override;
  std::optional<std::vector<std::string>> QueryFirstRow(const std::string& sql,
                                                        const std::vector<std::string>& fieldNames) override;
  std::vector<std::vector<std::string>> QueryRows(const std::string& sql) override;
  void Begin() override;
  void Commit() override;
  void Rollback() noexcept override;
  void BeginReadOnly(TSqlDialect dialect) override;
  void EndReadOnly() noexcept override;

 private:
  void SetAutoCommit(bool on);

  SQLHENV environment_ = SQL_NULL_HENV;
  SQLHDBC connection_ = SQL_NULL_HDBC;
  bool explicitReadOnly_ = false;  // the read-only transaction is our START TRANSACTION's, ended by our ROLLBACK
};

}  // namespace vantrel
