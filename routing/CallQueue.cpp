#include "CallQueue.h"

#include <algorithm>
#include <ctime>

namespace vantrel {

namespace {

int DayOfYearNow() {
  const std::time_t now = std::time(nullptr);
  std::tm parts{};
  localtime_r(&now, &parts);
  return parts.tm_year * 400 + parts.tm_yday;
}

}  // namespace

void TCallQueue::RollOverDay() const {
  const int today = DayOfYearNow();
  if (today == today_) return;
  for (auto& [id, counts] : counts_) counts.today = TFigures{};
  today_ = today;
}

TCallQueue::TCounts& TCallQueue::CountsOf(long rule) {
  RollOverDay();
  return counts_[rule];
}

bool TCallQueue::Before(const TEntry& a, const TEntry& b) const {
  if (a.priority != b.priority) return a.priority > b.priority;
  if (a.since != b.since) return a.since < b.since;
  return a.arrival < b.arrival;
}

bool TCallQueue::Enter(const TQueueCallerKey& caller, long rule, long group, int priority, int maxWaiting,
                       TClock::time_point since) {
  std::lock_guard lock(mutex_);
  ++version_;
  if (const auto found = callers_.find(caller); found != callers_.end()) {
    if (found->second.state == TQueueCallerState::Waiting) return true;
    callers_.erase(found);  // released, it settles by waiting again
  }
  if (maxWaiting > 0) {
    const auto ofRule = std::count_if(callers_.begin(), callers_.end(), [&](const auto& entry) {
      return entry.second.state == TQueueCallerState::Waiting && entry.second.rule == rule;
    });
    if (ofRule >= maxWaiting) return false;
  }
  callers_[caller] = TEntry{TQueueCallerState::Waiting, rule, group, priority, since, ++arrivals_};
  CountsOf(rule);
  return true;
}

std::map<long, TCallQueue::TCallers::const_iterator> TCallQueue::Heads() const {
  std::map<long, TCallers::const_iterator> heads;
  for (auto it = callers_.begin(); it != callers_.end(); ++it) {
    if (it->second.state != TQueueCallerState::Waiting) continue;
    const auto [head, first] = heads.emplace(it->second.group, it);
    if (!first && Before(it->second, head->second->second)) head->second = it;
  }
  return heads;
}

std::vector<long> TCallQueue::LinesOfNextCallers() const {
  std::lock_guard lock(mutex_);
  std::vector<long> lines;
  for (const auto& [group, head] : Heads()) {
    if (std::find(lines.begin(), lines.end(), head->first.line) == lines.end()) lines.push_back(head->first.line);
  }
  return lines;
}

std::vector<std::pair<TQueueCallerKey, long>> TCallQueue::NextCallers() const {
  std::lock_guard lock(mutex_);
  std::vector<std::pair<TQueueCallerKey, long>> next;
  for (const auto& [group, head] : Heads()) next.emplace_back(head->first, group);
  return next;
}

long TCallQueue::PlaceOf(const TQueueCallerKey& caller) const {
  std::lock_guard lock(mutex_);
  const auto found = callers_.find(caller);
  if (found == callers_.end() || found->second.state != TQueueCallerState::Waiting) return 0;
  return 1 + static_cast<long>(std::count_if(callers_.begin(), callers_.end(), [&](const auto& entry) {
           return entry.second.state == TQueueCallerState::Waiting && entry.second.group == found->second.group &&
                  Before(entry.second, found->second);
         }));
}

void TCallQueue::Leave(const TQueueCallerKey& caller) {
  std::lock_guard lock(mutex_);
  const auto found = callers_.find(caller);
  if (found == callers_.end()) return;
  const bool waiting = found->second.state == TQueueCallerState::Waiting;
  callers_.erase(found);
  if (waiting) ++version_;
}

void TCallQueue::ForgetLine(long line) {
  std::lock_guard lock(mutex_);
  // The waiting ones: a caller released to its group holds its member until it settles.
  if (std::erase_if(callers_, [&](const auto& entry) {
        return entry.first.line == line && entry.second.state == TQueueCallerState::Waiting;
      }) != 0) {
    ++version_;
  }
}

void TCallQueue::Release(const TQueueCallerKey& caller) {
  std::lock_guard lock(mutex_);
  const auto found = callers_.find(caller);
  if (found == callers_.end() || found->second.state != TQueueCallerState::Waiting) return;
  found->second.state = TQueueCallerState::Released;
  ++version_;
}

void TCallQueue::Settle(const TQueueCallerKey& caller) {
  std::lock_guard lock(mutex_);
  const auto found = callers_.find(caller);
  if (found != callers_.end() && found->second.state == TQueueCallerState::Released) callers_.erase(found);
}

std::optional<TQueueCallerState> TCallQueue::StateOf(const TQueueCallerKey& caller) const {
  std::lock_guard lock(mutex_);
  const auto found = callers_.find(caller);
  if (found == callers_.end()) return std::nullopt;
  return found->second.state;
}

long TCallQueue::Released(long group) const {
  std::lock_guard lock(mutex_);
  return static_cast<long>(std::count_if(callers_.begin(), callers_.end(), [&](const auto& entry) {
    return entry.second.state == TQueueCallerState::Released && entry.second.group == group;
  }));
}

void TCallQueue::NoteOffered(long rule, int serviceLevelSeconds) {
  std::lock_guard lock(mutex_);
  CountsOf(rule).serviceLevelSeconds = serviceLevelSeconds;
  Count(rule, &TFigures::offered);
}

void TCallQueue::NoteAnswered(long rule, double secondsSinceOffered, int serviceLevelSeconds) {
  std::lock_guard lock(mutex_);
  TCounts& counts = CountsOf(rule);
  for (TFigures* figures : {&counts.sinceStart, &counts.today}) {
    ++figures->answered;
    figures->answerSeconds += secondsSinceOffered;
    if (secondsSinceOffered <= serviceLevelSeconds) ++figures->answeredInServiceLevel;
  }
  ++version_;
}

void TCallQueue::Count(long rule, long TFigures::*figure) {
  TCounts& counts = CountsOf(rule);
  ++(counts.sinceStart.*figure);
  ++(counts.today.*figure);
  ++version_;
}

void TCallQueue::NoteAbandoned(long rule, double secondsSinceOffered, int shortAbandonSeconds) {
  std::lock_guard lock(mutex_);
  TCounts& counts = CountsOf(rule);
  for (TFigures* figures : {&counts.sinceStart, &counts.today}) {
    ++figures->abandoned;
    if (secondsSinceOffered < shortAbandonSeconds) {
      ++figures->shortAbandoned;
    } else if (secondsSinceOffered > counts.serviceLevelSeconds) {
      ++figures->abandonedAfterServiceLevel;
    }
  }
  ++version_;
}

long TCallQueue::ServiceLevelPercent(const TFigures& figures) {
  const long ended = figures.answered + figures.abandonedAfterServiceLevel;
  return ended == 0 ? -1 : 100 * figures.answeredInServiceLevel / ended;
}

void TCallQueue::NoteOverflowed(long rule) {
  std::lock_guard lock(mutex_);
  Count(rule, &TFigures::overflowed);
}

void TCallQueue::NoteTalk(long rule, double seconds) {
  std::lock_guard lock(mutex_);
  TCounts& counts = CountsOf(rule);
  for (TFigures* figures : {&counts.sinceStart, &counts.today}) {
    ++figures->talks;
    figures->talkSeconds += seconds;
  }
  ++version_;
}

std::vector<TCallQueue::TRuleFigures> TCallQueue::Figures(bool sinceMidnight) const {
  std::lock_guard lock(mutex_);
  RollOverDay();
  const auto now = TClock::now();
  std::vector<TRuleFigures> figures;
  for (const auto& [rule, counts] : counts_) {
    TRuleFigures one{rule, 0, 0, counts.serviceLevelSeconds, sinceMidnight ? counts.today : counts.sinceStart};
    for (const auto& [key, entry] : callers_) {
      if (entry.state != TQueueCallerState::Waiting || entry.rule != rule) continue;
      ++one.waiting;
      one.longestWait = std::max(one.longestWait, std::chrono::duration<double>(now - entry.since).count());
    }
    figures.push_back(one);
  }
  return figures;
}

unsigned long TCallQueue::Version() const {
  std::lock_guard lock(mutex_);
  return version_;
}

}  // namespace vantrel
