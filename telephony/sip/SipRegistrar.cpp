#include "SipRegistrar.h"

#include <algorithm>

namespace vantrel::telephony {

bool TSipRegistrar::Bind(const std::string& station, TContact contact) {
  const std::lock_guard guard(lock_);
  auto& list = contacts_[station];
  auto same = std::find_if(list.begin(), list.end(), [&](const TContact& known) { return known.uri == contact.uri; });
  if (same != list.end()) {
    *same = std::move(contact);
    return true;
  }
  if (list.size() >= kMaxContacts) return false;
  list.push_back(std::move(contact));
  return true;
}

void TSipRegistrar::Unbind(const std::string& station, const std::string& uri) {
  const std::lock_guard guard(lock_);
  auto found = contacts_.find(station);
  if (found == contacts_.end()) return;
  std::erase_if(found->second, [&](const TContact& known) { return known.uri == uri; });
  if (found->second.empty()) contacts_.erase(found);
}

void TSipRegistrar::UnbindAll(const std::string& station) {
  const std::lock_guard guard(lock_);
  contacts_.erase(station);
}

std::vector<TSipRegistrar::TContact> TSipRegistrar::Contacts(const std::string& station) const {
  const std::lock_guard guard(lock_);
  auto found = contacts_.find(station);
  if (found == contacts_.end()) return {};
  std::vector<TContact> live;
  const auto now = TClock::now();
  for (const TContact& contact : found->second) {
    if (contact.expires > now) live.push_back(contact);
  }
  return live;
}

bool TSipRegistrar::CameFrom(const std::string& station, const std::string& sourceIp) const {
  const std::lock_guard guard(lock_);
  auto found = contacts_.find(station);
  if (found == contacts_.end()) return false;
  return std::any_of(found->second.begin(), found->second.end(), [&](const TContact& contact) {
    return contact.source.substr(0, contact.source.rfind(':')) == sourceIp;
  });
}

bool TSipRegistrar::Registered(const std::string& station) const {
  const std::lock_guard guard(lock_);
  auto found = contacts_.find(station);
  return found != contacts_.end() && !found->second.empty();
}

std::vector<std::string> TSipRegistrar::Expire(TClock::time_point now) {
  const std::lock_guard guard(lock_);
  std::vector<std::string> lost;
  for (auto station = contacts_.begin(); station != contacts_.end();) {
    std::erase_if(station->second, [&](const TContact& contact) { return contact.expires <= now; });
    if (station->second.empty()) {
      lost.push_back(station->first);
      station = contacts_.erase(station);
    } else {
      ++station;
    }
  }
  return lost;
}

std::size_t TSipRegistrar::Count() const {
  const std::lock_guard guard(lock_);
  std::size_t count = 0;
  for (const auto& [station, list] : contacts_) count += list.size();
  return count;
}

std::map<std::string, std::vector<TSipRegistrar::TContact>> TSipRegistrar::Snapshot() const {
  const std::lock_guard guard(lock_);
  return contacts_;
}

}  // namespace vantrel::telephony
