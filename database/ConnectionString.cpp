#include "ConnectionString.h"

#include <filesystem>
#include <stdexcept>

#include "support/FormatText.h"
#include "support/IniFile.h"
#include "support/PathConfinement.h"

namespace vantrel {

namespace {

bool StartsWithIgnoreCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualsIgnoreCase(text.substr(0, prefix.size()), prefix);
}

bool ContainsIgnoreCase(std::string_view text, std::string_view part) {
  return LowerCase(text).find(LowerCase(part)) != std::string::npos;
}

// ODBC values with ; { } or blanks at the ends go in braces, a closing brace doubled.
std::string OdbcValue(const std::string& value) {
  if (value.find_first_of(";{}") == std::string::npos && TrimText(value) == value) return value;
  std::string braced = "{";
  for (const char c : value) {
    braced.push_back(c);
    if (c == '}') braced.push_back('}');
  }
  return braced + "}";
}

}  // namespace

TConnectionString::TConnectionString(std::string_view text) {
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t equals = text.find('=', at);
    const std::size_t semicolon = text.find(';', at);
    if (equals == std::string_view::npos || (semicolon != std::string_view::npos && semicolon < equals)) {
      if (!TrimText(text.substr(at, semicolon == std::string_view::npos ? semicolon : semicolon - at)).empty()) {
        throw std::invalid_argument("Connection string entry without '=': " +
                                    TrimText(text.substr(at, semicolon - at)));
      }
      if (semicolon == std::string_view::npos) break;
      at = semicolon + 1;
      continue;
    }
    std::string key = TrimText(text.substr(at, equals - at));
    std::size_t valueStart = equals + 1;
    while (valueStart < text.size() && text[valueStart] == ' ') ++valueStart;
    std::string value;
    std::size_t next = 0;
    if (valueStart < text.size() && (text[valueStart] == '\'' || text[valueStart] == '"')) {
      // A quoted value may hold semicolons; a doubled quote stands for itself.
      const char quote = text[valueStart];
      std::size_t i = valueStart + 1;
      for (; i < text.size(); ++i) {
        if (text[i] == quote) {
          if (i + 1 < text.size() && text[i + 1] == quote) {
            value.push_back(quote);
            ++i;
            continue;
          }
          break;
        }
        value.push_back(text[i]);
      }
      if (i >= text.size()) throw std::invalid_argument("Unterminated quoted value in connection string");
      next = text.find(';', i + 1);
    } else {
      next = text.find(';', valueStart);
      value = TrimText(text.substr(valueStart, next == std::string_view::npos ? next : next - valueStart));
    }
    entries_.emplace_back(std::move(key), std::move(value));
    if (next == std::string_view::npos) break;
    at = next + 1;
  }
}

std::optional<std::string> TConnectionString::Value(std::string_view key) const {
  for (const auto& [name, value] : entries_) {
    if (EqualsIgnoreCase(name, key)) return value;
  }
  return std::nullopt;
}

TConnectionTarget ResolveConnectionString(std::string_view text, const std::string& baseFolder) {
  const TConnectionString parsed(text);
  const auto driver = parsed.Value("Driver");
  // The driver manager loads a Driver given as a path, and FILEDSN/SAVEFILE name files: a connection string a
  // client passes could run code of its choosing or touch files as the server's user. Only registered drivers.
  if (driver && (driver->find('/') != std::string::npos || driver->find('\\') != std::string::npos)) {
    throw std::invalid_argument("The ODBC driver \"" + *driver +
                                "\" is a file path; only drivers registered with the driver manager can be named");
  }
  for (const char* key : {"FILEDSN", "SAVEFILE"}) {
    if (parsed.Value(key)) throw std::invalid_argument(std::string("The connection string may not name a ") + key);
  }
  if (driver || parsed.Value("DSN")) {
    const std::string name = driver.value_or(parsed.Value("DSN").value_or(""));
    const bool postgres = ContainsIgnoreCase(name, "postgres") || ContainsIgnoreCase(name, "psql");
    return {TConnectionTarget::Backend::ODBC, std::string(text),
            postgres ? TSqlDialect::PostgreSQL : TSqlDialect::SqlServer};
  }
  const std::string provider = parsed.Value("Provider").value_or("");
  if (EqualsIgnoreCase(provider, "SQLite")) {
    const std::string file = parsed.Value("Data Source").value_or("");
    if (file.empty()) throw std::invalid_argument("The SQLite connection string names no Data Source");
    std::filesystem::path path(file);
    if (file != ":memory:") {
      if (path.is_relative()) path = std::filesystem::path(baseFolder) / path;
      TPathConfinement::Instance().Check(path.string());
    }
    return {TConnectionTarget::Backend::SQLite, path.string(), TSqlDialect::SQLite};
  }
  if (EqualsIgnoreCase(provider, "SQLOLEDB") || StartsWithIgnoreCase(provider, "SQLNCLI") ||
      StartsWithIgnoreCase(provider, "SQLOLEDB.") || EqualsIgnoreCase(provider, "MSOLEDBSQL")) {
    std::string odbc = "Driver=FreeTDS";
    const std::pair<const char*, const char*> mapped[] = {
        {"Data Source", "Server"}, {"Initial Catalog", "Database"}, {"User ID", "UID"}, {"Password", "PWD"}};
    for (const auto& [adoKey, odbcKey] : mapped) {
      if (const auto value = parsed.Value(adoKey)) odbc += std::string(";") + odbcKey + "=" + OdbcValue(*value);
    }
    return {TConnectionTarget::Backend::ODBC, odbc, TSqlDialect::SqlServer};
  }
  if (provider.empty()) throw std::invalid_argument("The connection string names no Provider, Driver or DSN");
  throw std::invalid_argument("Unknown database provider \"" + provider + "\"");
}

}  // namespace vantrel
