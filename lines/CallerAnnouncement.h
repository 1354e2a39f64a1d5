#pragma once

#include <string>
#include <vector>

namespace vantrel {

// What a waiting caller is told, as prompts of the default set's names: "caller-number" and the place, then
// "expected-wait" and the minutes as people say them. Pure functions, so the wording is tested apart.
struct TCallerAnnouncement {
  std::string label;                 // what the exchange's status shows: "position 3", or "expected wait"
  std::vector<std::string> prompts;  // empty: nothing to say
};

// The expected wait in minutes as people say it: 0 for less than a minute, whole minutes up to ten, then the
// nearest five; at most 30 (the numbers the prompts have).
long SpokenMinutes(long seconds);
// The expected wait of the caller at that place, from the average handle time (talk and wrap-up) of the rule's
// calls and the operators serving the group (at least one); -1 when no call has been handled yet to tell.
long ExpectedWaitSeconds(long place, double averageHandleSeconds, long operators);
// place 0 or beyond 30 is not said; expectedWaitSeconds below 0 is not said.
TCallerAnnouncement MakeCallerAnnouncement(long place, long expectedWaitSeconds, bool announcePosition,
                                           bool announceWait);

}  // namespace vantrel
