#include "WebUsers.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cstdio>
#include <filesystem>
#include <regex>
#include <stdexcept>
#include <vector>

#include "support/IniFile.h"

namespace vantrel::web {

std::string HexOf(const unsigned char* bytes, std::size_t length) {
  std::string text;
  char pair[3];
  for (std::size_t i = 0; i < length; ++i) {
    std::snprintf(pair, sizeof pair, "%02x", bytes[i]);
    text += pair;
  }
  return text;
}

namespace {
constexpr int kIterations = 100000;
constexpr std::size_t kSaltBytes = 16, kHashBytes = 32;

std::optional<std::vector<unsigned char>> FromHex(const std::string& text) {
  if (text.size() % 2 != 0 || text.size() > 256) return std::nullopt;
  std::vector<unsigned char> bytes;
  for (std::size_t i = 0; i < text.size(); i += 2) {
    unsigned value = 0;
    if (std::sscanf(text.c_str() + i, "%2x", &value) != 1) return std::nullopt;
    bytes.push_back(static_cast<unsigned char>(value));
  }
  return bytes;
}

std::vector<unsigned char> Derive(const std::string& password, const std::vector<unsigned char>& salt, int iterations,
                                  std::size_t length) {
  std::vector<unsigned char> hash(length);
  if (PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), salt.data(), static_cast<int>(salt.size()),
                        iterations, EVP_sha256(), static_cast<int>(length), hash.data()) != 1)
    throw std::runtime_error("PBKDF2 failed");
  return hash;
}

// A password is checked even for a user who does not exist, so the time taken does not tell who does.
const std::string& DecoyHash() {
  static const std::string decoy = TWebUsers::HashPassword("decoy");
  return decoy;
}
}  // namespace

TWebUsers::TWebUsers(std::string fileName) : fileName_(std::move(fileName)) {}

bool TWebUsers::IsValidName(const std::string& name) {
  static const std::regex pattern("[A-Za-z0-9._-]{1,32}");
  return std::regex_match(name, pattern);
}

std::string TWebUsers::HashPassword(const std::string& password) {
  std::vector<unsigned char> salt(kSaltBytes);
  if (RAND_bytes(salt.data(), static_cast<int>(salt.size())) != 1) throw std::runtime_error("no random bytes");
  const auto hash = Derive(password, salt, kIterations, kHashBytes);
  return "pbkdf2-sha256$" + std::to_string(kIterations) + "$" + HexOf(salt.data(), salt.size()) + "$" +
         HexOf(hash.data(), hash.size());
}

bool TWebUsers::PasswordMatches(const std::string& password, const std::string& stored) {
  static const std::regex format(R"(pbkdf2-sha256\$([0-9]{4,7})\$([0-9a-f]{16,64})\$([0-9a-f]{32,128}))");
  std::smatch parts;
  if (!std::regex_match(stored, parts, format)) return false;
  const int iterations = std::stoi(parts[1]);
  const auto salt = FromHex(parts[2]);
  const auto expected = FromHex(parts[3]);
  if (!salt || !expected) return false;
  const auto hash = Derive(password, *salt, iterations, expected->size());
  return CRYPTO_memcmp(hash.data(), expected->data(), hash.size()) == 0;
}

std::optional<TWebUsers::TEntry> TWebUsers::Entry(const std::string& name) const {
  if (!IsValidName(name)) return std::nullopt;
  std::lock_guard lock(mutex_);
  std::error_code error;
  const auto modified = std::filesystem::last_write_time(fileName_, error);
  const auto size = error ? 0 : std::filesystem::file_size(fileName_, error);
  if (!read_ || error || modified != readAt_ || size != readSize_) {
    entries_.clear();
    const TMemIniFile file(fileName_);
    for (const auto& section : file.ReadSections()) {
      TEntry entry;
      entry.password = file.ReadString(section, "Password", "");
      entry.user.name = section;
      entry.user.role = file.ReadString(section, "Role", "");
      entry.user.line = file.ReadString(section, "Line", "");
      entry.user.operatorID = file.ReadInteger(section, "OperatorID", 0);
      entries_[section] = entry;
    }
    readAt_ = modified;
    readSize_ = size;
    read_ = !error;
  }
  const auto found = entries_.find(name);
  if (found == entries_.end()) return std::nullopt;
  return found->second;
}

std::optional<TWebUser> TWebUsers::Find(const std::string& name) const {
  const auto entry = Entry(name);
  if (!entry) return std::nullopt;
  const TWebUser& user = entry->user;
  if (user.role != "operator" && user.role != "supervisor") return std::nullopt;
  // An operator without a line of their own could act nowhere; such an entry is refused, not guessed at.
  if (user.role == "operator" && (user.line.empty() || user.operatorID <= 0)) return std::nullopt;
  return user;
}

bool TWebUsers::StillValid(const TWebUser& user) const {
  const auto now = Find(user.name);
  return now && now->role == user.role && now->line == user.line && now->operatorID == user.operatorID;
}

std::optional<TWebUser> TWebUsers::Authenticate(const std::string& name, const std::string& password) const {
  if (!IsValidName(name) || password.size() > 1024) return std::nullopt;
  const auto entry = Entry(name);
  if (!entry || entry->password.empty()) {
    PasswordMatches(password, DecoyHash());
    return std::nullopt;
  }
  if (!PasswordMatches(password, entry->password)) return std::nullopt;
  return Find(name);
}

void TWebUsers::Put(const TWebUser& user, const std::string& password) {
  static const std::regex line("[0-9*#+]{1,32}");
  if (!IsValidName(user.name)) throw std::invalid_argument("a user name is 1 to 32 letters, digits, '.', '_' or '-'");
  if (user.role != "operator" && user.role != "supervisor")
    throw std::invalid_argument("the role is operator or supervisor");
  if (user.role == "operator" && (!std::regex_match(user.line, line) || user.operatorID <= 0))
    throw std::invalid_argument("an operator needs their line's number and their CRM employee ID");
  if (password.size() < 8 || password.size() > 1024) throw std::invalid_argument("a password is 8 to 1024 characters");
  std::lock_guard lock(mutex_);
  TMemIniFile file(fileName_);
  file.EraseSection(user.name);
  file.WriteString(user.name, "Role", user.role);
  if (user.role == "supervisor" && !user.line.empty() && !std::regex_match(user.line, line))
    throw std::invalid_argument("a supervisor's station is a line's number");
  if (user.role == "operator") {
    file.WriteString(user.name, "Line", user.line);
    file.WriteInteger(user.name, "OperatorID", static_cast<int>(user.operatorID));
  } else if (!user.line.empty()) {
    // The station that rings when the supervisor listens in on a call.
    file.WriteString(user.name, "Line", user.line);
  }
  file.WriteString(user.name, "Password", HashPassword(password));
  file.UpdateFile();
  read_ = false;
  // Hashes are no secret to keep lightly either: only the owner reads the file.
  std::filesystem::permissions(fileName_, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

}  // namespace vantrel::web
