// Pumps the benchmark thread's message queue, as the host's main loop does for the telephony layer.
#pragma once

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

}  // namespace vantrel::bench
