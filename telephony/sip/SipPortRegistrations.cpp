// The SIP port's requests outside calls: the guard against strangers, OPTIONS, REGISTER and digest checks.
#include "telephony/sip/SipPort.h"

extern "C" {
#include <re.h>
}

#include <algorithm>
#include <cctype>
#include <stdexcept>

#include "support/VantrelCommonRoutines.h"
#include "telephony/SoftExchange.h"
#include "telephony/sip/SipCall.h"
#include "telephony/sip/SipRequestCheck.h"
#include "telephony/sip/SipText.h"
#include "telephony/sip/SipWebSocket.h"

namespace vantrel::telephony {

namespace {

constexpr std::size_t kMaxMessage = 8192;
// What the stack reads of a datagram: all UDP can carry, so that one of kMaxMessage or more is seen whole and
// refused with 513 rather than cut at the stack's own 8 KiB and dropped as unreadable.
constexpr std::size_t kUdpReadSize = 65536;
constexpr std::size_t kMaxRefusedSources = 1024;
constexpr std::uint32_t kDefaultExpiry = 3600;
constexpr const char* kAllowHeader = "Allow: INVITE, ACK, BYE, CANCEL, OPTIONS, REFER, NOTIFY, REGISTER\r\n";

struct TRegisterContacts {
  std::vector<std::pair<std::string, std::uint32_t>> contacts;  // uri, expiry asked
  bool star = false;
  bool bad = false;
  std::uint32_t defaultExpiry = kDefaultExpiry;
};

bool CollectContact(const sip_hdr* header, const sip_msg*, void* arg) {
  auto& collected = *static_cast<TRegisterContacts*>(arg);
  if (pl_strcmp(&header->val, "*") == 0) {
    collected.star = true;
    return false;
  }
  sip_addr address{};
  if (sip_addr_decode(&address, &header->val) != 0) {
    collected.bad = true;
    return true;
  }
  std::uint32_t expiry = collected.defaultExpiry;
  pl value{};
  if (msg_param_decode(&address.params, "expires", &value) == 0) expiry = pl_u32(&value);
  collected.contacts.emplace_back(Text(address.auri), expiry);
  return false;
}

}  // namespace

bool TSipPort::OnRequest(const sip_msg* msg) {
  if (udpSocket_ == nullptr && msg->tp == SIP_TRANSP_UDP && msg->sock != nullptr) {
    udpSocket_ = msg->sock;
    udp_rxsz_set(static_cast<udp_sock*>(udpSocket_), kUdpReadSize);
  }
  // A banned or flooding address gets no answer at all: it learns nothing and costs nothing.
  if (const std::string guarded = GuardedAddress(msg);
      !guarded.empty() && !guard_.Admit(guarded, TSipGuard::TClock::now()))
    return true;
  // Nothing answers an ACK (RFC 3261 §17.1.1.3); a broken one is dropped.
  const bool ack = pl_strcmp(&msg->met, "ACK") == 0;
  // A datagram longer than the stack reads arrives cut at its buffer's end, shorter than it says it is.
  const std::size_t declared = pl_u32(&msg->clen);
  if ((msg->mb != nullptr && msg->mb->end >= kMaxMessage) || declared >= kMaxMessage) {
    if (!ack) sip_reply(sip_, msg, 513, "Message Too Large");
    return true;
  }
  // Before anything acts on it, a malformed request is refused (RFC 3261 §8.2).
  if (const TRequestFault fault = CheckRequest(msg); fault.code != 0) {
    if (!ack) sip_reply(sip_, msg, fault.code, fault.reason);
    return true;
  }
  if (pl_strcmp(&msg->met, "REGISTER") == 0) {
    OnRegister(msg);
    registrationsChanged_ = true;
    return true;
  }
  if (AnswerEarlierRunsBye(msg)) return true;
  if (pl_strcmp(&msg->met, "OPTIONS") == 0) {
    sip_replyf(sip_, msg, 200, "OK", "%sAccept: application/sdp\r\nContent-Length: 0\r\n\r\n", kAllowHeader);
    return true;
  }
  return false;
}

void TSipPort::RefuseStranger(const sip_msg* msg, const char* why) {
  const std::string source = IpOf(msg->src);
  if (refusedSources_.size() < kMaxRefusedSources && refusedSources_.insert(source).second)
    LogFormat("SIP: refused %s from %s: %s (said once per source)", {Text(msg->met), source, std::string(why)});
  sip_reply(sip_, msg, 403, "Forbidden");
}

void TSipPort::AuthenticationFailed(const sip_msg* msg) {
  const std::string source = GuardedAddress(msg);
  if (!source.empty() && guard_.Failed(source, TSipGuard::TClock::now())) {
    LogFormat("SIP: banned %s for %d s after %d failed authentications within a minute",
              {source, config_.guard.banSeconds, config_.guard.banAfterFailures});
  }
}

bool TSipPort::Authenticated(const sip_msg* msg, const std::string& who, const std::string& user,
                             const std::string& password, bool proxy) {
  const sip_hdr* header = sip_msg_hdr(msg, proxy ? SIP_HDR_PROXY_AUTHORIZATION : SIP_HDR_AUTHORIZATION);
  const std::string method = Text(msg->met);
  const auto challenge = [&](bool stale) {
    sip_replyf(sip_, msg, proxy ? 407 : 401, proxy ? "Proxy Authentication Required" : "Unauthorized",
               "%s: %s\r\nContent-Length: 0\r\n\r\n", proxy ? "Proxy-Authenticate" : "WWW-Authenticate",
               digest_.Challenge(method, stale).c_str());
  };
  if (header == nullptr) {
    challenge(false);
    return false;
  }
  const std::string value = Text(header->val);
  switch (digest_.Check(value, method, user, password)) {
    case TSipDigest::TCheck::Good:
      return true;
    case TSipDigest::TCheck::Stale:
      challenge(true);
      return false;
    case TSipDigest::TCheck::Replayed:
      // The right password on a count already used: a captured request sent again, or a phone that lost
      // track. A fresh challenge either way; the nonce is not stale, so not said to be.
      challenge(false);
      return false;
    case TSipDigest::TCheck::Wrong:
      break;
  }
  AuthenticationFailed(msg);
  RefuseStranger(msg, ("wrong credentials for " + who).c_str());
  return false;
}

void TSipPort::OnRegister(const sip_msg* msg) {
  const std::string station = Text(msg->to.uri.user);
  if (!IsSipStation(station)) {
    AuthenticationFailed(msg);
    RefuseStranger(msg, "no such SIP station");
    return;
  }
  if (!Authenticated(msg, "station " + station, station, config_.passwords.at(station), false)) return;
  TRegisterContacts collected;
  if (msg->expires.l != 0) collected.defaultExpiry = pl_u32(&msg->expires);
  sip_msg_hdr_apply(msg, true, SIP_HDR_CONTACT, CollectContact, &collected);
  if (collected.bad) {
    sip_reply(sip_, msg, 400, "Bad Contact");
    return;
  }
  const std::string callId = Text(msg->callid);
  if (collected.star) {
    registrar_.UnbindAll(station);
    LogFormat("SIP: station %s unregistered its phones", {station});
  }
  for (const auto& [uri, asked] : collected.contacts) {
    if (asked != 0 && asked < static_cast<std::uint32_t>(config_.minExpiry)) {
      sip_replyf(sip_, msg, 423, "Interval Too Brief", "Min-Expires: %d\r\nContent-Length: 0\r\n\r\n",
                 config_.minExpiry);
      return;
    }
  }
  for (const auto& [uri, asked] : collected.contacts) {
    if (asked == 0) {
      registrar_.Unbind(station, uri);
      LogFormat("SIP: station %s unregistered %s", {station, uri});
      continue;
    }
    const std::uint32_t granted = std::min<std::uint32_t>(asked, static_cast<std::uint32_t>(config_.maxExpiry));
    const bool known = registrar_.Registered(station);
    if (!registrar_.Bind(station,
                         {uri, SourceOf(msg), callId, TSipRegistrar::TClock::now() + std::chrono::seconds(granted)})) {
      sip_reply(sip_, msg, 403, "Too Many Phones");
      return;
    }
    if (!known) LogFormat("SIP: station %s registered at %s", {station, uri});
  }
  std::string contacts;
  const auto now = TSipRegistrar::TClock::now();
  for (const TSipRegistrar::TContact& contact : registrar_.Contacts(station)) {
    const auto left = std::chrono::duration_cast<std::chrono::seconds>(contact.expires - now).count();
    contacts += "Contact: <" + contact.uri + ">;expires=" + std::to_string(std::max<long long>(left, 1)) + "\r\n";
  }
  // Through a server transaction (RFC 3261 §17.2.2): the phone's retransmission of this REGISTER, whose digest
  // count is used up now, gets this answer again instead of a challenge.
  sip_treplyf(nullptr, nullptr, sip_, msg, false, 200, "OK", "%sContent-Length: 0\r\n\r\n", contacts.c_str());
}

// ---- browsers' phones (over a WebSocket) ----

void TSipPort::OnBrowserGone(const std::string& source) {
  // The browser's phone is gone with its connection: its calls end as if it had hung up, and it is no longer
  // where the station's calls ring.
  std::vector<TSipCall*> gone;
  for (const auto& [call, owned] : calls_)
    if (call->PhoneSource() == source) gone.push_back(call);
  for (TSipCall* call : gone) call->PhoneGone();
  for (const auto& [station, contacts] : registrar_.Snapshot()) {
    for (const TSipRegistrar::TContact& contact : contacts) {
      if (contact.source != source) continue;
      registrar_.Unbind(station, contact.uri);
      registrationsChanged_ = true;
      LogFormat("SIP: station %s unregistered %s: its WebSocket closed", {station, contact.uri});
    }
  }
}

bool TSipPort::FromBrowser(const sip_msg* msg) const {
  if (msg->tp == SIP_TRANSP_WS || msg->tp == SIP_TRANSP_WSS) return true;
  if (msg->tp != SIP_TRANSP_TCP) return false;
  for (const auto& bridges : {webSockets_.get(), secureWebSockets_.get()})
    if (bridges != nullptr && bridges->IsBridge(IpOf(msg->src), sa_port(&msg->src))) return true;
  return false;
}

std::string TSipPort::GuardedAddress(const sip_msg* msg) const {
  const std::string ip = IpOf(msg->src);
  if (msg->tp != SIP_TRANSP_TCP) return ip;
  // Browsers' phones through the gateway come from the port's own address, which a ban would take from all of
  // them; the gateway vouches for them. One straight from its browser is that browser's.
  if (webSockets_ != nullptr && webSockets_->IsBridge(ip, sa_port(&msg->src))) return {};
  if (secureWebSockets_ != nullptr) {
    if (std::string browser = secureWebSockets_->BrowserOf(ip, sa_port(&msg->src)); !browser.empty()) return browser;
  }
  return ip;
}

std::string TSipPort::WebSocketRoute(const TSipRegistrar::TContact& contact) const {
  // A browser's phone names a host of its own invention (RFC 7118 §5.2): requests go back over the bridge's
  // connection it registered through, which the stack finds by that connection's address.
  std::string uri = contact.uri;
  std::transform(uri.begin(), uri.end(), uri.begin(), [](unsigned char c) { return std::tolower(c); });
  if ((webSockets_ == nullptr && secureWebSockets_ == nullptr) || uri.find(";transport=ws") == std::string::npos)
    return {};
  return "sip:" + contact.source + ";transport=tcp";
}

}  // namespace vantrel::telephony
