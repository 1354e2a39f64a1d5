// Who is logged in to the gateway: a random token per login, carried by the browser in an HttpOnly cookie.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "WebUsers.h"

namespace vantrel::web {

// What lives as long as a session and no longer (its event sockets). EndSession may run on any thread.
class ISessionEnd {
 public:
  virtual ~ISessionEnd() = default;
  virtual void EndSession() = 0;
};

class TWebSessions {
 public:
  explicit TWebSessions(std::chrono::seconds lifetime = std::chrono::hours(12)) : lifetime_(lifetime) {}

  // A new session's token.
  std::string Open(const TWebUser& user);
  // The user of a live session; an unknown or expired token gives none.
  std::optional<TWebUser> Find(const std::string& token);
  // Ends the session and whatever watches it.
  void Close(const std::string& token);
  // Ends with the session; dropped when the watcher goes first.
  void Watch(const std::string& token, std::weak_ptr<ISessionEnd> watcher);
  // Ends the sessions whose user is no longer valid (removed, or given another role or line) and the expired.
  void Sweep(const std::function<bool(const TWebUser&)>& stillValid);
  std::chrono::seconds Lifetime() const { return lifetime_; }

 private:
  struct TSession {
    TWebUser user;
    std::chrono::steady_clock::time_point expires;
    std::vector<std::weak_ptr<ISessionEnd>> watchers;
  };
  static void End(std::vector<std::weak_ptr<ISessionEnd>>& watchers);

  const std::chrono::seconds lifetime_;
  std::mutex mutex_;
  std::map<std::string, TSession> sessions_;  // guarded by mutex_
};

}  // namespace vantrel::web
