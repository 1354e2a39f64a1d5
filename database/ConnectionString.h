#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "SqlDialect.h"

namespace vantrel {

// An ADO-style connection string: "Key=Value;Key='value; with semicolon';..." with keys compared without case.
class TConnectionString {
 public:
  explicit TConnectionString(std::string_view text);

  std::optional<std::string> Value(std::string_view key) const;
  const std::vector<std::pair<std::string, std::string>>& Entries() const { return entries_; }

 private:
  std::vector<std::pair<std::string, std::string>> entries_;
};

// Where a connection string leads: the embedded SQLite file or an ODBC connection, and the SQL dialect there.
struct TConnectionTarget {
  enum class Backend { SQLite, ODBC } backend;
  std::string target;  // the database file, or the ODBC connection string
  TSqlDialect dialect;
};

// "Provider=SQLite;Data Source=F" (a relative F is taken in baseFolder), ODBC strings with Driver= or DSN= as
// they stand, and SQL Server providers (SQLOLEDB, SQLNCLI*, MSOLEDBSQL) mapped to FreeTDS. Throws
// std::invalid_argument naming the provider for anything else.
TConnectionTarget ResolveConnectionString(std::string_view text, const std::string& baseFolder);

}  // namespace vantrel
