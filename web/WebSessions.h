// Who is logged in to the gateway: a random token per login, carried by the browser in an HttpOnly cookie.
#pragma once

#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "WebUsers.h"

namespace vantrel::web {

class TWebSessions {
 public:
  explicit TWebSessions(std::chrono::seconds lifetime = std::chrono::hours(12)) : lifetime_(lifetime) {}

  // A new session's token.
  std::string Open(const TWebUser& user);
  // The user of a live session; an unknown or expired token gives none.
  std::optional<TWebUser> Find(const std::string& token);
  void Close(const std::string& token);
  // Five wrong passwords for a name within a minute hold further tries for it back for a minute, so
  // passwords are not guessed at the gateway's speed (each try costs a deliberate hash).
  bool MayTryLogin(const std::string& name);
  void NoteLogin(const std::string& name, bool succeeded);
  std::chrono::seconds Lifetime() const { return lifetime_; }

 private:
  struct TSession {
    TWebUser user;
    std::chrono::steady_clock::time_point expires;
  };
  const std::chrono::seconds lifetime_;
  std::mutex mutex_;
  std::map<std::string, TSession> sessions_;  // guarded by mutex_
  struct TFailures {
    int count = 0;
    std::chrono::steady_clock::time_point since;
  };
  std::map<std::string, TFailures> failures_;  // guarded by mutex_
};

}  // namespace vantrel::web
