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

std::optional<TWebUser> TWebUsers::Authenticate(const std::string& name, const std::string& password) const {
  if (!IsValidName(name) || password.size() > 1024) return std::nullopt;
  std::string stored;
  TWebUser user;
  {
    std::lock_guard lock(mutex_);
    const TMemIniFile file(fileName_);
    if (file.SectionExists(name)) {
      stored = file.ReadString(name, "Password", "");
      user.name = name;
      user.role = file.ReadString(name, "Role", "");
      user.line = file.ReadString(name, "Line", "");
      user.operatorID = file.ReadInteger(name, "OperatorID", 0);
    }
  }
  if (stored.empty()) {
    PasswordMatches(password, DecoyHash());
    return std::nullopt;
  }
  if (!PasswordMatches(password, stored)) return std::nullopt;
  if (user.role != "operator" && user.role != "supervisor") return std::nullopt;
  // An operator without a line of their own could act nowhere; such an entry is refused, not guessed at.
  if (user.role == "operator" && (user.line.empty() || user.operatorID <= 0)) return std::nullopt;
  return user;
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
  if (user.role == "operator") {
    file.WriteString(user.name, "Line", user.line);
    file.WriteInteger(user.name, "OperatorID", static_cast<int>(user.operatorID));
  }
  file.WriteString(user.name, "Password", HashPassword(password));
  file.UpdateFile();
  // Hashes are no secret to keep lightly either: only the owner reads the file.
  std::filesystem::permissions(fileName_, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

}  // namespace vantrel::web
