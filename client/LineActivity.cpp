#include "LineActivity.h"

namespace vantrel::client {

void TLineActivity::Note(const std::string& line) {
  {
    std::lock_guard lock(mutex_);
    ++counts_[line];
  }
  heard_.notify_all();
}

std::uint64_t TLineActivity::Count(const std::string& line) const {
  std::lock_guard lock(mutex_);
  const auto found = counts_.find(line);
  return found == counts_.end() ? 0 : found->second;
}

bool TLineActivity::WaitFor(const std::string& line, TDeadline deadline, const std::function<bool()>& ready) {
  while (true) {
    // Counted before asking: an event between the answer and the wait is not missed.
    const std::uint64_t seen = Count(line);
    if (ready()) return true;
    std::unique_lock lock(mutex_);
    const bool heard = heard_.wait_until(lock, deadline, [&] {
      const auto found = counts_.find(line);
      return (found == counts_.end() ? 0 : found->second) != seen;
    });
    if (!heard) {
      lock.unlock();
      return ready();
    }
  }
}

}  // namespace vantrel::client
