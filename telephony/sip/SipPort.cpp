#include "SipPort.h"

extern "C" {
#include <re.h>
}

#include <arpa/inet.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <future>
#include <stdexcept>

#include "support/VantrelCommonRoutines.h"
#include "telephony/SoftExchange.h"
#include "telephony/sip/SipCall.h"
#include "telephony/sip/SipRequestCheck.h"
#include "telephony/sip/SipWebSocket.h"
#include "telephony/sip/WebRtcMedia.h"

namespace vantrel::telephony {

namespace {

constexpr std::size_t kMaxMessage = 8192;
// What the stack reads of a datagram: all UDP can carry, so that one of kMaxMessage or more is seen whole and
// refused with 513 rather than cut at the stack's own 8 KiB and dropped as unreadable.
constexpr std::size_t kUdpReadSize = 65536;
constexpr std::size_t kMaxRefusedSources = 1024;
constexpr std::uint32_t kDefaultExpiry = 3600;
// An answered trunk call whose caller neither acknowledged (RFC 3261 §13.3.1.4 gives it 32 s) nor sent media
// within this was forged with the trunk's address: its line is freed.
constexpr auto kAckWait = std::chrono::seconds(6);
// Answered trunk calls that may be silent and wait for their ACK past three retransmissions of the answer
// (kSuspectAfter) at once; the trunk's further INVITEs get 503 meanwhile.
constexpr std::size_t kMaxUnconfirmedTrunkCalls = 4;
constexpr auto kSuspectAfter = std::chrono::seconds(2);
constexpr const char* kAllowHeader = "Allow: INVITE, ACK, BYE, CANCEL, OPTIONS, REFER, NOTIFY, REGISTER\r\n";

std::string Text(const pl& value) { return value.l == 0 ? std::string() : std::string(value.p, value.l); }

std::string IpOf(const sa& address) {
  char text[64] = {};
  sa_ntop(&address, text, sizeof text);
  return text;
}

std::string SourceOf(const sip_msg* msg) { return IpOf(msg->src) + ":" + std::to_string(sa_port(&msg->src)); }

bool IsHoldState(DWORD state) { return state == LINECALLSTATE_ONHOLD || state == LINECALLSTATE_ONHOLDPENDTRANSFER; }

bool IsDialable(const std::string& number) {
  return !number.empty() && number.size() <= 64 && std::all_of(number.begin(), number.end(), [](char c) {
    return (c >= '0' && c <= '9') || c == '*' || c == '#' || c == '+';
  });
}

// Whether an INVITE's offer has an audio stream in a law we speak (refused with 488 otherwise).
bool OfferSuits(const sip_msg* msg) {
  if (msg->mb == nullptr || mbuf_get_left(msg->mb) == 0) return false;
  try {
    return TSdpMedia::Parse(std::string_view(reinterpret_cast<const char*>(mbuf_buf(msg->mb)), mbuf_get_left(msg->mb)))
               .ChosenLaw() >= 0;
  } catch (const std::invalid_argument&) {
    return false;
  }
}

bool BrowserOfferSuits(const sip_msg* msg) {
  if (msg->mb == nullptr || mbuf_get_left(msg->mb) == 0) return false;
  const std::string_view body(reinterpret_cast<const char*>(mbuf_buf(msg->mb)), mbuf_get_left(msg->mb));
  try {
    TWebRtcParty::Parse(body);
    return TSdpMedia::Parse(TWebRtcParty::AsPlain(body)).ChosenLaw() >= 0;
  } catch (const std::invalid_argument& refused) {
    LogFormat("SIP: a browser's INVITE from %s refused: %s", {SourceOf(msg), std::string(refused.what())});
    return false;
  }
}

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

TSipPort::TSipPort(TSoftExchange& exchange, TSipConfig config, const std::vector<std::string>& stations)
    : exchange_(exchange), config_(std::move(config)), digest_(config_.realm), guard_(config_.guard) {
  if (!config_.trunk.address.empty()) guard_.Trust(config_.trunk.address);
  for (const auto& [station, password] : config_.passwords) {
    if (std::find(stations.begin(), stations.end(), station) == stations.end())
      LogFormat("SIP: [Passwords] names %s, which is no station; no phone can register for it", {station});
  }
  std::string problem;
  THoldSound sound = THoldSound::Load(config_.holdSound, &problem);
  if (!problem.empty()) LogFormat("SIP: the hold sound %s %s; playing a tone", {config_.holdSound, problem});
  // No timeout: a year, which never passes and never overflows a clock's duration.
  const auto silence =
      std::chrono::milliseconds(config_.mediaTimeout == 0 ? 365LL * 24 * 3600 * 1000 : config_.mediaTimeout * 1000LL);
  relay_ = std::make_unique<TMediaRelay>(
      config_.rtpAddress, config_.rtpFirstPort, config_.rtpLastPort, std::move(sound), silence,
      [this](DWORD leg, char digit) { OnDigit(leg, digit); },
      [this](DWORD leg) { Post([this, leg] { OnSilence(leg); }); });
  wake_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wake_ < 0) throw std::runtime_error(std::string("SIP: ") + std::strerror(errno));
  std::promise<std::string> started;
  std::future<std::string> result = started.get_future();
  thread_ = std::thread([this, &started] { Run(started); });
  const std::string failure = result.get();
  if (!failure.empty()) {
    thread_.join();
    ::close(wake_);
    throw std::runtime_error(failure);
  }
  exchange_.SetPorts(this);
  LogFormat("SIP: listening on %s:%d (UDP and TCP)%s, RTP %s:%d-%d, %d stations with passwords%s",
            {config_.address, config_.port,
             config_.webSocketPort == 0 ? std::string() : " and " + std::to_string(config_.webSocketPort) + " (WebSocket)",
             config_.rtpAddress, config_.rtpFirstPort, config_.rtpLastPort,
             static_cast<int>(config_.passwords.size()),
             config_.trunk.address.empty() ? std::string(", no trunk")
                                           : ", trunk " + config_.trunk.address + ":" +
                                                 std::to_string(config_.trunk.port) + " " + config_.trunk.transport});
}

TSipPort::~TSipPort() {
  exchange_.SetPorts(nullptr);  // no change arrives after this
  callerNames_.reset();
  stopping_ = true;
  Post([] { re_cancel(); });
  if (thread_.joinable()) thread_.join();
  if (wake_ >= 0) ::close(wake_);
  const TMediaRelay::TCounts media = relay_->Counts();
  LogFormat("SIP: stopped; media packets received %s, forwarded %s (transcoded %s), from strangers %s, hold frames %s",
            {std::to_string(media.received), std::to_string(media.forwarded), std::to_string(media.transcoded),
             std::to_string(media.foreign), std::to_string(media.holdFrames)});
  relay_.reset();
}

// ---- the SIP thread ----

void TSipPort::Post(std::function<void()> work) {
  bool wasEmpty = false;
  {
    const std::lock_guard guard(queueLock_);
    wasEmpty = queue_.empty();
    queue_.push_back(std::move(work));
  }
  if (wasEmpty) {
    const std::uint64_t one = 1;
    if (::write(wake_, &one, sizeof one) < 0) {
      // The counter is full only if the thread is gone; nothing waits then.
    }
  }
}

void TSipPort::DrainQueue() {
  std::uint64_t count = 0;
  if (::read(wake_, &count, sizeof count) < 0) {
  }
  std::deque<std::function<void()>> work;
  {
    const std::lock_guard guard(queueLock_);
    work.swap(queue_);
  }
  for (auto& item : work) item();
}

void TSipPort::Run(std::promise<std::string>& started) {
  if (libre_init() != 0) {
    started.set_value("SIP: the SIP stack does not start");
    return;
  }
  std::string failure = StartStack();
  if (!failure.empty()) {
    StopStack();
    libre_close();
    started.set_value(failure);
    return;
  }
  started.set_value({});
  tmr tick{};
  tmr_init(&tick);
  struct Ticker {
    static void Fire(void* arg) {
      auto* self = static_cast<std::pair<TSipPort*, tmr*>*>(arg);
      self->first->OnTick();
      tmr_start(self->second, 1000, Fire, arg);
    }
  };
  std::pair<TSipPort*, tmr*> ticker{this, &tick};
  tmr_start(&tick, 1000, Ticker::Fire, &ticker);
  re_main(nullptr);
  tmr_cancel(&tick);
  if (registrationsChanged_) SaveRegistrations();
  {
    const std::lock_guard guard(queueLock_);
    queue_.clear();
  }
  // Every call ends: BYE or CANCEL to the phones and the trunk.
  calls_.clear();
  callsByLeg_.clear();
  StopStack();
  libre_close();
}

std::string TSipPort::StartStack() {
  if (dnsc_alloc(&dnsc_, nullptr, nullptr, 0) != 0) return "SIP: no resolver";
  // Finished transactions linger for the SIP timers (32 s): at hundreds of calls a second the tables hold tens
  // of thousands, so they get buckets to match.
  if (sip_alloc(&sip_, dnsc_, 16384, 16384, 256, "Vantrel", nullptr, nullptr) != 0)
    return "SIP: the SIP stack does not start";
  sa local{};
  if (sa_set_str(&local, config_.address.c_str(), static_cast<std::uint16_t>(config_.port)) != 0)
    return "SIP: bad address " + config_.address;
  for (sip_transp transport : {SIP_TRANSP_UDP, SIP_TRANSP_TCP}) {
    if (const int error = sip_transp_add(sip_, transport, &local); error != 0) {
      return "SIP: cannot listen on " + config_.address + ":" + std::to_string(config_.port) + " (" +
             sip_transp_name(transport) + "): " + std::strerror(error);
    }
  }
  if (config_.webSocketPort != 0) {
    try {
      webSockets_ = std::make_unique<TSipWebSocket>(config_.address, config_.webSocketPort, config_.address,
                                                    config_.port,
                                                    [this](const std::string& source) { OnBrowserGone(source); });
    } catch (const std::runtime_error& refused) {
      return refused.what();
    }
  }
  // Ours first: it answers registrations and refuses what is too big before sessions see it.
  sip_listen(
      &listener_, sip_, true,
      [](const sip_msg* msg, void* self) { return static_cast<TSipPort*>(self)->OnRequest(msg); }, this);
  sipsess_listen(
      &sessions_, sip_, 4096, [](const sip_msg* msg, void* self) { static_cast<TSipPort*>(self)->OnInvite(msg); },
      this);
  fd_listen(
      wake_, FD_READ, [](int, void* self) { static_cast<TSipPort*>(self)->DrainQueue(); }, this);
  ProbeOwnSocket();
  RestoreRegistrations();
  EndEarlierRunsCalls();
  if (!config_.trunk.address.empty() && !config_.trunk.user.empty()) {
    const TSipTrunk& trunk = config_.trunk;
    const std::string registrar =
        "sip:" + trunk.address + ":" + std::to_string(trunk.port) + (trunk.transport == "TCP" ? ";transport=tcp" : "");
    const std::string aor = "sip:" + trunk.user + "@" + trunk.address;
    sipreg_register(
        &trunkRegistration_, sip_, registrar.c_str(), aor.c_str(), nullptr, aor.c_str(),
        static_cast<std::uint32_t>(trunk.registerExpiry), trunk.user.c_str(), nullptr, 0, 0,
        [](char** user, char** password, const char*, void* self) {
          const TSipTrunk& trunk = static_cast<TSipPort*>(self)->config_.trunk;
          int error = str_dup(user, trunk.user.c_str());
          return error != 0 ? error : str_dup(password, trunk.password.c_str());
        },
        this, false,
        [](int error, const sip_msg* msg, void* arg) {
          auto* self = static_cast<TSipPort*>(arg);
          const bool registered = error == 0 && msg != nullptr && msg->scode < 300;
          if (registered != self->trunkRegistered_) {
            self->trunkRegistered_ = registered;
            LogFormat(registered ? "SIP: registered with the trunk as %s (%s)"
                                 : "SIP: the trunk refused registration as %s (%s)",
                      {self->config_.trunk.user,
                       msg != nullptr ? std::to_string(msg->scode) : std::string(std::strerror(error))});
          }
        },
        this, nullptr, nullptr);
  }
  return {};
}

void TSipPort::ProbeOwnSocket() {
  const int probe = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (probe < 0) return;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  ::inet_pton(AF_INET, config_.address.c_str(), &local.sin_addr);
  socklen_t size = sizeof local;
  if (::bind(probe, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
      ::getsockname(probe, reinterpret_cast<sockaddr*>(&local), &size) == 0) {
    const std::string from = config_.address + ":" + std::to_string(ntohs(local.sin_port));
    const std::string us = config_.address + ":" + std::to_string(config_.port);
    const std::string options = "OPTIONS sip:" + us + " SIP/2.0\r\nVia: SIP/2.0/UDP " + from +
                                ";branch=z9hG4bK-probe\r\nFrom: <sip:probe@" + from + ">;tag=probe\r\nTo: <sip:" + us +
                                ">\r\nCall-ID: probe@" + from +
                                "\r\nCSeq: 1 OPTIONS\r\nMax-Forwards: 70\r\nContent-Length: 0\r\n\r\n";
    sockaddr_in to{};
    to.sin_family = AF_INET;
    ::inet_pton(AF_INET, config_.address.c_str(), &to.sin_addr);
    to.sin_port = htons(static_cast<std::uint16_t>(config_.port));
    ::sendto(probe, options.data(), options.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  }
  ::close(probe);  // the answer goes nowhere; the datagram is all that was wanted
}

void TSipPort::StopStack() {
  trunkRegistration_ = static_cast<sipreg*>(mem_deref(trunkRegistration_));
  webSockets_.reset();
  if (wake_ >= 0) fd_close(wake_);
  sessions_ = static_cast<sipsess_sock*>(mem_deref(sessions_));
  listener_ = static_cast<sip_lsnr*>(mem_deref(listener_));
  if (sip_ != nullptr) sip_close(sip_, true);
  sip_ = static_cast<struct sip*>(mem_deref(sip_));
  dnsc_ = static_cast<struct dnsc*>(mem_deref(dnsc_));
}

void TSipPort::OnTick() {
  const std::vector<std::string> lapsed = registrar_.Expire(TSipRegistrar::TClock::now());
  for (const std::string& station : lapsed) LogFormat("SIP: the registration of station %s expired", {station});
  if (!lapsed.empty() || registrationsChanged_) SaveRegistrations();
  registrationsChanged_ = false;
  for (const std::string& address : guard_.Expire(TSipGuard::TClock::now()))
    LogFormat("SIP: %s is no longer banned", {address});
  EndUnconfirmedTrunkCalls();
  StopAwaitingNames();
}

// ---- requests outside calls ----

bool TSipPort::OnRequest(const sip_msg* msg) {
  if (udpSocket_ == nullptr && msg->tp == SIP_TRANSP_UDP && msg->sock != nullptr) {
    udpSocket_ = msg->sock;
    udp_rxsz_set(static_cast<udp_sock*>(udpSocket_), kUdpReadSize);
  }
  // A banned or flooding address gets no answer at all: it learns nothing and costs nothing. Browsers' phones
  // come from the port's own address, which a ban would take from all of them; the gateway vouches for them.
  if (!FromBrowser(msg) && !guard_.Admit(IpOf(msg->src), TSipGuard::TClock::now())) return true;
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
  return webSockets_ != nullptr && msg->tp == SIP_TRANSP_TCP && webSockets_->IsBridge(IpOf(msg->src), sa_port(&msg->src));
}

bool TSipPort::FromTrunk(const sip_msg* msg) const {
  const TSipTrunk& trunk = config_.trunk;
  // A WebSocket carries browsers' phones through the web gateway, whatever address that has.
  if (FromBrowser(msg)) return false;
  if (trunk.address.empty() || IpOf(msg->src) != trunk.address) return false;
  return msg->tp != SIP_TRANSP_UDP || sa_port(&msg->src) == trunk.port;
}

void TSipPort::RefuseStranger(const sip_msg* msg, const char* why) {
  const std::string source = IpOf(msg->src);
  if (refusedSources_.size() < kMaxRefusedSources && refusedSources_.insert(source).second)
    LogFormat("SIP: refused %s from %s: %s (said once per source)", {Text(msg->met), source, std::string(why)});
  sip_reply(sip_, msg, 403, "Forbidden");
}

void TSipPort::AuthenticationFailed(const sip_msg* msg) {
  const std::string source = IpOf(msg->src);
  if (guard_.Failed(source, TSipGuard::TClock::now())) {
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

// ---- new calls from outside ----

void TSipPort::OnInvite(const sip_msg* msg) {
  if (stopping_) {
    sip_reply(sip_, msg, 503, "Service Unavailable");
    return;
  }
  if (FromTrunk(msg)) {
    const TSipTrunk& trunk = config_.trunk;
    if (!trunk.inboundUser.empty() && !Authenticated(msg, "the trunk", trunk.inboundUser, trunk.inboundPassword, true))
      return;
    if (!TrunkMayCall()) {
      sip_reply(sip_, msg, 503, "Service Unavailable");
      return;
    }
    InviteFromTrunk(msg);
    return;
  }
  const std::string station = Text(msg->from.uri.user);
  if (!IsSipStation(station)) {
    RefuseStranger(msg, "neither the trunk nor a phone of a SIP station");
    return;
  }
  if (!Authenticated(msg, "station " + station, station, config_.passwords.at(station), true)) return;
  InviteFromPhone(msg, station);
}

void TSipPort::InviteFromTrunk(const sip_msg* msg) {
  const std::string called = Text(msg->uri.user);
  std::string caller = Text(msg->from.uri.user);
  if (!IsDialable(caller)) caller = "0";  // anonymous or a name: the station sees no number
  else
    callerNames_->Find(caller, nullptr, {});  // its name, looked up while the call reaches a phone
  if (!OfferSuits(msg)) {
    sip_reply(sip_, msg, 488, "Not Acceptable Here");
    return;
  }
  DWORD farEnd = 0;
  try {
    farEnd = exchange_.CallStation(called, caller);
  } catch (const std::invalid_argument& refused) {
    const std::string why = refused.what();
    if (why.rfind("All trunks", 0) == 0)
      sip_reply(sip_, msg, 503, "Service Unavailable");
    else
      sip_reply(sip_, msg, 404, "Not Found");
    return;
  }
  if (farEnd == 0) {
    sip_reply(sip_, msg, 486, "Busy Here");  // do not disturb
    return;
  }
  AcceptNewCall(msg, TSipCall::TKind::TrunkCalls, farEnd, called);
}

void TSipPort::InviteFromPhone(const sip_msg* msg, const std::string& station) {
  const std::string destination = Text(msg->uri.user);
  if (!IsDialable(destination)) {
    sip_reply(sip_, msg, 484, "Address Incomplete");
    return;
  }
  // The media first: a call the exchange placed is not taken back for a codec (nor, from a browser, for
  // media without DTLS-SRTP and ICE).
  if (FromBrowser(msg) ? !BrowserOfferSuits(msg) : !OfferSuits(msg)) {
    sip_reply(sip_, msg, 488, "Not Acceptable Here");
    return;
  }
  DWORD leg = 0;
  try {
    leg = exchange_.PhoneCalls(station, destination);
  } catch (const std::invalid_argument&) {
    sip_reply(sip_, msg, 404, "Not Found");
    return;
  }
  AcceptNewCall(msg, TSipCall::TKind::PhoneCalls, leg, station);
}

void TSipPort::AcceptNewCall(const sip_msg* msg, TSipCall::TKind kind, DWORD leg, const std::string& station) {
  // The exchange's changes for the new call are queued behind this request, so they find the call added.
  std::unique_ptr<TSipCall> made;
  try {
    made = std::make_unique<TSipCall>(*this, kind, leg, station);
  } catch (const std::runtime_error& full) {
    LogFormat("SIP: a call for %s refused: %s", {station, std::string(full.what())});
    sip_reply(sip_, msg, 503, "Service Unavailable");
  }
  if (made && FromBrowser(msg)) made->SetPhoneSource(SourceOf(msg));
  if (made && made->Accept(msg)) {
    Add(std::move(made));
    return;
  }
  relay_->Close(leg);
  try {
    if (kind == TSipCall::TKind::TrunkCalls)
      exchange_.HangUpFarEnd(leg);
    else
      exchange_.PhoneHungUp(leg);
  } catch (const std::exception&) {
    // The leg went already.
  }
}

bool TSipPort::TrunkMayCall() {
  const auto now = std::chrono::steady_clock::now();
  std::size_t waiting = 0;
  for (const auto& [call, owned] : calls_) {
    if (call->Kind() == TSipCall::TKind::TrunkCalls && call->State() == TSipCall::TState::Answered &&
        !call->Confirmed() && now - call->AnsweredAt() >= kSuspectAfter && !relay_->Heard(call->Leg()))
      ++waiting;
  }
  const bool may = waiting < kMaxUnconfirmedTrunkCalls;
  if (!may && !trunkRefusing_)
    LogFormat("SIP: %d answered trunk calls wait for their ACK; the trunk's new calls get 503 until they end",
              {static_cast<int>(waiting)});
  trunkRefusing_ = !may;
  return may;
}

void TSipPort::EndUnconfirmedTrunkCalls() {
  const auto now = std::chrono::steady_clock::now();
  std::vector<TSipCall*> forged;
  for (const auto& [call, owned] : calls_) {
    if (call->Kind() == TSipCall::TKind::TrunkCalls && call->State() == TSipCall::TState::Answered &&
        !call->Confirmed() && now - call->AnsweredAt() >= kAckWait && !relay_->Heard(call->Leg()))
      forged.push_back(call);
  }
  for (TSipCall* call : forged) {
    const DWORD leg = call->Leg();
    LogFormat("SIP: the trunk's call of leg %d was answered %d s ago and neither acknowledged nor heard; ending it",
              {static_cast<int>(leg), static_cast<int>(std::chrono::seconds(kAckWait).count())});
    call->End();
    relay_->Close(leg);
    try {
      exchange_.HangUpFarEnd(leg);
    } catch (const std::exception&) {
      // The leg went already.
    }
  }
}

// ---- the exchange's legs ----

void TSipPort::LegChanged(const TLegChange& change) {
  Post([this, change] { OnLegChange(change); });
}

bool TSipPort::RingsPhoneFirst(const std::string& station) const {
  return IsSipStation(station) && registrar_.Registered(station);
}

void TSipPort::OnLegChange(const TLegChange& change) {
  if (change.gone) {
    legs_.erase(change.leg);
  } else {
    legs_[change.leg] = change;
  }
  std::vector<TSipCall*> calls = CallsOf(change.leg);
  const DWORD state = change.gone ? LINECALLSTATE_IDLE : change.state;
  const bool over = change.gone || state == LINECALLSTATE_IDLE || state == LINECALLSTATE_DISCONNECTED;
  if (!change.farEnd) {
    if (calls.empty() && IsSipStation(change.number)) {
      if (state == LINECALLSTATE_OFFERING) RingPhones(change, false);
      if (state == LINECALLSTATE_DIALTONE && change.waitsForPhone) RingPhones(change, true);
    }
    for (TSipCall* call : calls) {
      if (call->Kind() == TSipCall::TKind::PhoneCalls) {
        if (state == LINECALLSTATE_RINGBACK) call->Ringing();
        if (state == LINECALLSTATE_CONNECTED) call->Answer();
        if (state == LINECALLSTATE_BUSY) {
          call->Reject(486, "Busy Here");
          exchange_.PhoneHungUp(change.leg);
          continue;
        }
      }
      // A ringing station that stopped ringing without the phone (the caller went, a program answered
      // elsewhere) stops ringing its phones too.
      const bool rangOut = call->Kind() == TSipCall::TKind::RingsPhone && call->State() != TSipCall::TState::Answered &&
                           state != LINECALLSTATE_OFFERING;
      if (over || rangOut) call->End();
    }
  } else {
    if (calls.empty() && state == LINECALLSTATE_OFFERING && !config_.trunk.address.empty()) CallTrunk(change);
    for (TSipCall* call : calls) {
      if (call->Kind() == TSipCall::TKind::TrunkCalls && state == LINECALLSTATE_RINGBACK) call->Ringing();
      if (call->Kind() == TSipCall::TKind::TrunkCalls && state == LINECALLSTATE_CONNECTED) call->Answer();
      if (over) {
        // A caller the station never took hears busy when it was turned away, else unavailability.
        if (call->Kind() == TSipCall::TKind::TrunkCalls && call->State() != TSipCall::TState::Answered)
          call->Reject(486, "Busy Here");
        else
          call->End();
      }
    }
  }
  if (change.gone) relay_->Close(change.leg);
  UpdateMedia(change.leg);
  if (change.peer != 0) UpdateMedia(change.peer);
}

void TSipPort::RingPhones(const TLegChange& change, bool toDial) {
  const auto contacts = registrar_.Contacts(change.number);
  if (contacts.empty()) return;  // no phone: the station rings unheard, as the exchange's no-answer wants
  const std::string shown = change.presentedCaller.empty() ? change.caller : change.presentedCaller;
  const std::string from = toDial ? change.dialed : shown.empty() ? std::string("0") : shown;
  std::string name;
  if (!toDial && AwaitCallerName(change, from, &name)) return;
  try {
    for (const TSipRegistrar::TContact& contact : contacts) {
      auto made = std::make_unique<TSipCall>(
          *this, toDial ? TSipCall::TKind::DialsForPhone : TSipCall::TKind::RingsPhone, change.leg, change.number);
      const std::string route = WebSocketRoute(contact);
      if (!route.empty()) made->SetPhoneSource(contact.source);
      if (made->Invite(contact.uri, name.empty() ? from : name, OurUri(from), route)) Add(std::move(made));
    }
  } catch (const std::runtime_error& full) {
    LogFormat("SIP: station %s's phones not rung: %s", {change.number, std::string(full.what())});
  }
}

void TSipPort::CallTrunk(const TLegChange& change) {
  const TSipTrunk& trunk = config_.trunk;
  const std::string to = "sip:" + change.number + "@" + trunk.address + ":" + std::to_string(trunk.port) +
                         (trunk.transport == "TCP" ? ";transport=tcp" : "");
  std::unique_ptr<TSipCall> made;
  try {
    made = std::make_unique<TSipCall>(*this, TSipCall::TKind::CallsTrunk, change.leg, change.caller);
  } catch (const std::runtime_error& full) {
    LogFormat("SIP: a call to %s not sent to the trunk: %s", {change.number, std::string(full.what())});
  }
  if (made && made->Invite(to, change.caller, OurUri(change.caller.empty() ? "vantrel" : change.caller))) {
    Add(std::move(made));
  } else {
    relay_->Close(change.leg);
    try {
      exchange_.HangUpFarEnd(change.leg);
    } catch (const std::exception&) {
    }
  }
}

void TSipPort::UpdateMedia(DWORD leg) {
  auto found = legs_.find(leg);
  if (found == legs_.end()) return;
  const DWORD peer = found->second.peer;
  auto peerFound = legs_.find(peer);
  relay_->Link(leg, peerFound == legs_.end() ? 0 : peer);
  // A party whose partner holds it hears the hold sound: an outside caller held by an operator or waiting in
  // a queue at a routing line.
  relay_->PlayHoldSound(leg, peerFound != legs_.end() && IsHoldState(peerFound->second.state));
}

void TSipPort::OnDigit(DWORD leg, char digit) {
  // Digits from a trunk caller are the far end's digits, as the exchange has always reported them.
  try {
    exchange_.SendDigits(leg, std::string(1, digit));
  } catch (const std::exception&) {
    // A station's phone's digits reach its partner as RTP events only.
  }
}

void TSipPort::OnSilence(DWORD leg) {
  std::vector<TSipCall*> calls = CallsOf(leg);
  if (calls.empty()) return;
  LogFormat("SIP: no media from leg %d for %d s; its party is gone, hanging up",
            {static_cast<int>(leg), config_.mediaTimeout});
  const bool farEnd = !calls.front()->IsStationSide();
  for (TSipCall* call : calls) call->End();
  try {
    if (farEnd)
      exchange_.HangUpFarEnd(leg);
    else
      exchange_.PhoneHungUp(leg);
  } catch (const std::exception&) {
  }
}

// ---- the calls ----

TSipCall* TSipPort::Add(std::unique_ptr<TSipCall> call) {
  TSipCall* added = call.get();
  callsByLeg_[added->Leg()].push_back(added);
  calls_.emplace(added, std::move(call));
  ++sessionCount_;
  return added;
}

void TSipPort::Remove(TSipCall* call) {
  auto byLeg = callsByLeg_.find(call->Leg());
  if (byLeg != callsByLeg_.end()) {
    std::erase(byLeg->second, call);
    if (byLeg->second.empty()) callsByLeg_.erase(byLeg);
  }
  auto owned = calls_.find(call);
  if (owned == calls_.end()) return;
  std::shared_ptr<TSipCall> ending(owned->second.release());
  calls_.erase(owned);
  --sessionCount_;
  // Its handler may be running now; it goes once this turn of the loop is over.
  Post([ending] {});
}

std::vector<TSipCall*> TSipPort::CallsOf(DWORD leg) {
  auto found = callsByLeg_.find(leg);
  return found == callsByLeg_.end() ? std::vector<TSipCall*>() : found->second;
}

std::string TSipPort::WebSocketRoute(const TSipRegistrar::TContact& contact) const {
  // A browser's phone names a host of its own invention (RFC 7118 §5.2): requests go back over the bridge's
  // connection it registered through, which the stack finds by that connection's address.
  std::string uri = contact.uri;
  std::transform(uri.begin(), uri.end(), uri.begin(), [](unsigned char c) { return std::tolower(c); });
  if (webSockets_ == nullptr || uri.find(";transport=ws") == std::string::npos) return {};
  return "sip:" + contact.source + ";transport=tcp";
}

std::string TSipPort::OurUri(const std::string& user) const {
  return "sip:" + user + "@" + config_.address + ":" + std::to_string(config_.port);
}

TSipPort::TFigures TSipPort::Figures() const {
  TFigures figures;
  figures.registrations = registrar_.Count();
  figures.sessions = sessionCount_;
  figures.media = relay_->Counts();
  return figures;
}

}  // namespace vantrel::telephony
