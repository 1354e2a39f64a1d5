// The people who may act through the gateway: "WebUsers.ini" in the INI folder, one section per user with
// its role, and for an operator the line they work at and their CRM employee ID. Passwords are kept as salted
// PBKDF2-SHA256 hashes, never as they were typed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace vantrel::web {

struct TWebUser {
  std::string name;
  std::string role;  // "operator" or "supervisor"
  std::string line;  // an operator's own line
  long operatorID = 0;
};

// Lower-case hex of the bytes.
std::string HexOf(const unsigned char* bytes, std::size_t length);

class TWebUsers {
 public:
  explicit TWebUsers(std::string fileName);

  // The user when the password is theirs; the file is read again on every attempt, so an edit needs no restart.
  std::optional<TWebUser> Authenticate(const std::string& name, const std::string& password) const;
  // Adds or replaces a user; throws std::invalid_argument for a bad name, role, line or ID, and
  // std::runtime_error when the file cannot be written.
  void Put(const TWebUser& user, const std::string& password);
  // The user as the file holds them now (none when removed); no password is checked.
  std::optional<TWebUser> Find(const std::string& name) const;
  // Whether a logged-in user is still in the file with the same role, line and ID.
  bool StillValid(const TWebUser& user) const;

  static bool IsValidName(const std::string& name);
  // "pbkdf2-sha256$ITERATIONS$SALT$HASH" (hex), with a fresh random salt.
  static std::string HashPassword(const std::string& password);
  static bool PasswordMatches(const std::string& password, const std::string& stored);

 private:
  // The file's users and their stored hashes, read again when the file changes.
  struct TEntry {
    TWebUser user;
    std::string password;
  };
  std::optional<TEntry> Entry(const std::string& name) const;

  const std::string fileName_;
  mutable std::mutex mutex_;  // one writer of the file at a time; guards the copy below
  mutable std::map<std::string, TEntry> entries_;
  mutable std::filesystem::file_time_type readAt_;
  mutable std::uintmax_t readSize_ = 0;
  mutable bool read_ = false;
};

}  // namespace vantrel::web
