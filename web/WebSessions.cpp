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

bool TWebSessions::MayTryLogin(const std::string& name) {
  std::lock_guard lock(mutex_);
  const auto found = failures_.find(name);
  if (found == failures_.end()) return true;
  if (std::chrono::steady_clock::now() - found->second.since > std::chrono::minutes(1)) {
    failures_.erase(found);
    return true;
  }
  return found->second.count < 5;
}

void TWebSessions::NoteLogin(const std::string& name, bool succeeded) {
  std::lock_guard lock(mutex_);
  if (succeeded) {
    failures_.erase(name);
    return;
  }
  // Names nobody has are counted too; the map is bounded by forgetting the old ones.
  if (failures_.size() > 10000) failures_.clear();
  auto& failures = failures_[name];
  if (failures.count == 0) failures.since = std::chrono::steady_clock::now();
  ++failures.count;
}

void TWebSessions::Close(const std::string& token) {
  std::lock_guard lock(mutex_);
  sessions_.erase(token);
}

}  // namespace vantrel::web
