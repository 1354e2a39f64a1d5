#include "MessageQueue.h"

#include <algorithm>

namespace vantrel::platform {

// Marks the queue closed when its thread ends, so late posts fail instead of piling up.
struct QueueHolder {
  std::shared_ptr<MessageQueue> queue = std::make_shared<MessageQueue>();
  ~QueueHolder() { queue->Close(); }
};

std::shared_ptr<MessageQueue> MessageQueue::ForCurrentThread() {
  thread_local QueueHolder holder;
  return holder.queue;
}

MessageQueue::~MessageQueue() = default;

void MessageQueue::Close() {
  std::lock_guard lock(mutex_);
  closed_ = true;
  messages_.clear();
  timers_.clear();
}

bool MessageQueue::Post(const Message& message) {
  {
    std::lock_guard lock(mutex_);
    if (closed_) return false;
    messages_.push_back(message);
  }
  wake_.notify_one();
  return true;
}

void MessageQueue::PostQuit(int exitCode) {
  {
    std::lock_guard lock(mutex_);
    quitPending_ = true;
    quitCode_ = exitCode;
  }
  wake_.notify_one();
}

// Order as Win32: posted messages first, then a pending quit, then due timers.
bool MessageQueue::TakeLocked(Message& message, Clock::time_point now) {
  if (!messages_.empty()) {
    message = messages_.front();
    messages_.pop_front();
    return true;
  }
  if (quitPending_) {
    quitPending_ = false;
    message = Message{0, WM_QUIT, static_cast<std::uintptr_t>(quitCode_), 0};
    return true;
  }
  auto due =
      std::min_element(timers_.begin(), timers_.end(), [](const Timer& a, const Timer& b) { return a.due < b.due; });
  if (due != timers_.end() && due->due <= now) {
    message = Message{due->window, WM_TIMER, due->id, 0};
    // Missed periods are coalesced into one message, as window timers are.
    due->due = std::max(due->due + due->interval, now);
    return true;
  }
  return false;
}

MessageQueue::GetResult MessageQueue::GetWithin(Message& message, std::uint32_t timeoutMs) {
  const bool forever = timeoutMs == 0xFFFFFFFF;
  const auto deadline = Clock::now() + std::chrono::milliseconds(forever ? 0 : timeoutMs);
  std::unique_lock lock(mutex_);
  for (;;) {
    const auto now = Clock::now();
    if (TakeLocked(message, now)) return message.id == WM_QUIT ? GetResult::Quit : GetResult::Message;
    if (!forever && now >= deadline) return GetResult::TimedOut;
    auto wakeAt = forever ? Clock::time_point::max() : deadline;
    for (const Timer& timer : timers_) wakeAt = std::min(wakeAt, timer.due);
    if (wakeAt == Clock::time_point::max()) {
      wake_.wait(lock);
    } else {
      wake_.wait_until(lock, wakeAt);
    }
  }
}

bool MessageQueue::Get(Message& message) { return GetWithin(message, 0xFFFFFFFF) != GetResult::Quit; }

bool MessageQueue::Peek(Message& message) {
  std::lock_guard lock(mutex_);
  return TakeLocked(message, Clock::now());
}

void MessageQueue::Dispatch(const Message& message) {
  const auto window = windows_.find(message.window);
  if (window == windows_.end()) return;
  // A copy: the procedure may destroy its own window.
  const WindowProcedure procedure = window->second;
  procedure(message);
}

void MessageQueue::AddWindow(WindowHandle window, WindowProcedure procedure) {
  windows_.emplace(window, std::move(procedure));
}

void MessageQueue::RemoveWindow(WindowHandle window) {
  windows_.erase(window);
  std::lock_guard lock(mutex_);
  std::erase_if(messages_, [window](const Message& m) { return m.window == window; });
  std::erase_if(timers_, [window](const Timer& t) { return t.window == window; });
}

void MessageQueue::SetTimer(WindowHandle window, std::uintptr_t id, std::uint32_t intervalMs) {
  const auto interval = std::chrono::milliseconds(std::max<std::uint32_t>(intervalMs, 1));
  {
    std::lock_guard lock(mutex_);
    std::erase_if(timers_, [&](const Timer& t) { return t.window == window && t.id == id; });
    timers_.push_back(Timer{window, id, interval, Clock::now() + interval});
  }
  wake_.notify_one();
}

void MessageQueue::KillTimer(WindowHandle window, std::uintptr_t id) {
  std::lock_guard lock(mutex_);
  std::erase_if(timers_, [&](const Timer& t) { return t.window == window && t.id == id; });
}

}  // namespace vantrel::platform
