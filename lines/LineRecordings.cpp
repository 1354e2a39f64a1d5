#include "LineRecordings.h"

namespace vantrel {

namespace {

long Seconds(std::chrono::steady_clock::duration span) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(span).count() + 500) / 1000;
}

}  // namespace

void TLineRecordings::Started(long call, const std::string& callKey, const std::string& file,
                              const std::string& startTime, TClock::time_point now) {
  TRunning& running = running_[call];
  running = TRunning{};
  running.row.callKey = callKey;
  running.row.file = file;
  running.row.startTime = startTime;
  running.started = now;
}

bool TLineRecordings::Paused(long call, bool pause, TClock::time_point now) {
  auto found = running_.find(call);
  if (found == running_.end()) return false;
  TRunning& running = found->second;
  if (pause && !running.pausedSince) running.pausedSince = now;
  if (!pause && running.pausedSince) {
    running.paused += now - *running.pausedSince;
    running.pausedSince.reset();
  }
  return true;
}

std::optional<TLineRecordings::TFinished> TLineRecordings::Ended(long call, TClock::time_point now) {
  auto found = running_.find(call);
  if (found == running_.end()) return std::nullopt;
  Paused(call, false, now);
  TFinished row = found->second.row;
  row.seconds = Seconds(now - found->second.started);
  row.pausedSeconds = Seconds(found->second.paused);
  running_.erase(found);
  return row;
}

void TLineRecordings::Expect(const std::string& from, TClock::time_point now) { expected_.emplace(from, now); }

bool TLineRecordings::TakeExpected(const std::string& from, TClock::time_point now) {
  std::erase_if(expected_, [&](const auto& wish) { return now - wish.second > std::chrono::seconds(10); });
  const auto found = expected_.find(from);
  if (found == expected_.end()) return false;
  expected_.erase(found);
  return true;
}

}  // namespace vantrel
