#pragma once

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

namespace vantrel {

// The callbacks still to be made, as the routing lines that own them last told: what consoles and the wallboard
// list. The lines keep the callbacks themselves; this is their public face. Thread-safe; its lock is a leaf.
class TCallbackBoard {
 public:
  struct TEntry {
    std::string key;  // the callback's key (the call key of the call that asked for it)
    long rule = 0;
    long line = 0;  // the routing line's ID; with handle, the callback's key in the queue
    long handle = 0;
    std::string linePhoneNumber;
    std::string callerNumber;
    std::string state;
    long attempts = 0;
    std::chrono::steady_clock::time_point requested;
  };

  // Adds the callback, or updates it under its key.
  void Put(const TEntry& entry);
  void Remove(const std::string& key);
  std::vector<TEntry> OfRule(long rule) const;

 private:
  mutable std::mutex mutex_;
  std::vector<TEntry> entries_;  // guarded by mutex_
};

}  // namespace vantrel
