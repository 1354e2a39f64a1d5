#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/DateTime.h"

namespace vantrel {

namespace telephony {
class TTapiCall;
}

// What the line remembers of a call once it may be gone: times, parties and notes.
struct TCallsHistoryItem {
  long Handle = 0;
  TDateTime BeginTime = 0;  // 0: never alive
  TDateTime EndTime = 0;
  std::string CallerID, CalledID, ConnectedID, RedirectingID, RedirectionID, RemoteID;
  std::vector<std::pair<std::string, std::string>> Notes;
  std::string Note(const std::string& name) const;
};

// The recent calls of one line, oldest first, at most Capacity of them; every operation holds the lock.
class TCallsHistoryList {
 public:
  explicit TCallsHistoryList(std::size_t capacity = 50) : capacity_(capacity) {}

  std::optional<TCallsHistoryItem> GetItem(long handle) const;
  std::optional<TCallsHistoryItem> GetItemByConnectedID(const std::string& connectedID) const;
  void AddCall(telephony::TTapiCall& call);
  void UpdateCall(telephony::TTapiCall& call);
  std::size_t Count() const;
  // What the history would keep of the call now.
  static TCallsHistoryItem FromCall(telephony::TTapiCall& call);

 private:
  void Append(TCallsHistoryItem item);

  mutable std::mutex mutex_;
  const std::size_t capacity_;
  std::deque<TCallsHistoryItem> items_;  // guarded by mutex_
};

// A wall-clock time point as local date-time; 0 for the epoch (never set).
TDateTime LocalDateTime(std::chrono::system_clock::time_point time);

}  // namespace vantrel
