#include "SipConfig.h"

#include <arpa/inet.h>

#include <charconv>
#include <filesystem>
#include <stdexcept>

#include "support/IniFile.h"

namespace vantrel::telephony {

namespace {

bool IsIpv4(const std::string& address) {
  in_addr parsed{};
  return ::inet_pton(AF_INET, address.c_str(), &parsed) == 1;
}

}  // namespace

TSipConfig TSipConfig::Load(const std::string& iniFolder) {
  TSipConfig config;
  const std::filesystem::path file = std::filesystem::path(iniFolder) / "Exchange.ini";
  if (!std::filesystem::exists(file)) return config;
  TMemIniFile ini(file.string());
  // Section names compare as keys do: [Sip] is [SIP].
  config.enabled = ini.SectionExists("SIP");
  if (!config.enabled) return config;
  config.stateFolder = iniFolder;
  const std::string name = file.string();
  const auto wrong = [&](const std::string& what) { return std::invalid_argument(name + ": " + what); };
  // Values are taken whole, as in every INI file of the server: a comment after a value is part of it.
  // "[SECTION] KEY="VALUE" WHAT", with a word for a value that holds a comment.
  const auto badValue = [&](const char* section, const char* key, const std::string& what) {
    const std::string value = ini.ReadString(section, key, "");
    return wrong(std::string("[") + section + "] " + key + "=\"" + value + "\" " + what +
                 (value.find(';') != std::string::npos ? " (comments go on lines of their own, starting with ;)" : ""));
  };
  const auto port = [&](const char* section, const char* key, int fallback) {
    const std::string text = ini.ReadString(section, key, "");
    const int value = text.empty() ? fallback : ini.ReadInteger(section, key, 0);
    if (value < 1 || value > 65535) throw badValue(section, key, "is not a port");
    return value;
  };
  const auto whole = [&](const char* section, const char* key, int fallback) {
    const std::string text(Trim(ini.ReadString(section, key, "")));
    if (text.empty()) return fallback;
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) throw badValue(section, key, "is not a whole number");
    return value;
  };

  config.address = std::string(Trim(ini.ReadString("SIP", "Address", config.address)));
  if (!IsIpv4(config.address)) throw badValue("SIP", "Address", "is not an IPv4 address");
  config.port = port("SIP", "Port", config.port);
  if (!Trim(ini.ReadString("SIP", "WebSocketPort", "")).empty()) {
    config.webSocketPort = port("SIP", "WebSocketPort", 0);
    if (config.webSocketPort == config.port) throw badValue("SIP", "WebSocketPort", "is the port of UDP and TCP");
  }
  const auto inFolder = [&](const std::string& path) {
    return path.empty() || std::filesystem::path(path).is_absolute()
               ? path
               : (std::filesystem::path(iniFolder) / path).string();
  };
  if (!Trim(ini.ReadString("SIP", "TlsPort", "")).empty()) {
    config.tlsPort = port("SIP", "TlsPort", 0);
    if (config.tlsPort == config.port || config.tlsPort == config.webSocketPort)
      throw badValue("SIP", "TlsPort", "is the port of another transport");
  }
  if (!Trim(ini.ReadString("SIP", "SecureWebSocketPort", "")).empty()) {
    config.secureWebSocketPort = port("SIP", "SecureWebSocketPort", 0);
    if (config.secureWebSocketPort == config.port || config.secureWebSocketPort == config.webSocketPort ||
        config.secureWebSocketPort == config.tlsPort)
      throw badValue("SIP", "SecureWebSocketPort", "is the port of another transport");
  }
  config.certificateFile = inFolder(std::string(Trim(ini.ReadString("SIP", "CertificateFile", ""))));
  config.privateKeyFile = inFolder(std::string(Trim(ini.ReadString("SIP", "PrivateKeyFile", ""))));
  if (config.privateKeyFile.empty()) config.privateKeyFile = config.certificateFile;
  const std::string srtp(Trim(ini.ReadString("SIP", "Srtp", "")));
  if (srtp == "required")
    config.srtp = TSipConfig::TSrtp::Required;
  else if (srtp == "off")
    config.srtp = TSipConfig::TSrtp::Off;
  else if (!srtp.empty() && srtp != "optional")
    throw badValue("SIP", "Srtp", "must be required, optional or off");
  config.realm = ini.ReadString("SIP", "Realm", config.realm);
  if (config.realm.empty() || config.realm.find_first_of("\"\\\r\n") != std::string::npos)
    throw wrong("[SIP] Realm must be plain text");
  config.rtpAddress = std::string(Trim(ini.ReadString("SIP", "RtpAddress", config.address)));
  if (!IsIpv4(config.rtpAddress)) throw badValue("SIP", "RtpAddress", "is not an IPv4 address");
  const std::string range = ini.ReadString("SIP", "RtpPorts", "20000-29999");
  const std::size_t dash = range.find('-');
  const auto number = [](std::string_view text, int& value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size();
  };
  if (dash == std::string::npos || !number(std::string_view(range).substr(0, dash), config.rtpFirstPort) ||
      !number(std::string_view(range).substr(dash + 1), config.rtpLastPort) || config.rtpFirstPort < 1024 ||
      config.rtpLastPort > 65534 || config.rtpLastPort - config.rtpFirstPort < 3)
    throw badValue("SIP", "RtpPorts", "must be FIRST-LAST within 1024-65534, at least four ports");
  config.mediaTimeout = whole("SIP", "MediaTimeout", config.mediaTimeout);
  if (config.mediaTimeout < 0) throw wrong("[SIP] MediaTimeout must not be negative");
  config.minExpiry = whole("SIP", "MinExpiry", config.minExpiry);
  config.maxExpiry = whole("SIP", "MaxExpiry", config.maxExpiry);
  if (config.minExpiry < 1 || config.maxExpiry < config.minExpiry)
    throw wrong("[SIP] MinExpiry must be at least 1 second and MaxExpiry at least MinExpiry");
  const std::string logCalls(Trim(ini.ReadString("SIP", "LogCalls", "")));
  if (!logCalls.empty() && logCalls != "0" && logCalls != "1") throw badValue("SIP", "LogCalls", "must be 0 or 1");
  if (!logCalls.empty()) config.logCalls = logCalls == "1";
  config.holdSound = ini.ReadString("SIP", "HoldSound", "");
  if (config.holdSound.empty()) {
    const auto fallback = std::filesystem::path(iniFolder) / "hold.wav";
    if (std::filesystem::exists(fallback)) config.holdSound = fallback.string();
  } else if (std::filesystem::path(config.holdSound).is_relative()) {
    config.holdSound = (std::filesystem::path(iniFolder) / config.holdSound).string();
  }
  // The music on hold of the prompts' settings is what held and waiting callers hear; the tone stays the fallback.
  const std::string music(Trim(
      TMemIniFile((std::filesystem::path(iniFolder) / "Settings.ini").string()).ReadString("Prompts", "Music", "")));
  if (!music.empty())
    config.holdSound =
        std::filesystem::path(music).is_absolute() ? music : (std::filesystem::path(iniFolder) / music).string();

