#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vantrel::telephony {

// Names for callers' numbers, for the display name a ringing phone shows: looked up in a directory the server's
// assembly provides (the CRM's contacts) on a thread of their own, so that a slow database never holds the SIP
// thread, and kept for a minute.
class TSipCallerNames {
 public:
  // The name of the number, empty when the directory has none; may block; may throw.
  using TLookup = std::function<std::string(const std::string& number)>;
  enum class TFound { Known, Asked, Never };

  TSipCallerNames();
  ~TSipCallerNames();
  TSipCallerNames(const TSipCallerNames&) = delete;
  TSipCallerNames& operator=(const TSipCallerNames&) = delete;

  void SetLookup(TLookup lookup);
  // Known: *name is the name (empty when the directory has none). Asked: a look-up is under way and
  // whenAnswered runs, on the names' thread, once it is done. Never: there is no directory.
  TFound Find(const std::string& number, std::string* name, std::function<void()> whenAnswered);

  // What a SIP display name may hold of a name: no quotes, backslashes or control characters, 64 bytes at most.
  static std::string DisplayName(const std::string& name);

 private:
  using TClock = std::chrono::steady_clock;
  struct TName {
    std::string name;
    TClock::time_point learned;
  };

  void Run();

  std::mutex mutex_;  // a leaf: the look-up and the waiters run without it
  std::condition_variable wake_;
  TLookup lookup_;                                                     // guarded by mutex_
  std::map<std::string, TName> known_;                                 // guarded by mutex_
  std::deque<std::string> asked_;                                      // guarded by mutex_
  std::map<std::string, std::vector<std::function<void()>>> waiting_;  // guarded by mutex_: by number asked
  bool stopping_ = false;                                              // guarded by mutex_
  std::thread thread_;
};

}  // namespace vantrel::telephony
