#include "SipGuard.h"

#include <charconv>
#include <sstream>
#include <stdexcept>

namespace vantrel::telephony {

namespace {

constexpr auto kFailureWindow = std::chrono::minutes(1);
constexpr auto kForgetQuiet = std::chrono::minutes(2);
// Past this many addresses at once (a flood from spoofed sources), new ones are looked at without being counted,
// so memory stays bounded; bans already made hold.
constexpr std::size_t kMaxTracked = 65536;

bool ParseIpv4(const std::string& text, std::uint32_t& address) {
  in_addr parsed{};
  if (::inet_pton(AF_INET, text.c_str(), &parsed) != 1) return false;
  address = ntohl(parsed.s_addr);
  return true;
}

bool InNetwork(std::uint32_t address, const std::pair<std::uint32_t, int>& network) {
  const std::uint32_t mask = network.second == 0 ? 0 : ~std::uint32_t{0} << (32 - network.second);
  return (address & mask) == (network.first & mask);
}

}  // namespace

std::vector<std::pair<std::uint32_t, int>> TSipGuardSettings::ParseNetworks(const std::string& list) {
  std::vector<std::pair<std::uint32_t, int>> networks;
  std::string entry;
  std::istringstream items(list);
  while (std::getline(items, entry, ',')) {
    const auto first = entry.find_first_not_of(" \t");
    if (first == std::string::npos) continue;
    entry = entry.substr(first, entry.find_last_not_of(" \t") + 1 - first);
    const std::size_t slash = entry.find('/');
    std::uint32_t address = 0;
    int prefix = 32;
    bool good = ParseIpv4(entry.substr(0, slash), address);
    if (good && slash != std::string::npos) {
      const std::string bits = entry.substr(slash + 1);
      const auto [end, error] = std::from_chars(bits.data(), bits.data() + bits.size(), prefix);
      good = error == std::errc() && end == bits.data() + bits.size() && prefix >= 0 && prefix <= 32;
    }
    if (!good) throw std::invalid_argument(entry + " is not an IPv4 address or address/prefix");
    networks.emplace_back(address, prefix);
  }
  return networks;
}

TSipGuard::TSipGuard(TSipGuardSettings settings) : settings_(std::move(settings)) {}

void TSipGuard::Trust(const std::string& address) {
  std::uint32_t parsed = 0;
  if (ParseIpv4(address, parsed)) settings_.trusted.emplace_back(parsed, 32);
}

bool TSipGuard::Trusted(const std::string& address) const {
  std::uint32_t parsed = 0;
  if (!ParseIpv4(address, parsed)) return false;
  for (const auto& network : settings_.trusted) {
    if (InNetwork(parsed, network)) return true;
  }
  return false;
}

bool TSipGuard::Admit(const std::string& address, TClock::time_point now) {
  auto found = byAddress_.find(address);
  if (found == byAddress_.end()) {
    if (Trusted(address)) return true;
    if (byAddress_.size() >= kMaxTracked) return true;
    found = byAddress_.emplace(address, TAddress{now, 0, {}, {}, false, now}).first;
  }
  TAddress& state = found->second;
  state.lastSeen = now;
  if (state.banned) return false;
  if (settings_.maxRequestsPerSecond <= 0) return true;
  if (now - state.second >= std::chrono::seconds(1)) {
    state.second = now;
    state.requests = 0;
  }
  return ++state.requests <= settings_.maxRequestsPerSecond;
}

bool TSipGuard::Failed(const std::string& address, TClock::time_point now) {
  if (settings_.banAfterFailures <= 0 || Trusted(address)) return false;
  auto found = byAddress_.find(address);
  if (found == byAddress_.end()) {
    if (byAddress_.size() >= kMaxTracked) return false;
    found = byAddress_.emplace(address, TAddress{now, 0, {}, {}, false, now}).first;
  }
  TAddress& state = found->second;
  if (state.banned) return false;
  state.failures.push_back(now);
  while (!state.failures.empty() && now - state.failures.front() > kFailureWindow) state.failures.pop_front();
  if (static_cast<int>(state.failures.size()) < settings_.banAfterFailures) return false;
  state.banned = true;
  state.bannedUntil = now + std::chrono::seconds(settings_.banSeconds);
  state.failures.clear();
  return true;
}

std::vector<std::string> TSipGuard::Expire(TClock::time_point now) {
  std::vector<std::string> freed;
  for (auto entry = byAddress_.begin(); entry != byAddress_.end();) {
    TAddress& state = entry->second;
    if (state.banned && now >= state.bannedUntil) {
      state.banned = false;
      freed.push_back(entry->first);
    }
    if (!state.banned && now - state.lastSeen > kForgetQuiet) {
      entry = byAddress_.erase(entry);
    } else {
      ++entry;
    }
  }
  return freed;
}

}  // namespace vantrel::telephony
