// What a client's line listeners heard, as a count of events per line: a client that asked the server for a
// change waits on these for the change to show, instead of sleeping or asking over and over.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>

namespace vantrel::client {

class TLineActivity {
 public:
  using TDeadline = std::chrono::steady_clock::time_point;

  // From a listener of the line, on an ORB thread.
  void Note(const std::string& line);

  // Asks `ready` now and again after each event heard on the line until it holds (true) or the deadline passes
  // (false). `ready` runs without any lock held, so it may ask the server. It is asked a last time at the
  // deadline: a client that does not listen to the line still gets the answer, only late.
  bool WaitFor(const std::string& line, TDeadline deadline, const std::function<bool()>& ready);

 private:
  std::uint64_t Count(const std::string& line) const;

  mutable std::mutex mutex_;
  std::condition_variable heard_;
  std::map<std::string, std::uint64_t> counts_;  // guarded by mutex_; events heard, by line number
};

}  // namespace vantrel::client
