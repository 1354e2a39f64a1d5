#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "LockRank.h"

namespace vantrel::platform {

// A re-entrant mutex with timed acquire, usable with std::unique_lock and std::scoped_lock.
// Built on a plain mutex and a condition so that thread checkers see every hand-over.
class RecursiveTimedMutex {
 public:
  RecursiveTimedMutex() = default;
  // A lock of the object tree's order: taking it out of order is reported (LockRank.h).
  explicit RecursiveTimedMutex(LockRank rank) : rank_(rank), ranked_(true) {}
  RecursiveTimedMutex(const RecursiveTimedMutex&) = delete;
  RecursiveTimedMutex& operator=(const RecursiveTimedMutex&) = delete;

  void lock();
  bool try_lock();
  template <typename Rep, typename Period>
  bool try_lock_for(const std::chrono::duration<Rep, Period>& timeout) {
    return AcquireUntil(std::chrono::steady_clock::now() +
                        std::chrono::duration_cast<std::chrono::steady_clock::duration>(timeout));
  }
  // Win32 WaitForSingleObject style: milliseconds, 0xFFFFFFFF waits for ever.
  bool Acquire(std::uint32_t timeoutMs);
  void unlock();
  // For assertions of functions that need the lock held.
  bool HeldByThisThread();

 private:
  bool AcquireUntil(std::chrono::steady_clock::time_point deadline);

  std::mutex mutex_;
  std::condition_variable released_;
  std::thread::id owner_;    // guarded by mutex_
  std::uint32_t depth_ = 0;  // guarded by mutex_
  const LockRank rank_ = LockRank::Leaf;
  const bool ranked_ = false;
};

}  // namespace vantrel::platform
