#include "CallerAnnouncement.h"

#include <algorithm>
#include <cmath>

namespace vantrel {

namespace {
constexpr long kHighestNumber = 30;  // the number prompts go from 1 to 30
}

long SpokenMinutes(long seconds) {
  if (seconds < 60) return 0;
  const long minutes = (seconds + 30) / 60;
  const long said = minutes <= 10 ? minutes : (minutes + 2) / 5 * 5;
  return std::min(said, kHighestNumber);
}

long ExpectedWaitSeconds(long place, double averageHandleSeconds, long operators) {
  if (place <= 0 || averageHandleSeconds <= 0) return -1;
  return std::lround(place * averageHandleSeconds / std::max(1L, operators));
}

TCallerAnnouncement MakeCallerAnnouncement(long place, long expectedWaitSeconds, bool announcePosition,
                                           bool announceWait) {
  TCallerAnnouncement announcement;
  if (announcePosition && place >= 1 && place <= kHighestNumber) {
    announcement.label = "position " + std::to_string(place);
    announcement.prompts = {"caller-number", std::to_string(place)};
  }
  if (announceWait && expectedWaitSeconds >= 0) {
    if (announcement.label.empty()) announcement.label = "expected wait";
    announcement.prompts.emplace_back("expected-wait");
    const long minutes = SpokenMinutes(expectedWaitSeconds);
    if (minutes == 0) {
      announcement.prompts.emplace_back("less-than-a-minute");
    } else {
      announcement.prompts.push_back(std::to_string(minutes));
      announcement.prompts.emplace_back(minutes == 1 ? "minute" : "minutes");
    }
  }
  return announcement;
}

}  // namespace vantrel
