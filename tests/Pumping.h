// Pumps the test thread's message queue, as the host's main loop does for the telephony layer.
#pragma once

#include <chrono>

#include "platform/MessageQueue.h"

// Until the condition holds; false when the deadline passed first.
template <typename Condition>
bool PumpUntil(Condition condition, std::chrono::milliseconds deadline = std::chrono::seconds(5)) {
  const auto queue = vantrel::platform::MessageQueue::ForCurrentThread();
  const auto end = std::chrono::steady_clock::now() + deadline;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    vantrel::platform::Message message;
    if (queue->GetWithin(message, 10) == vantrel::platform::MessageQueue::GetResult::Message) {
      queue->Dispatch(message);
    }
  }
  return true;
}

inline void PumpFor(std::chrono::milliseconds time) {
  PumpUntil([] { return false; }, time);
}
