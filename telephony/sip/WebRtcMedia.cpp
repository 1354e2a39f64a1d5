#include "WebRtcMedia.h"

#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace vantrel::telephony {

namespace {

constexpr std::size_t kMaxLines = 400;

std::vector<std::string> LinesOf(std::string_view text) {
  std::vector<std::string> lines;
  while (!text.empty() && lines.size() <= kMaxLines) {
    const std::size_t end = text.find('\n');
    std::string line(text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) lines.push_back(std::move(line));
  }
  if (lines.size() > kMaxLines) throw std::invalid_argument("too many lines");
  return lines;
}

bool SameAddress(const sockaddr_in& a, const sockaddr_in& b) {
  return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

}  // namespace

TWebRtcParty TWebRtcParty::Parse(std::string_view description) {
  TWebRtcParty party;
  bool inAudio = false;
  // Session-level attributes count for every stream unless the stream says otherwise.
  for (const std::string& line : LinesOf(description)) {
    if (line.rfind("m=", 0) == 0) {
      if (inAudio) break;  // the first audio stream is the one served
      inAudio = line.rfind("m=audio ", 0) == 0;
      continue;
    }
    const auto value = [&](const char* prefix) -> std::optional<std::string> {
      if (line.rfind(prefix, 0) != 0) return std::nullopt;
      return line.substr(std::strlen(prefix));
    };
    if (auto found = value("a=ice-ufrag:")) party.ufrag = *found;
    if (auto found = value("a=ice-pwd:")) party.password = *found;
    if (auto found = value("a=fingerprint:")) party.fingerprint = *found;
    if (auto found = value("a=setup:")) party.setup = *found;
    if (auto found = value("a=mid:"); found && inAudio) party.mid = *found;
    if (line == "a=rtcp-mux" && inAudio) party.rtcpMux = true;
  }
  if (party.fingerprint.empty()) throw std::invalid_argument("no certificate fingerprint (a=fingerprint)");
  if (party.ufrag.empty() || party.password.empty()) throw std::invalid_argument("no ICE credentials");
  if (!party.rtcpMux) throw std::invalid_argument("RTCP not on the media port (a=rtcp-mux)");
  if (party.setup.empty()) party.setup = "actpass";
  if (party.setup != "active" && party.setup != "passive" && party.setup != "actpass")
    throw std::invalid_argument("a DTLS role that is none (a=setup:" + party.setup + ")");
  return party;
}

std::string TWebRtcParty::AsPlain(std::string_view description) {
  std::string plain;
  for (std::string line : LinesOf(description)) {
    if (line.rfind("m=audio ", 0) == 0) {
      const std::size_t at = line.find(" UDP/TLS/RTP/SAVPF ");
      if (at != std::string::npos) line.replace(at, 19, " RTP/AVP ");
    }
    // ICE, not the connection line, says where a WebRTC party is; its 0.0.0.0 there is no hold.
    if (line.rfind("c=IN IP4 ", 0) == 0) line = "c=IN IP4 192.0.2.1";
    plain += line + "\r\n";
  }
  return plain;
}

TWebRtcMedia::TWebRtcMedia(const TDtlsIdentity& identity, std::string name)
    : identity_(identity), name_(std::move(name)) {}

void TWebRtcMedia::SetParty(const TWebRtcParty& party) {
  if (!party.mid.empty()) mid_ = party.mid;
  // A party that offered actpass gets our passive answer; one that answered our actpass chose for both.
  const bool server = party.setup != "passive";
  if (dtls_ && dtls_->State() != TDtlsSrtp::TState::Waiting) return;  // a re-INVITE keeps the association
  server_ = server;
  dtls_ = std::make_unique<TDtlsSrtp>(identity_, server_, party.fingerprint, name_);
}

std::string TWebRtcMedia::Attributes(const std::string& address, int port, bool offering) const {
  std::ostringstream lines;
  lines << "a=mid:" << mid_ << "\r\na=ice-ufrag:" << ice_.Ufrag() << "\r\na=ice-pwd:" << ice_.Password()
        << "\r\na=fingerprint:sha-256 " << identity_.Fingerprint() << "\r\na=setup:"
        << (offering ? "actpass" : server_ ? "passive" : "active") << "\r\na=rtcp-mux\r\na=candidate:1 1 udp 2130706431 "
        << address << ' ' << port << " typ host\r\na=end-of-candidates\r\n";
  return lines.str();
}

long TWebRtcMedia::Receive(int fd, const sockaddr_in& from, std::uint8_t* packet, std::size_t size) {
  if (size == 0) return -1;
  const auto send = [&](const sockaddr_in& to) {
    return [fd, to](const std::uint8_t* data, std::size_t length) {
      ::sendto(fd, data, length, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    };
  };
  if (TIceLite::LooksLikeStun(packet, size)) {
    const TIceLite::TCheck check = ice_.Receive(packet, size, from);
    if (!check.answer.empty())
      ::sendto(fd, check.answer.data(), check.answer.size(), 0, reinterpret_cast<const sockaddr*>(&from), sizeof from);
    if (!check.proven) return -1;
    const bool first = !proven_;
    target_ = from;
    proven_ = true;
    // As the client, the handshake begins once the party's address is proven.
    if (first && dtls_) dtls_->Start(send(target_));
    return 0;
  }
  // Anything else comes only from the proven address.
  if (!proven_ || !SameAddress(from, target_) || !dtls_) return -1;
  if (packet[0] >= 20 && packet[0] <= 63) {
    const TDtlsSrtp::TState before = dtls_->State();
    dtls_->Receive(packet, size, send(target_));
    return before == TDtlsSrtp::TState::Failed ? -1 : 0;
  }
  if (packet[0] < 128 || packet[0] > 191 || size < 12) return -1;
  // RTCP (payload types 192-223 with the marker bit, RFC 5761 §4): taken, not forwarded; the relay has none.
  if (packet[1] >= 192 && packet[1] <= 223) return 0;
  const std::size_t plain = dtls_->Unprotect(packet, size);
  return plain == 0 ? -1 : static_cast<long>(plain);
}

bool TWebRtcMedia::Ready() const { return proven_ && dtls_ && dtls_->State() == TDtlsSrtp::TState::Ready; }

void TWebRtcMedia::Send(int fd, std::uint8_t* packet, std::size_t size, std::size_t capacity) {
  if (!Ready()) return;
  const std::size_t protectedSize = dtls_->Protect(packet, size, capacity);
  if (protectedSize == 0) return;
  ::sendto(fd, packet, protectedSize, 0, reinterpret_cast<const sockaddr*>(&target_), sizeof target_);
}

void TWebRtcMedia::Tick(int fd) {
  if (!dtls_ || !proven_) return;
  const sockaddr_in to = target_;
  dtls_->Tick([fd, to](const std::uint8_t* data, std::size_t length) {
    ::sendto(fd, data, length, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  });
}

std::string WebRtcDescription(const std::string& plain, const std::string& attributes) {
  std::string description;
  for (std::string line : LinesOf(plain)) {
    if (line.rfind("t=", 0) == 0) {
      description += line + "\r\na=ice-lite\r\n";
      continue;
    }
    if (line.rfind("m=audio ", 0) == 0) {
      const std::size_t at = line.find(" RTP/AVP ");
      if (at != std::string::npos) line.replace(at, 9, " UDP/TLS/RTP/SAVPF ");
      description += line + "\r\n" + attributes;
      continue;
    }
    description += line + "\r\n";
  }
  return description;
}

}  // namespace vantrel::telephony
