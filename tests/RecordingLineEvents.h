// A client's LineEvents listener that writes down every event a line sent, in order.
#pragma once

#include <algorithm>
#include <mutex>
#include <utility>
#include <vector>

#include "Vantrel.hh"

class RecordingLineEvents : public POA_LineEvents {
 public:
  void DoCallEvent(::CallEventType type, CORBA::Long call) override {
    std::lock_guard lock(mutex_);
    events_.emplace_back(type, call);
  }
  std::vector<std::pair<::CallEventType, CORBA::Long>> Events() {
    std::lock_guard lock(mutex_);
    return events_;
  }
  // The handle of the first event of the kind, or -1.
  CORBA::Long First(::CallEventType type) {
    std::lock_guard lock(mutex_);
    const auto found = std::find_if(events_.begin(), events_.end(), [&](const auto& e) { return e.first == type; });
    return found == events_.end() ? -1 : found->second;
  }
  bool SawAny(::CallEventType type) { return First(type) != -1; }

 private:
  std::mutex mutex_;
  std::vector<std::pair<::CallEventType, CORBA::Long>> events_;
};
