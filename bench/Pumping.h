// Pumps the benchmark thread's message queue, as the host's main loop does for the telephony layer.
#pragma once

#include <chrono>

#include "platform/MessageQueue.h"

namespace vantrel::bench {

// What is queued now, without waiting.
inline void Pump() {
  const auto queue = platform::MessageQueue::ForCurrentThread();
  platform::Message message;
  for (int i = 0; i < 64 && queue->Peek(message); ++i) queue->Dispatch(message);
}

template <typename Condition>
void PumpUntil(Condition condition) {
  const auto queue = platform::MessageQueue::ForCurrentThread();
  while (!condition()) {
    platform::Message message;
    if (queue->GetWithin(message, 10) == platform::MessageQueue::GetResult::Message) queue->Dispatch(message);
  }
}

// The same with a deadline; false when it passed first.
template <typename Condition>
bool PumpUntil(Condition condition, std::chrono::milliseconds deadline) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  const auto queue = platform::MessageQueue::ForCurrentThread();
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    platform::Message message;
    if (queue->GetWithin(message, 10) == platform::MessageQueue::GetResult::Message) queue->Dispatch(message);
  }
  return true;
}

}  // namespace vantrel::bench
