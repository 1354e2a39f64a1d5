// How often an address may try to log in. Wrong passwords are counted per address and, within an address, per
// name: an address that keeps failing backs off longer and longer, and a name guessed at from an address is held
// back for that address alone, so nobody locks another person out by failing at their name. The memory is
// bounded and forgets the entry touched longest ago, never everything at once.
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>

namespace vantrel::web {

class TLoginThrottle {
 public:
  using TClock = std::chrono::steady_clock;

  explicit TLoginThrottle(std::size_t mostAddresses = 4096, std::size_t mostNamesPerAddress = 32)
      : mostAddresses_(mostAddresses), mostNamesPerAddress_(mostNamesPerAddress) {}

  // Zero when the address may try the name now; else how long it waits first. Asked before the password is
  // hashed, so a refused try costs nothing.
  std::chrono::seconds WaitBeforeTry(const std::string& address, const std::string& name,
                                     TClock::time_point now = TClock::now());
  void NoteLogin(const std::string& address, const std::string& name, bool succeeded,
                 TClock::time_point now = TClock::now());
  std::size_t AddressesKept();

  // An IPv6 address counts by its /64 network: one host owns a whole one and picks from it freely.
  static std::string AddressKey(const std::string& address);

  static constexpr int kFreeFailures = 5;  // per address, before it backs off
  static constexpr int kNameFailures = 5;  // per name from one address, within a minute
  static constexpr std::chrono::seconds kNameHold{60};
  static constexpr std::chrono::seconds kMostBackOff{300};
  static constexpr std::chrono::minutes kForgetAfter{15};

 private:
  struct TFailures {
    int count = 0;
    TClock::time_point first, last;
  };
  struct TAddress {
    TFailures failures;
    std::map<std::string, TFailures> names;
    TClock::time_point touched;
  };
  static std::chrono::seconds BackOff(int failures);

  const std::size_t mostAddresses_, mostNamesPerAddress_;
  std::mutex mutex_;
  std::map<std::string, TAddress> addresses_;  // guarded by mutex_
};

}  // namespace vantrel::web
