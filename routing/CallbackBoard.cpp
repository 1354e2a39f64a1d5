#include "CallbackBoard.h"

#include <algorithm>

namespace vantrel {

void TCallbackBoard::Put(const TEntry& entry) {
  std::lock_guard lock(mutex_);
  const auto found =
      std::find_if(entries_.begin(), entries_.end(), [&](const TEntry& known) { return known.key == entry.key; });
  if (found == entries_.end())
    entries_.push_back(entry);
  else
    *found = entry;
}

void TCallbackBoard::Remove(const std::string& key) {
  std::lock_guard lock(mutex_);
  std::erase_if(entries_, [&](const TEntry& known) { return known.key == key; });
}

std::vector<TCallbackBoard::TEntry> TCallbackBoard::OfRule(long rule) const {
  std::lock_guard lock(mutex_);
  std::vector<TEntry> found;
  std::copy_if(entries_.begin(), entries_.end(), std::back_inserter(found),
               [&](const TEntry& entry) { return entry.rule == rule; });
  return found;
}

}  // namespace vantrel
