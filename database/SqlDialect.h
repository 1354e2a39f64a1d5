#pragma once

#include <string>
#include <string_view>

namespace vantrel {

enum class TSqlDialect { SqlServer, SQLite, PostgreSQL };

// The system's statements are T-SQL. For the other servers exactly two things are rewritten:
// "select top N ..." becomes "select ... limit N", and isnull(a, b) becomes ifnull (SQLite) or coalesce
// (PostgreSQL). Quoted literals and names are never touched.
std::string AdaptSql(std::string_view sql, TSqlDialect dialect);

// The text as an SQL string literal: in single quotes, every single quote inside doubled.
std::string SqlQuoted(std::string_view text);

}  // namespace vantrel
