#include "SqliteBackend.h"

#include <sys/stat.h>

#include <cstdio>
#include <memory>
#include <stdexcept>

#include "support/IniFile.h"

namespace vantrel {

namespace {

struct StatementDeleter {
  void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementDeleter>;

std::string ColumnText(sqlite3_stmt* statement, int column) {
  switch (sqlite3_column_type(statement, column)) {
    case SQLITE_NULL:
      return {};
    case SQLITE_INTEGER:
      return std::to_string(sqlite3_column_int64(statement, column));
    case SQLITE_FLOAT: {
      char buffer[64];
      const int length = std::snprintf(buffer, sizeof buffer, "%.15G", sqlite3_column_double(statement, column));
      return std::string(buffer, static_cast<std::size_t>(length));
    }
    default: {
      const auto* bytes = static_cast<const char*>(sqlite3_column_blob(statement, column));
      return bytes == nullptr ? std::string()
                              : std::string(bytes, static_cast<std::size_t>(sqlite3_column_bytes(statement, column)));
    }
  }
}

}  // namespace

TSqliteBackend::TSqliteBackend(const std::string& fileName) : fileName_(fileName) {
  struct stat before {};
  const bool created = ::stat(fileName.c_str(), &before) != 0;
  const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX;
  if (sqlite3_open_v2(fileName.c_str(), &database_, flags, nullptr) != SQLITE_OK) {
    const std::string message = database_ != nullptr ? sqlite3_errmsg(database_) : "out of memory";
    sqlite3_close(database_);
    database_ = nullptr;
    throw std::runtime_error("Cannot open SQLite database \"" + fileName + "\": " + message);
  }
  // Concurrent writers from other connections wait instead of failing at once.
  sqlite3_busy_timeout(database_, 5000);
  // Statements come from clients too: they may not attach (and so create) other database files anywhere, nor
  // load extensions (off by default; kept off). While read-only, no pragma may be set: "query_only" would undo
  // it.
  sqlite3_set_authorizer(
      database_,
      [](void* self, int action, const char*, const char* value, const char*, const char*) {
        if (action == SQLITE_ATTACH || action == SQLITE_DETACH) return SQLITE_DENY;
        const bool readOnly = static_cast<TSqliteBackend*>(self)->readOnly_.load();
        return readOnly && action == SQLITE_PRAGMA && value != nullptr ? SQLITE_DENY : SQLITE_OK;
      },
      this);
  sqlite3_db_config(database_, SQLITE_DBCONFIG_ENABLE_LOAD_EXTENSION, 0, nullptr);
  // Write-ahead logging: readers do not block the call log's writer, and a commit is one append to the log.
  // With synchronous=NORMAL a commit is in the operating system's hands when it returns, so a crash of this
  // process never loses a committed transaction; only a crash of the machine may lose the last ones.
  // A file system without shared memory keeps the rollback journal; the statements fail soft then.
  sqlite3_exec(database_, "pragma journal_mode=WAL", nullptr, nullptr, nullptr);
  sqlite3_exec(database_, "pragma synchronous=NORMAL", nullptr, nullptr, nullptr);
  // A CRM file the server makes is its user's alone; one an administrator provides keeps its permissions.
  if (created) ::chmod(fileName.c_str(), 0600);
  struct stat opened {};
  if (::stat(fileName.c_str(), &opened) == 0) {
    device_ = opened.st_dev;
    inode_ = opened.st_ino;
  }
}

bool TSqliteBackend::IsStale() {
  if (inode_ == 0) return false;
  struct stat now {};
  return ::stat(fileName_.c_str(), &now) != 0 || now.st_dev != device_ || now.st_ino != inode_;
}

// Immediate: the write lock is taken at the start, so a busy database fails here and not half-way through.
void TSqliteBackend::Begin() { Execute("begin immediate"); }

void TSqliteBackend::Commit() { Execute("commit"); }

void TSqliteBackend::Rollback() noexcept {
  if (sqlite3_get_autocommit(database_) == 0) sqlite3_exec(database_, "rollback", nullptr, nullptr, nullptr);
}

TSqliteBackend::~TSqliteBackend() { sqlite3_close_v2(database_); }

void TSqliteBackend::BeginReadOnly(TSqlDialect) {
  Execute("pragma query_only=1");
  readOnly_ = true;
}

void TSqliteBackend::EndReadOnly() noexcept {
  readOnly_ = false;
  sqlite3_exec(database_, "pragma query_only=0", nullptr, nullptr, nullptr);
}

void TSqliteBackend::Fail(int code, const std::string& message) const {
  // The code this statement returned, not the connection's last one: other threads may be reading meanwhile.
  const int primary = code & 0xff;
  if (readOnly_ && (primary == SQLITE_READONLY || primary == SQLITE_AUTH)) throw EWriteRefused(message);
  throw std::runtime_error(message);
}

void TSqliteBackend::Execute(const std::string& sql) {
  char* error = nullptr;
  if (const int code = sqlite3_exec(database_, sql.c_str(), nullptr, nullptr, &error); code != SQLITE_OK) {
    const std::string message = error != nullptr ? error : sqlite3_errmsg(database_);
    sqlite3_free(error);
    Fail(code, message);
  }
}

std::optional<std::vector<std::string>> TSqliteBackend::QueryFirstRow(const std::string& sql,
                                                                      const std::vector<std::string>& fieldNames) {
  sqlite3_stmt* raw = nullptr;
  if (const int code = sqlite3_prepare_v2(database_, sql.c_str(), static_cast<int>(sql.size()), &raw, nullptr);
      code != SQLITE_OK) {
    Fail(code, sqlite3_errmsg(database_));
  }
  const Statement statement(raw);
  if (!statement) throw std::runtime_error("The query text holds no statement");
  std::vector<int> columns;
  const int count = sqlite3_column_count(raw);
  for (const std::string& name : fieldNames) {
    int found = -1;
    for (int i = 0; i < count && found < 0; ++i) {
      if (EqualsIgnoreCase(sqlite3_column_name(raw, i), name)) found = i;
    }
    if (found < 0) throw std::runtime_error(kUnknownFieldText);
    columns.push_back(found);
  }
  const int step = sqlite3_step(raw);
  if (step == SQLITE_DONE) return std::nullopt;
  if (step != SQLITE_ROW) Fail(step, sqlite3_errmsg(database_));
  std::vector<std::string> values;
  for (const int column : columns) values.push_back(ColumnText(raw, column));
  return values;
}

std::vector<std::vector<std::string>> TSqliteBackend::QueryRows(const std::string& sql) {
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(database_, sql.c_str(), static_cast<int>(sql.size()), &raw, nullptr) != SQLITE_OK) {
    throw std::runtime_error(sqlite3_errmsg(database_));
  }
  const Statement statement(raw);
  if (!statement) throw std::runtime_error("The query text holds no statement");
  const int count = sqlite3_column_count(raw);
  std::vector<std::vector<std::string>> rows;
  for (;;) {
    const int step = sqlite3_step(raw);
    if (step == SQLITE_DONE) break;
    if (step != SQLITE_ROW) throw std::runtime_error(sqlite3_errmsg(database_));
    std::vector<std::string>& row = rows.emplace_back();
    for (int i = 0; i < count; ++i) row.push_back(ColumnText(raw, i));
  }
  return rows;
}

bool TSqliteBackend::HasNoTables() {
  const auto row = QueryFirstRow("select count(*) as Tables from sqlite_master", {"Tables"});
  return row && row->front() == "0";
}

}  // namespace vantrel
