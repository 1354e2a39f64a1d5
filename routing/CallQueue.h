#pragma once

#include <chrono>
#include <compare>
#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <mutex>
#include <string>
#include <vector>

namespace vantrel {

// A routed caller: the routing line's ID and the handle of the caller's call there.
struct TQueueCallerKey {
  long line = 0;
  long handle = 0;
  auto operator<=>(const TQueueCallerKey&) const = default;
};

// A caller in the queue waits in line for its group, or is released to it: a member of the group is ready for
// it and counts as taken until the caller settles (its target rings, it waits again, or it is gone). A caller
// that left, or settled, is no longer in the queue.
enum class TQueueCallerState { Waiting, Released };

// The callers waiting for a group's operators, across every routing line and rule, and each rule's service
// figures. Callers waiting for the same group are served by the priority of their rule, then first come, first
// served. Thread-safe; its lock is a leaf (nothing is called while it is held).
class TCallQueue {
 public:
  using TClock = std::chrono::steady_clock;

  // What a rule's callers did, counted since the start and since midnight.
  struct TFigures {
    long offered = 0, answered = 0, abandoned = 0, overflowed = 0, answeredInServiceLevel = 0;
    long abandonedAfterServiceLevel = 0;  // of the abandoned, those who waited longer than the service level
    long shortAbandoned = 0;              // of the abandoned, those who hung up within the short-abandon seconds
    double answerSeconds = 0;  // summed over the answered
    long talks = 0;
    double talkSeconds = 0;
  };
  struct TRuleFigures {
    long rule = 0;
    long waiting = 0;
    double longestWait = 0;  // seconds
    int serviceLevelSeconds = 0;
    TFigures counted;
  };

  // A caller starts to wait; false when the rule has maxWaiting callers waiting
  // already (0: no limit). since keeps a caller's place when it comes back after a target rang out.
  bool Enter(const TQueueCallerKey& caller, long rule, long group, int priority, int maxWaiting,
             TClock::time_point since);
  // The caller stops waiting (timed out or gone).
  void Leave(const TQueueCallerKey& caller);
  // Every caller waiting at the line.
  void ForgetLine(long line);
  // The caller stops waiting because a member of its group is ready for it: until it settles (its target rings,
  // or it waits again, or it is gone) that member counts as taken.
  void Release(const TQueueCallerKey& caller);
  void Settle(const TQueueCallerKey& caller);
  // Where the caller stands; none when it is not in the queue.
  std::optional<TQueueCallerState> StateOf(const TQueueCallerKey& caller) const;
  // Callers released to the group that have not settled.
  long Released(long group) const;
  // The lines where the callers each group serves next wait.
  std::vector<long> LinesOfNextCallers() const;
  // The caller each group serves next, with the group.
  std::vector<std::pair<TQueueCallerKey, long>> NextCallers() const;
  // The caller's place in the line of its group, 1 for the next one served; 0 when it does not wait.
  long PlaceOf(const TQueueCallerKey& caller) const;

  void NoteOffered(long rule, int serviceLevelSeconds);
  // The caller is connected to an operator after waiting so long since it was offered.
  void NoteAnswered(long rule, double secondsSinceOffered, int serviceLevelSeconds);
  // The caller hung up before an operator answered, after waiting so long since it was offered.
  void NoteAbandoned(long rule, double secondsSinceOffered, int shortAbandonSeconds);
  void NoteOverflowed(long rule);
  void NoteTalk(long rule, double seconds);

  // Answered within the service level over answered plus abandoned after it, in percent rounded down; -1 when no
  // caller's wait has ended. Short abandons and callers still waiting are left out.
  static long ServiceLevelPercent(const TFigures& figures);
  // Every rule with callers waiting or with counts; since midnight or since the start.
  std::vector<TRuleFigures> Figures(bool sinceMidnight) const;
  // Grows with every change of the figures: a reader reports only when it moved.
  unsigned long Version() const;

 private:
  struct TEntry {
    TQueueCallerState state = TQueueCallerState::Waiting;
    long rule = 0;
    long group = 0;
    int priority = 0;
    TClock::time_point since;
    unsigned long arrival = 0;  // ties of since are broken by the order of arrival
  };
  struct TCounts {
    TFigures sinceStart;
    TFigures today;
    int serviceLevelSeconds = 0;
  };
  // With mutex_ held. A new day starts today's counts over.
  void RollOverDay() const;
  TCounts& CountsOf(long rule);
  void Count(long rule, long TFigures::*figure);  // one more, since the start and today
  bool Before(const TEntry& a, const TEntry& b) const;
  using TCallers = std::map<TQueueCallerKey, TEntry>;
  // Each group's next waiting caller; with mutex_ held.
  std::map<long, TCallers::const_iterator> Heads() const;

  mutable std::mutex mutex_;
  TCallers callers_;                        // guarded by mutex_
  mutable std::map<long, TCounts> counts_;  // guarded by mutex_
  mutable int today_ = -1;                  // guarded by mutex_: the day today's counts are of
  unsigned long arrivals_ = 0;              // guarded by mutex_
  unsigned long version_ = 0;               // guarded by mutex_
};

}  // namespace vantrel

template <>
struct std::hash<vantrel::TQueueCallerKey> {
  std::size_t operator()(const vantrel::TQueueCallerKey& key) const noexcept {
    return std::hash<long>()(key.line) * 31 + std::hash<long>()(key.handle);
  }
};
