#include "SqlDialect.h"

#include <cctype>
#include <vector>

namespace vantrel {

namespace {

bool IsWordCharacter(char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_' || c == '@'; }

bool WordAt(std::string_view sql, std::size_t at, std::string_view word) {
  if (at + word.size() > sql.size()) return false;
  for (std::size_t i = 0; i < word.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(sql[at + i])) != word[i]) return false;
  }
  const bool startsWord = at == 0 || !IsWordCharacter(sql[at - 1]);
  const bool endsWord = at + word.size() == sql.size() || !IsWordCharacter(sql[at + word.size()]);
  return startsWord && endsWord;
}

// The end of a quoted literal or name that opens at 'at' ('...', "...", [...]); doubled quotes stay inside.
std::size_t SkipQuoted(std::string_view sql, std::size_t at) {
  const char close = sql[at] == '[' ? ']' : sql[at];
  for (std::size_t i = at + 1; i < sql.size(); ++i) {
    if (sql[i] != close) continue;
    if (i + 1 < sql.size() && sql[i + 1] == close) {
      ++i;
      continue;
    }
    return i + 1;
  }
  return sql.size();
}

bool OpensQuote(char c) { return c == '\'' || c == '"' || c == '['; }

std::string ReplaceIsNull(std::string_view sql, std::string_view replacement) {
  std::string out;
  for (std::size_t i = 0; i < sql.size();) {
    if (OpensQuote(sql[i])) {
      const std::size_t end = SkipQuoted(sql, i);
      out.append(sql.substr(i, end - i));
      i = end;
      continue;
    }
    if (WordAt(sql, i, "isnull")) {
      std::size_t next = i + 6;
      while (next < sql.size() && std::isspace(static_cast<unsigned char>(sql[next])) != 0) ++next;
      if (next < sql.size() && sql[next] == '(') {
        out.append(replacement);
        i += 6;
        continue;
      }
    }
    out.push_back(sql[i++]);
  }
  return out;
}

// Rewrites every "select top N" whose select ends at the closing parenthesis of its level or the statement end.
std::string ReplaceTop(std::string_view sql) {
  struct Pending {
    int depth;
    std::string limit;
  };
  std::string out;
  std::vector<Pending> pending;
  int depth = 0;
  const auto closeSelects = [&](int level) {
    while (!pending.empty() && pending.back().depth == level) {
      // Before a trailing semicolon and blanks, if any.
      std::size_t end = out.size();
      while (end > 0 && (std::isspace(static_cast<unsigned char>(out[end - 1])) != 0 || out[end - 1] == ';')) --end;
      out.insert(end, " limit " + pending.back().limit);
      pending.pop_back();
    }
  };
  for (std::size_t i = 0; i < sql.size();) {
    const char c = sql[i];
    if (OpensQuote(c)) {
      const std::size_t end = SkipQuoted(sql, i);
      out.append(sql.substr(i, end - i));
      i = end;
      continue;
    }
    if (c == '(') ++depth;
    if (c == ')') {
      closeSelects(depth);
      --depth;
    }
    if (WordAt(sql, i, "select")) {
      std::size_t at = i + 6;
      while (at < sql.size() && std::isspace(static_cast<unsigned char>(sql[at])) != 0) ++at;
      if (WordAt(sql, at, "top")) {
        std::size_t digits = at + 3;
        while (digits < sql.size() && std::isspace(static_cast<unsigned char>(sql[digits])) != 0) ++digits;
        std::size_t end = digits;
        while (end < sql.size() && std::isdigit(static_cast<unsigned char>(sql[end])) != 0) ++end;
        if (end > digits && (end == sql.size() || !IsWordCharacter(sql[end]))) {
          out.append(sql.substr(i, 6));
          pending.push_back(Pending{depth, std::string(sql.substr(digits, end - digits))});
          i = end;
          continue;
        }
      }
    }
    out.push_back(c);
    ++i;
  }
  closeSelects(depth);
  return out;
}

}  // namespace

std::string AdaptSql(std::string_view sql, TSqlDialect dialect) {
  switch (dialect) {
    case TSqlDialect::SqlServer:
      return std::string(sql);
    case TSqlDialect::SQLite:
      return ReplaceTop(ReplaceIsNull(sql, "ifnull"));
    case TSqlDialect::PostgreSQL:
      return ReplaceTop(ReplaceIsNull(sql, "coalesce"));
  }
  return std::string(sql);
}

std::string SqlQuoted(std::string_view text) {
  std::string quoted = "'";
  for (const char c : text) {
    quoted.push_back(c);
    if (c == '\'') quoted.push_back('\'');
  }
  quoted.push_back('\'');
  return quoted;
}

}  // namespace vantrel
