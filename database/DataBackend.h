#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "SqlDialect.h"

namespace vantrel {

// One open database connection of a backend. Statements arrive already in the backend's dialect.
class TDataBackend {
 public:
  virtual ~TDataBackend() = default;
  // Runs a statement and discards any rows it returns.
  virtual void Execute(const std::string& sql) = 0;
  // The named fields of the first row as text (null as the empty text), or none when there is no row.
  // Throws for an unknown field name.
  virtual std::optional<std::vector<std::string>> QueryFirstRow(const std::string& sql,
                                                                const std::vector<std::string>& fieldNames) = 0;
  // Every row of a query, each field as text (null as the empty text), in the order of the select list.
  virtual std::vector<std::vector<std::string>> QueryRows(const std::string& sql) = 0;
  // One transaction around several statements: Begin, then Commit or Rollback. Rollback never throws.
  virtual void Begin() = 0;
  virtual void Commit() = 0;
  virtual void Rollback() noexcept = 0;
  // Until EndReadOnly nothing run on the connection can write: a statement that tries fails with EWriteRefused.
  // EndReadOnly never throws.
  virtual void BeginReadOnly(TSqlDialect dialect) = 0;
  virtual void EndReadOnly() noexcept = 0;
  // The connection no longer reaches the database its string names (an embedded file deleted or replaced):
  // it has to be opened again.
  virtual bool IsStale() { return false; }
};

// A statement failed because the connection to the server is gone; the connection cannot be used again.
class EConnectionLost : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A statement tried to write where only reading is allowed.
class EWriteRefused : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The text of an unknown field name, as the original data layer reported it.
constexpr const char* kUnknownFieldText =
    "Item cannot be found in the collection corresponding to the requested name or ordinal.";

}  // namespace vantrel
