#include "LockRank.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <span>

namespace vantrel::platform {

const char* LockRankName(LockRank rank) {
  switch (rank) {
    case LockRank::IniFileOperations: return "INI file operations";
    case LockRank::ContainerList: return "container list";
    case LockRank::Object: return "object";
    case LockRank::ClientQueues: return "client queues";
    case LockRank::ClientQueue: return "client queue";
    case LockRank::Leaf: return "leaf";
  }
  return "unknown";
}

namespace lock_ranks {
namespace {

struct THeld {
  LockRank rank;
  const void* lock;
};

// Only this thread's own locks: a stack, since locks are mostly released in the reverse order. A plain array,
// not a vector: static objects that lock while the process exits run after the thread's own objects have gone.
constexpr std::size_t kMostHeld = 64;
thread_local THeld held[kMostHeld];
thread_local std::size_t heldCount = 0;  // past kMostHeld only counted, not checked

void ReportByDefault(const std::string& what) {
  std::fprintf(stderr, "%s\n", what.c_str());
#ifndef NDEBUG
  std::abort();
#endif
}

std::atomic<ViolationHandler> handler{&ReportByDefault};

}  // namespace

void NoteTaking(LockRank rank, const void* lock) {
  const THeld* highest = nullptr;
  for (const THeld& entry : std::span(held, std::min(heldCount, kMostHeld))) {
    if (entry.lock == lock) return;  // re-entry: no wait, no inversion
    if (!highest || entry.rank > highest->rank) highest = &entry;
  }
  if (highest && highest->rank > rank) {
    handler.load()(std::string("Lock order violated: taking ") + LockRankName(rank) + " (rank " +
                   std::to_string(static_cast<int>(rank)) + ") while holding " + LockRankName(highest->rank) +
                   " (rank " + std::to_string(static_cast<int>(highest->rank)) + ")");
  }
}

void NoteTaken(LockRank rank, const void* lock) {
  if (heldCount < kMostHeld) held[heldCount] = {rank, lock};
  ++heldCount;
}

void NoteReleased(const void* lock) {
  if (heldCount > kMostHeld) {
    --heldCount;  // released beyond what is tracked: nesting that deep is not checked
    return;
  }
  for (std::size_t index = heldCount; index-- > 0;) {
    if (held[index].lock != lock) continue;
    std::copy(held + index + 1, held + heldCount, held + index);
    --heldCount;
    return;
  }
}

bool Holds(LockRank rank) {
  const std::span tracked(held, std::min(heldCount, kMostHeld));
  return std::any_of(tracked.begin(), tracked.end(), [rank](const THeld& entry) { return entry.rank == rank; });
}

ViolationHandler SetViolationHandler(ViolationHandler next) { return handler.exchange(next ? next : &ReportByDefault); }

}  // namespace lock_ranks
}  // namespace vantrel::platform
