#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>
#include <vector>

namespace vantrel::platform {

constexpr std::uint32_t INFINITE_WAIT = 0xFFFFFFFF;
constexpr int WAIT_TIMED_OUT = -1;

// A Win32-style event. An auto-reset event releases one waiter per Set and clears itself;
// a manual-reset event stays set until Reset.
class Event {
 public:
  enum class ResetMode { Auto, Manual };

  explicit Event(ResetMode mode, bool initiallySet = false);
  ~Event();
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void Set();
  void Reset();
  bool IsSet() const;
  // True when the event was signalled within the time-out (and consumed, for an auto-reset event).
  bool Wait(std::uint32_t timeoutMs);

 private:
  friend int WaitForEvents(std::span<Event* const> events, bool waitAll, std::uint32_t timeoutMs);
  struct Waiter;

  const ResetMode mode_;
  bool signalled_;                // guarded by the process-wide events mutex
  std::vector<Waiter*> waiters_;  // guarded by the process-wide events mutex
};

// Waits for any (waitAll = false: returns the lowest index of a signalled event) or all (returns 0) of the events.
// Returns WAIT_TIMED_OUT when the time-out passes first. Auto-reset events that satisfy the wait are consumed;
// with waitAll they are consumed together, only when all are signalled at once.
int WaitForEvents(std::span<Event* const> events, bool waitAll, std::uint32_t timeoutMs);
inline int WaitForEvents(std::initializer_list<Event*> events, bool waitAll, std::uint32_t timeoutMs) {
  return WaitForEvents(std::span<Event* const>(events.begin(), events.size()), waitAll, timeoutMs);
}

}  // namespace vantrel::platform
