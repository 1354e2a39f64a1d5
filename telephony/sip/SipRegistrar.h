#pragma once

#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace vantrel::telephony {

// Where a station's phones are: the contacts registered for each SIP station, each until it expires. A station
// may have several phones; all of them ring. Changed on the SIP thread; Registered may be asked anywhere.
class TSipRegistrar {
 public:
  using TClock = std::chrono::steady_clock;
  static constexpr std::size_t kMaxContacts = 8;

  struct TContact {
    std::string uri;     // the phone's Contact URI, where requests go
    std::string source;  // the address the registration came from ("ip:port")
    std::string callId;
    TClock::time_point expires;
  };

  // Adds or renews the contact (expires 0 removes it). False when the station has as many phones as it may.
  bool Bind(const std::string& station, TContact contact);
  void Unbind(const std::string& station, const std::string& uri);
  void UnbindAll(const std::string& station);
  // The station's live contacts.
  std::vector<TContact> Contacts(const std::string& station) const;
  // Whether a registration of the station came from the address (a phone calling from where it registered).
  bool CameFrom(const std::string& station, const std::string& sourceIp) const;
  bool Registered(const std::string& station) const;
  // Drops what expired; the stations that lost their last phone.
  std::vector<std::string> Expire(TClock::time_point now);
  std::size_t Count() const;
  // Every station's contacts, for keeping them across a restart.
  std::map<std::string, std::vector<TContact>> Snapshot() const;

 private:
  mutable std::mutex lock_;  // a leaf
  std::map<std::string, std::vector<TContact>> contacts_;
};

}  // namespace vantrel::telephony
