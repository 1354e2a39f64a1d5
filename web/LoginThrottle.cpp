#include "LoginThrottle.h"

#include <algorithm>

#include <boost/asio/ip/address.hpp>

namespace vantrel::web {

std::string TLoginThrottle::AddressKey(const std::string& address) {
  boost::system::error_code error;
  const auto parsed = boost::asio::ip::make_address(address, error);
  if (error || !parsed.is_v6() || parsed.to_v6().is_v4_mapped()) return address;
  auto bytes = parsed.to_v6().to_bytes();
  std::fill(bytes.begin() + 8, bytes.end(), 0);
  return boost::asio::ip::address_v6(bytes).to_string() + "/64";
}

std::chrono::seconds TLoginThrottle::BackOff(int failures) {
  if (failures < kFreeFailures) return std::chrono::seconds(0);
  const int doublings = std::min(failures - kFreeFailures, 16);
  return std::min<std::chrono::seconds>(std::chrono::seconds(1LL << doublings), kMostBackOff);
}

std::chrono::seconds TLoginThrottle::WaitBeforeTry(const std::string& address, const std::string& name,
                                                   TClock::time_point now) {
  std::lock_guard lock(mutex_);
  const auto found = addresses_.find(AddressKey(address));
  if (found == addresses_.end()) return std::chrono::seconds(0);
  const TAddress& entry = found->second;
  const auto ceil = [](TClock::duration left) {
    return std::max(std::chrono::seconds(1), std::chrono::ceil<std::chrono::seconds>(left));
  };
  auto wait = std::chrono::seconds(0);
  if (now - entry.failures.last < kForgetAfter) {
    const auto until = entry.failures.last + BackOff(entry.failures.count);
    if (now < until) wait = ceil(until - now);
  }
  const auto named = entry.names.find(name);
  if (named != entry.names.end() && named->second.count >= kNameFailures &&
      now - named->second.first < kNameHold + kNameHold) {
    // Held for a minute from the try that made it five.
    const auto until = named->second.last + kNameHold;
    if (now < until) wait = std::max(wait, ceil(until - now));
  }
  return wait;
}

void TLoginThrottle::NoteLogin(const std::string& address, const std::string& name, bool succeeded,
                               TClock::time_point now) {
  std::lock_guard lock(mutex_);
  const std::string key = AddressKey(address);
  auto found = addresses_.find(key);
  if (succeeded) {
    // The address's own back-off stays: a person who knows one password must not reset it for guessing others.
    if (found != addresses_.end()) found->second.names.erase(name);
    return;
  }
  if (found == addresses_.end()) {
    if (addresses_.size() >= mostAddresses_) {
      const auto oldest = std::min_element(addresses_.begin(), addresses_.end(), [](const auto& a, const auto& b) {
        return a.second.touched < b.second.touched;
      });
      addresses_.erase(oldest);
    }
    found = addresses_.emplace(key, TAddress{}).first;
  }
  TAddress& entry = found->second;
  entry.touched = now;
  const auto count = [&](TFailures& failures, std::chrono::seconds window) {
    if (failures.count == 0 || now - failures.first > window) failures = {0, now, now};
    ++failures.count;
    failures.last = now;
  };
  count(entry.failures, std::chrono::duration_cast<std::chrono::seconds>(kForgetAfter));
  auto named = entry.names.find(name);
  if (named == entry.names.end()) {
    if (entry.names.size() >= mostNamesPerAddress_) {
      const auto oldest = std::min_element(entry.names.begin(), entry.names.end(),
                                           [](const auto& a, const auto& b) { return a.second.last < b.second.last; });
      entry.names.erase(oldest);
    }
    named = entry.names.emplace(name, TFailures{}).first;
  }
  count(named->second, kNameHold);
}

std::size_t TLoginThrottle::AddressesKept() {
  std::lock_guard lock(mutex_);
  return addresses_.size();
}

}  // namespace vantrel::web
