#pragma once

#include <mutex>
#include <string>

namespace vantrel::platform {

// The object tree's lock order, outer to inner (model/ContainerLib.h explains each). A thread takes a lock only
// if its rank is at least every rank it holds: taking a lower rank while holding a higher one is how two
// threads deadlock, so it is caught when it happens rather than when it hangs. Equal ranks may nest (a parent
// container's list lock before a child's; two objects' own mutexes).
enum class LockRank : int {
  IniFileOperations = 1,  // remote INI loads and saves, the start-up load
  ContainerList = 2,      // a container's list lock
  Object = 3,             // an object's own mutex
  ClientQueues = 4,       // the client queues' registry
  ClientQueue = 5,        // one client's queue
  Leaf = 6,               // the INI cache and the like: nothing ranked is taken under them
};

const char* LockRankName(LockRank rank);

// What a thread does with its ranked locks. Each thread keeps the locks it holds on a stack of its own, so the
// checks cost no shared state.
namespace lock_ranks {
// Called before waiting for a lock: reports an inversion unless this thread holds the lock already (re-entry).
void NoteTaking(LockRank rank, const void* lock);
void NoteTaken(LockRank rank, const void* lock);
void NoteReleased(const void* lock);
// Whether this thread holds any lock of the rank.
bool Holds(LockRank rank);

// Where inversions go. The default writes the two ranks to stderr and, in the checking builds (assertions
// on), aborts; tests put their own in to see an inversion caught.
using ViolationHandler = void (*)(const std::string& what);
ViolationHandler SetViolationHandler(ViolationHandler handler);
}  // namespace lock_ranks

// A plain mutex that knows its place in the lock order. Works with std::lock_guard, std::unique_lock and
// std::condition_variable_any.
template <LockRank Rank>
class RankedMutex {
 public:
  RankedMutex() = default;
  RankedMutex(const RankedMutex&) = delete;
  RankedMutex& operator=(const RankedMutex&) = delete;

  void lock() {
    lock_ranks::NoteTaking(Rank, this);
    mutex_.lock();
    lock_ranks::NoteTaken(Rank, this);
  }
  bool try_lock() {
    if (!mutex_.try_lock()) return false;
    lock_ranks::NoteTaken(Rank, this);
    return true;
  }
  void unlock() {
    lock_ranks::NoteReleased(this);
    mutex_.unlock();
  }

 private:
  std::mutex mutex_;
};

}  // namespace vantrel::platform

namespace vantrel::platform {
// The mutexes of the written order by their place in it.
using ObjectMutex = RankedMutex<LockRank::Object>;
using LeafMutex = RankedMutex<LockRank::Leaf>;
}  // namespace vantrel::platform
