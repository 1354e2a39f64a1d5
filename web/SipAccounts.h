// What a browser's phone needs of the exchange's SIP port: where its WebSocket listens, the digest realm and a
// station's password, read from "Exchange.ini" of the INI folder at each use (an edit needs no restart).
#pragma once

#include <optional>
#include <string>

namespace vantrel::web {

struct TSipAccount {
  std::string station;
  std::string password;
  std::string realm;
  std::string address;  // the SIP port's address (the account's domain)
  int webSocketPort = 0;
};

class TSipAccounts {
 public:
  explicit TSipAccounts(std::string exchangeIni) : file_(std::move(exchangeIni)) {}

  // The station's account; none when the exchange has no SIP WebSocket or the station no password.
  std::optional<TSipAccount> Find(const std::string& station) const;

 private:
  const std::string file_;
};

}  // namespace vantrel::web
