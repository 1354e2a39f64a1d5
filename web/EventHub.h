// The gateway's fan-out of live events to browsers, coalesced so a busy server does not flood them.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

namespace vantrel::web {

// One browser's connection, as the hub sees it. Deliver runs on the hub's thread and must not block.
class IEventSubscriber {
 public:
  virtual ~IEventSubscriber() = default;
  // `replaceable`: a newer message of the same kind makes this one worthless (a whole state), so a slow
  // subscriber may skip it; call events never are.
  virtual void Deliver(std::shared_ptr<const std::string> message, bool replaceable) = 0;
};

class TEventHub {
 public:
  // Call events are sent in batches gathered over `eventWindow`; states at most every `stateInterval`.
  explicit TEventHub(std::chrono::milliseconds eventWindow = std::chrono::milliseconds(20),
                     std::chrono::milliseconds stateInterval = std::chrono::milliseconds(250));
  ~TEventHub();
  TEventHub(const TEventHub&) = delete;
  TEventHub& operator=(const TEventHub&) = delete;

  // Any thread; events keep the order they are added in and are numbered in that order.
  void AddCallEvent(const std::string& line, long call, const std::string& event);
  // Where the whole state comes from; asked on the hub's thread only when a state is due, so a busy server's
  // many changes cost one state per interval. Set before the first StateChanged.
  void SetStateSource(std::function<nlohmann::json()> source);
  // The state has changed since the last one sent.
  void StateChanged();
  // A new subscriber gets the latest state at once (or the first one made).
  void Subscribe(const std::shared_ptr<IEventSubscriber>& subscriber);
  std::size_t Subscribers();
  std::uint64_t EventsSent();

 private:
  void Run();
  void DeliverToAll(const std::shared_ptr<const std::string>& message, bool replaceable);

  const std::chrono::milliseconds eventWindow_;
  const std::chrono::milliseconds stateInterval_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;                                     // guarded by mutex_
  std::uint64_t nextSequence_ = 1;                            // guarded by mutex_
  nlohmann::json pendingEvents_ = nlohmann::json::array();    // guarded by mutex_
  std::chrono::steady_clock::time_point firstPendingEvent_;   // guarded by mutex_
  std::function<nlohmann::json()> stateSource_;               // guarded by mutex_
  bool stateChanged_ = false;                                 // guarded by mutex_
  std::shared_ptr<const std::string> latestState_;            // guarded by mutex_
  std::chrono::steady_clock::time_point lastStateSent_;       // guarded by mutex_
  std::vector<std::weak_ptr<IEventSubscriber>> subscribers_;  // guarded by mutex_
  std::uint64_t eventsSent_ = 0;                              // guarded by mutex_
  std::thread thread_;
};

}  // namespace vantrel::web
