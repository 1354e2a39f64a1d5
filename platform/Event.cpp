#include "Event.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>

namespace vantrel::platform {

namespace {

// One mutex for the state of all events makes waiting on several of them atomic and simple;
// each waiter sleeps on its own condition so a Set wakes only the threads that wait on that event.
std::mutex& EventsMutex() {
  static std::mutex mutex;
  return mutex;
}

}  // namespace

struct Event::Waiter {
  std::condition_variable condition;
};

Event::Event(ResetMode mode, bool initiallySet) : mode_(mode), signalled_(initiallySet) {}

Event::~Event() = default;

void Event::Set() {
  std::lock_guard lock(EventsMutex());
  signalled_ = true;
  for (Waiter* waiter : waiters_) waiter->condition.notify_one();
}

void Event::Reset() {
  std::lock_guard lock(EventsMutex());
  signalled_ = false;
}

bool Event::IsSet() const {
  std::lock_guard lock(EventsMutex());
  return signalled_;
}

bool Event::Wait(std::uint32_t timeoutMs) {
  Event* const self[] = {this};
  return WaitForEvents(self, false, timeoutMs) == 0;
}

int WaitForEvents(std::span<Event* const> events, bool waitAll, std::uint32_t timeoutMs) {
  if (events.empty()) throw std::invalid_argument("WaitForEvents: no events");
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  Event::Waiter waiter;
  std::unique_lock lock(EventsMutex());

  const auto consume = [](Event* event) {
    if (event->mode_ == Event::ResetMode::Auto) event->signalled_ = false;
  };
  const auto trySatisfy = [&]() -> int {
    if (waitAll) {
      if (!std::all_of(events.begin(), events.end(), [](Event* e) { return e->signalled_; })) return WAIT_TIMED_OUT;
      std::for_each(events.begin(), events.end(), consume);
      return 0;
    }
    for (std::size_t i = 0; i < events.size(); ++i) {
      if (events[i]->signalled_) {
        consume(events[i]);
        return static_cast<int>(i);
      }
    }
    return WAIT_TIMED_OUT;
  };

  int result = trySatisfy();
  if (result != WAIT_TIMED_OUT || timeoutMs == 0) return result;

  for (Event* event : events) event->waiters_.push_back(&waiter);
  while ((result = trySatisfy()) == WAIT_TIMED_OUT) {
    if (timeoutMs == INFINITE_WAIT) {
      waiter.condition.wait(lock);
    } else if (waiter.condition.wait_until(lock, deadline) == std::cv_status::timeout) {
      result = trySatisfy();
      break;
    }
  }
  for (Event* event : events) std::erase(event->waiters_, &waiter);
  return result;
}

}  // namespace vantrel::platform
