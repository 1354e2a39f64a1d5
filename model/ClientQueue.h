#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "platform/LockRank.h"

namespace vantrel {

// The events of one client (one process serving listener objects), sent in the order they were posted by a
// thread of this queue, so that no caller ever waits for a client. A client that does not take its events
// within kDeliveryBound, that cannot be reached, or whose queue passes kMostPending events is dropped: its
// pending events are discarded, one error-log line says so, and every owner of one of its listeners lets the
// listener go at its next event as it would a stale one.
//
// Lock order: an owner's own lock, then mutex_. The sending thread takes no other lock while it holds mutex_
// and holds no lock while it sends.
class TClientQueue {
 public:
  using Send = std::function<void()>;
  using Clock = std::chrono::steady_clock;

  static constexpr Clock::duration kDeliveryBound = std::chrono::seconds(5);
  static constexpr std::size_t kMostPending = 20000;

  explicit TClientQueue(std::string client);
  ~TClientQueue();
  TClientQueue(const TClientQueue&) = delete;
  TClientQueue& operator=(const TClientQueue&) = delete;

  // Queues one send of the named listener operation; false (and nothing queued) once the client has been
  // dropped.
  bool Post(const char* operation, Send send);
  bool Dropped() const;
  // Waits until every event posted so far has been sent (or the client dropped); false at the deadline.
  bool WaitUntilSent(Clock::time_point deadline);
  const std::string& Client() const { return client_; }
  // Ends the sending thread: the send under way finishes (bounded by the ORB's call time-out), the rest is
  // discarded. Posts after that are discarded too.
  void Stop();

 private:
  struct TPending {
    const char* operation;
    Send send;
    Clock::time_point posted;
  };
  // Open -> Dropped | Stopped; both are final.
  enum class TState { Open, Dropped, Stopped };
  static const char* StateName(TState state);

  using TQueueMutex = platform::RankedMutex<platform::LockRank::ClientQueue>;

  void Run();
  // Both require mutex_ held through `held`.
  void SetState(TState state, const std::unique_lock<TQueueMutex>& held);
  void Drop(const std::string& why, const std::unique_lock<TQueueMutex>& held);

  const std::string client_;
  mutable TQueueMutex mutex_;
  std::condition_variable_any posted_;
  std::condition_variable_any sent_;
  std::deque<TPending> pending_;  // guarded by mutex_
  TState state_ = TState::Open;   // guarded by mutex_
  bool threadRunning_ = false;    // guarded by mutex_
  bool sending_ = false;          // guarded by mutex_
  std::thread thread_;            // started and joined under mutex_ only when threadRunning_ is false
};

}  // namespace vantrel
