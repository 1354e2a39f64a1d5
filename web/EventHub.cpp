#include "EventHub.h"

#include <algorithm>

#include "LiveState.h"

namespace vantrel::web {

TEventHub::TEventHub(std::chrono::milliseconds eventWindow, std::chrono::milliseconds stateInterval)
    : eventWindow_(eventWindow), stateInterval_(stateInterval), thread_([this] { Run(); }) {}

TEventHub::~TEventHub() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void TEventHub::AddCallEvent(const std::string& line, long call, const std::string& event) {
  {
    std::lock_guard lock(mutex_);
    if (pendingEvents_.empty()) firstPendingEvent_ = std::chrono::steady_clock::now();
    pendingEvents_.push_back(
        {{"seq", nextSequence_++}, {"time", EpochMilliseconds()}, {"line", line}, {"call", call}, {"event", event}});
  }
  wake_.notify_all();
}

void TEventHub::SetStateSource(std::function<nlohmann::json()> source) {
  std::lock_guard lock(mutex_);
  stateSource_ = std::move(source);
}

void TEventHub::StateChanged() {
  {
    std::lock_guard lock(mutex_);
    stateChanged_ = true;
  }
  wake_.notify_all();
}

void TEventHub::Subscribe(const std::shared_ptr<IEventSubscriber>& subscriber) {
  std::shared_ptr<const std::string> latest;
  {
    std::lock_guard lock(mutex_);
    subscribers_.push_back(subscriber);
    latest = latestState_;
    // None made yet: the first is made for this subscriber.
    if (!latest) stateChanged_ = true;
  }
  wake_.notify_all();
  if (latest) subscriber->Deliver(latest, true);
}

std::size_t TEventHub::Subscribers() {
  std::lock_guard lock(mutex_);
  std::erase_if(subscribers_, [](const auto& weak) { return weak.expired(); });
  return subscribers_.size();
}

std::uint64_t TEventHub::EventsSent() {
  std::lock_guard lock(mutex_);
  return eventsSent_;
}

void TEventHub::DeliverToAll(const std::shared_ptr<const std::string>& message, bool replaceable) {
  std::vector<std::shared_ptr<IEventSubscriber>> live;
  {
    std::lock_guard lock(mutex_);
    std::erase_if(subscribers_, [](const auto& weak) { return weak.expired(); });
    for (const auto& weak : subscribers_)
      if (auto subscriber = weak.lock()) live.push_back(std::move(subscriber));
  }
  for (const auto& subscriber : live) subscriber->Deliver(message, replaceable);
}

void TEventHub::Run() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    const auto now = std::chrono::steady_clock::now();
    const bool eventsDue = !pendingEvents_.empty() && now - firstPendingEvent_ >= eventWindow_;
    const bool stateDue = stateChanged_ && stateSource_ && now - lastStateSent_ >= stateInterval_;
    if (eventsDue) {
      nlohmann::json batch = {{"type", "events"}, {"events", std::exchange(pendingEvents_, nlohmann::json::array())}};
      eventsSent_ += batch["events"].size();
      lock.unlock();
      DeliverToAll(std::make_shared<const std::string>(batch.dump()), false);
      lock.lock();
      continue;
    }
    if (stateDue) {
      stateChanged_ = false;
      lastStateSent_ = now;
      const auto source = stateSource_;
      lock.unlock();
      nlohmann::json state = source();
      state["type"] = "state";
      auto text = std::make_shared<const std::string>(state.dump());
      lock.lock();
      latestState_ = text;
      lock.unlock();
      DeliverToAll(text, true);
      lock.lock();
      continue;
    }
    auto until = now + std::chrono::hours(1);
    if (!pendingEvents_.empty()) until = std::min(until, firstPendingEvent_ + eventWindow_);
    if (stateChanged_) until = std::min(until, lastStateSent_ + stateInterval_);
    wake_.wait_until(lock, until);
  }
}

}  // namespace vantrel::web
