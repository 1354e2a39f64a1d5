#include "WebSessions.h"

#include <openssl/rand.h>

#include <cstdio>
#include <stdexcept>

namespace vantrel::web {

std::string TWebSessions::Open(const TWebUser& user) {
  unsigned char bytes[32];
  if (RAND_bytes(bytes, sizeof bytes) != 1) throw std::runtime_error("no random bytes");
  const std::string token = HexOf(bytes, sizeof bytes);
  const auto now = std::chrono::steady_clock::now();
  std::lock_guard lock(mutex_);
  std::erase_if(sessions_, [&](const auto& entry) { return entry.second.expires < now; });
  sessions_[token] = {user, now + lifetime_};
  return token;
}

std::optional<TWebUser> TWebSessions::Find(const std::string& token) {
  std::lock_guard lock(mutex_);
  const auto found = sessions_.find(token);
  if (found == sessions_.end()) return std::nullopt;
  if (found->second.expires < std::chrono::steady_clock::now()) {
    sessions_.erase(found);
    return std::nullopt;
  }
  return found->second.user;
}

void TWebSessions::Close(const std::string& token) {
  std::lock_guard lock(mutex_);
  sessions_.erase(token);
}

}  // namespace vantrel::web
