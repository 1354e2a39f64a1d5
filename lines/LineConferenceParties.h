#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vantrel {

// The conference at a line's station while it lasts: who joined it and when, for the queue log's joined and left
// rows. A station has one conference at a time; its first member call opens it and names it (the rows carry that
// call's key), and it is over when its last member call has left. Only on the telephony thread.
class TConferenceParties {
 public:
  using TClock = std::chrono::steady_clock;
  struct TRow {
    std::string key;    // the call key of the call the conference grew from
    std::string party;  // the number of who joined or left
    long seconds = 0;   // a leaving party's time in the conference
    long parties = 0;   // in the conference after this row, the station counted
  };

  // The line's member call (conferenced) joined with its party: its row, after the station's when it opens the
  // conference. Nothing for a call that is a member already.
  std::vector<TRow> Joined(long call, const std::string& key, const std::string& party, const std::string& station,
                           TClock::time_point now);
  // The member call ended or its party hung up: its row, and the station's when it was the last.
  std::vector<TRow> Left(long call, TClock::time_point now);
  bool IsMember(long call) const { return members_.count(call) != 0; }

 private:
  struct TParty {
    std::string number;
    TClock::time_point since;
  };
  long Seconds(TClock::time_point since, TClock::time_point now) const;

  std::string key_;                  // empty while there is no conference
  std::optional<TParty> station_;
  std::map<long, TParty> members_;   // by the line's member call
};

}  // namespace vantrel
