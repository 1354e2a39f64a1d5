#pragma once

#include <omniORB4/CORBA.h>

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

namespace vantrel {

// What a line's calls looked like when the telephony thread last handled an event of each: clients ask the
// questions they ask most (state, parties, active and offering call) of it without waiting for that thread.
// A call's entry is written before its event goes to the listener, so a client that got an event and then
// asks sees that state or a later one. Each event writes its own call's entry only: the cost of an event does
// not grow with the calls on the line.
class TLineCallsSnapshot {
 public:
  struct TCall {
    CORBA::Long state = 0;
    bool active = false;
    bool offering = false;
    std::string callerID, calledID, connectedID;
    std::uint64_t listed = 0;  // when the line first saw it: the order of the line's list
  };

  void Publish(CORBA::Long handle, TCall call) {
    std::lock_guard lock(mutex_);
    const auto found = calls_.find(handle);
    call.listed = found != calls_.end() ? found->second.listed : nextListed_++;
    calls_[handle] = std::move(call);
  }
  void Forget(CORBA::Long handle) {
    std::lock_guard lock(mutex_);
    calls_.erase(handle);
  }
  std::optional<TCall> Find(CORBA::Long handle) const {
    std::lock_guard lock(mutex_);
    const auto found = calls_.find(handle);
    if (found == calls_.end()) return std::nullopt;
    return found->second;
  }
  // The first listed call for which the flag is set, 0 for none.
  CORBA::Long First(bool TCall::*flag) const {
    std::lock_guard lock(mutex_);
    CORBA::Long first = 0;
    std::uint64_t firstListed = UINT64_MAX;
    for (const auto& [handle, call] : calls_) {
      if (call.*flag && call.listed < firstListed) {
        first = handle;
        firstListed = call.listed;
      }
    }
    return first;
  }

 private:
  mutable std::mutex mutex_;
  std::unordered_map<CORBA::Long, TCall> calls_;  // guarded by mutex_
  std::uint64_t nextListed_ = 0;                  // guarded by mutex_
};

}  // namespace vantrel
