#include "LineConferenceParties.h"

namespace vantrel {

long TConferenceParties::Seconds(TClock::time_point since, TClock::time_point now) const {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(now - since).count() + 500) / 1000;
}

std::vector<TConferenceParties::TRow> TConferenceParties::Joined(long call, const std::string& key, const std::string& party,
                                                           const std::string& station, TClock::time_point now) {
  std::vector<TRow> rows;
  if (members_.count(call) != 0) return rows;
  if (!station_) {
    key_ = key;
    station_ = TParty{station, now};
    rows.push_back({key_, station, 0, 1});
  }
  members_[call] = TParty{party, now};
  rows.push_back({key_, party, 0, static_cast<long>(members_.size()) + 1});
  return rows;
}

std::vector<TConferenceParties::TRow> TConferenceParties::Left(long call, TClock::time_point now) {
  std::vector<TRow> rows;
  const auto found = members_.find(call);
  if (found == members_.end()) return rows;
  rows.push_back({key_, found->second.number, Seconds(found->second.since, now),
                  static_cast<long>(members_.size())});
  members_.erase(found);
  if (members_.empty() && station_) {
    rows.push_back({key_, station_->number, Seconds(station_->since, now), 0});
    station_.reset();
    key_.clear();
  }
  return rows;
}

}  // namespace vantrel
