#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>

namespace vantrel {

// The recordings of a line's calls while they run, and what each one's row will say when it ends. Only on the
// telephony thread.
class TLineRecordings {
 public:
  using TClock = std::chrono::steady_clock;
  struct TFinished {
    std::string callKey;    // as the call log keys the call
    std::string file;       // relative to the recordings' folder
    std::string startTime;  // "yyyy-mm-dd hh:mm:ss"
    long seconds = 0;       // from start to end, the paused spans included
    long pausedSeconds = 0;
  };

  void Started(long call, const std::string& callKey, const std::string& file, const std::string& startTime,
               TClock::time_point now);
  // False when the call has no recording here.
  bool Paused(long call, bool pause, TClock::time_point now);
  // The recording is over: what its row says; nothing when the call had none.
  std::optional<TFinished> Ended(long call, TClock::time_point now);
  bool Has(long call) const { return running_.count(call) != 0; }
  // A rule that records put a call through to this line from the number (its routing line): the call from there
  // that connects next is recorded. A wish nobody takes within a few seconds goes.
  void Expect(const std::string& from, TClock::time_point now);
  bool TakeExpected(const std::string& from, TClock::time_point now);

 private:
  struct TRunning {
    TFinished row;
    TClock::time_point started;
    std::optional<TClock::time_point> pausedSince;
    TClock::duration paused{};
  };
  std::map<long, TRunning> running_;
  std::multimap<std::string, TClock::time_point> expected_;  // by the routing line's number, when wished
};

}  // namespace vantrel
