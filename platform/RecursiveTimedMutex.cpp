#include "RecursiveTimedMutex.h"

#include <stdexcept>

namespace vantrel::platform {

void RecursiveTimedMutex::lock() { Acquire(0xFFFFFFFF); }

bool RecursiveTimedMutex::try_lock() { return Acquire(0); }

bool RecursiveTimedMutex::Acquire(std::uint32_t timeoutMs) {
  if (timeoutMs == 0xFFFFFFFF) return AcquireUntil(std::chrono::steady_clock::time_point::max());
  return AcquireUntil(std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs));
}

bool RecursiveTimedMutex::AcquireUntil(std::chrono::steady_clock::time_point deadline) {
  const auto self = std::this_thread::get_id();
  if (ranked_) lock_ranks::NoteTaking(rank_, this);
  std::unique_lock lock(mutex_);
  if (depth_ > 0 && owner_ == self) {
    ++depth_;
    if (ranked_) lock_ranks::NoteTaken(rank_, this);
    return true;
  }
  const auto free = [this] { return depth_ == 0; };
  if (deadline == std::chrono::steady_clock::time_point::max()) {
    released_.wait(lock, free);
  } else if (!released_.wait_until(lock, deadline, free)) {
    return false;
  }
  owner_ = self;
  depth_ = 1;
  if (ranked_) lock_ranks::NoteTaken(rank_, this);
  return true;
}

bool RecursiveTimedMutex::HeldByThisThread() {
  std::lock_guard lock(mutex_);
  return depth_ > 0 && owner_ == std::this_thread::get_id();
}

void RecursiveTimedMutex::unlock() {
  {
    std::lock_guard lock(mutex_);
    if (depth_ == 0 || owner_ != std::this_thread::get_id()) {
      throw std::logic_error("RecursiveTimedMutex released by a thread that does not hold it");
    }
    if (ranked_) lock_ranks::NoteReleased(this);
    if (--depth_ > 0) return;
    owner_ = std::thread::id();
  }
  released_.notify_one();
}

}  // namespace vantrel::platform