  config.guard.banAfterFailures = ini.ReadInteger("SIP", "BanAfterFailures", config.guard.banAfterFailures);
  config.guard.banSeconds = ini.ReadInteger("SIP", "BanSeconds", config.guard.banSeconds);
  config.guard.maxRequestsPerSecond = ini.ReadInteger("SIP", "MaxRequestsPerSecond", config.guard.maxRequestsPerSecond);
  if (config.guard.banAfterFailures < 0 || config.guard.banSeconds < 1 || config.guard.maxRequestsPerSecond < 0)
    throw wrong("[SIP] BanAfterFailures and MaxRequestsPerSecond must not be negative, BanSeconds at least 1");
  try {
    config.guard.trusted = TSipGuardSettings::ParseNetworks(ini.ReadString("SIP", "TrustedAddresses", ""));
  } catch (const std::invalid_argument& bad) {
    throw wrong(std::string("[SIP] TrustedAddresses: ") + bad.what());
  }

  for (auto& [station, password] : ini.ReadSectionValues("Passwords")) {
    if (password.empty()) throw wrong("station " + station + " has an empty password");
    config.passwords[station] = password;
  }

  config.trunk.address = std::string(Trim(ini.ReadString("Trunk", "Address", "")));
  if (!config.trunk.address.empty()) {
    if (!IsIpv4(config.trunk.address)) throw badValue("Trunk", "Address", "is not an IPv4 address");
    config.trunk.port = port("Trunk", "Port", config.trunk.port);
    config.trunk.transport = ini.ReadString("Trunk", "Transport", config.trunk.transport);
    if (config.trunk.transport != "UDP" && config.trunk.transport != "TCP" && config.trunk.transport != "TLS")
      throw badValue("Trunk", "Transport", "must be UDP, TCP or TLS");
    if (config.trunk.transport == "TLS" && config.tlsPort == 0)
      throw wrong("[Trunk] Transport=TLS needs [SIP] TlsPort");
    config.trunk.caFile = inFolder(std::string(Trim(ini.ReadString("Trunk", "CAFile", ""))));
    config.trunk.user = ini.ReadString("Trunk", "User", "");
    config.trunk.password = ini.ReadString("Trunk", "Password", "");
    config.trunk.registerExpiry = whole("Trunk", "RegisterExpiry", config.trunk.registerExpiry);
    if (config.trunk.registerExpiry < 60) throw wrong("[Trunk] RegisterExpiry must be at least 60 seconds");
    for (const std::string* text : {&config.trunk.user, &config.trunk.password}) {
      if (text->find_first_of("\"\\\r\n<>@: ") != std::string::npos)
        throw wrong("[Trunk] User and Password must be plain words");
    }
    config.trunk.inboundUser = ini.ReadString("Trunk", "InboundUser", "");
    config.trunk.inboundPassword = ini.ReadString("Trunk", "InboundPassword", "");
    if (config.trunk.inboundUser.empty() != config.trunk.inboundPassword.empty())
      throw wrong("[Trunk] InboundUser and InboundPassword go together");
    for (const std::string* text : {&config.trunk.inboundUser, &config.trunk.inboundPassword}) {
      if (text->find_first_of("\"\\\r\n<>@: ") != std::string::npos)
        throw wrong("[Trunk] InboundUser and InboundPassword must be plain words");
    }
  }
  return config;
}

}  // namespace vantrel::telephony
