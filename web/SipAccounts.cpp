#include "SipAccounts.h"

#include <charconv>
#include <filesystem>

#include "support/IniFile.h"

namespace vantrel::web {

std::optional<TSipAccount> TSipAccounts::Find(const std::string& station) const {
  std::error_code ignored;
  if (station.empty() || !std::filesystem::exists(file_, ignored)) return std::nullopt;
  const vantrel::TMemIniFile ini(file_);
  if (!ini.SectionExists("SIP")) return std::nullopt;
  TSipAccount account;
  const std::string port(vantrel::Trim(ini.ReadString("SIP", "WebSocketPort", "")));
  const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), account.webSocketPort);
  if (error != std::errc() || end != port.data() + port.size() || account.webSocketPort < 1 ||
      account.webSocketPort > 65535)
    return std::nullopt;
  account.station = station;
  account.password = ini.ReadString("Passwords", station, "");
  if (account.password.empty()) return std::nullopt;
  account.realm = ini.ReadString("SIP", "Realm", "vantrel");
  account.address = std::string(vantrel::Trim(ini.ReadString("SIP", "Address", "127.0.0.1")));
  return account;
}

}  // namespace vantrel::web
