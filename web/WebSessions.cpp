#include "WebSessions.h"

#include <openssl/rand.h>

#include <cstdio>
#include <set>
#include <stdexcept>

namespace vantrel::web {

void TWebSessions::End(std::vector<std::weak_ptr<ISessionEnd>>& watchers) {
  for (auto& weak : watchers)
    if (auto watcher = weak.lock()) watcher->EndSession();
  watchers.clear();
}

std::string TWebSessions::Open(const TWebUser& user) {
  unsigned char bytes[32];
  if (RAND_bytes(bytes, sizeof bytes) != 1) throw std::runtime_error("no random bytes");
  const std::string token = HexOf(bytes, sizeof bytes);
  const auto now = std::chrono::steady_clock::now();
  std::vector<std::weak_ptr<ISessionEnd>> ended;
  {
    std::lock_guard lock(mutex_);
    for (auto session = sessions_.begin(); session != sessions_.end();) {
      if (session->second.expires >= now) {
        ++session;
        continue;
      }
      for (auto& watcher : session->second.watchers) ended.push_back(std::move(watcher));
      session = sessions_.erase(session);
    }
    sessions_[token] = {user, now + lifetime_, {}};
  }
  End(ended);
  return token;
}

std::optional<TWebUser> TWebSessions::Find(const std::string& token) {
  std::lock_guard lock(mutex_);
  const auto found = sessions_.find(token);
  if (found == sessions_.end()) return std::nullopt;
  if (found->second.expires < std::chrono::steady_clock::now()) return std::nullopt;
  return found->second.user;
}

void TWebSessions::Close(const std::string& token) {
  std::vector<std::weak_ptr<ISessionEnd>> ended;
  {
    std::lock_guard lock(mutex_);
    const auto found = sessions_.find(token);
    if (found == sessions_.end()) return;
    ended = std::move(found->second.watchers);
    sessions_.erase(found);
  }
  End(ended);
}

void TWebSessions::Watch(const std::string& token, std::weak_ptr<ISessionEnd> watcher) {
  {
    std::lock_guard lock(mutex_);
    const auto found = sessions_.find(token);
    if (found != sessions_.end()) {
      auto& watchers = found->second.watchers;
      std::erase_if(watchers, [](const auto& weak) { return weak.expired(); });
      watchers.push_back(std::move(watcher));
      return;
    }
  }
  // Closed meanwhile: what would have watched it ends now.
  if (auto late = watcher.lock()) late->EndSession();
}

void TWebSessions::Sweep(const std::function<bool(const TWebUser&)>& stillValid) {
  std::map<std::string, TWebUser> users;
  {
    std::lock_guard lock(mutex_);
    for (const auto& [token, session] : sessions_) users.emplace(token, session.user);
  }
  // The users are checked without the lock: that reads a file.
  std::set<std::string> invalid;
  for (const auto& [token, user] : users)
    if (!stillValid(user)) invalid.insert(token);
  const auto now = std::chrono::steady_clock::now();
  std::vector<std::weak_ptr<ISessionEnd>> ended;
  {
    std::lock_guard lock(mutex_);
    for (const auto& [token, user] : users) {
      const auto found = sessions_.find(token);
      if (found == sessions_.end()) continue;
      if (found->second.expires >= now && invalid.count(token) == 0) continue;
      for (auto& watcher : found->second.watchers) ended.push_back(std::move(watcher));
      sessions_.erase(found);
    }
  }
  End(ended);
}

}  // namespace vantrel::web
