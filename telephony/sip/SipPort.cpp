// The SIP port's thread: the stack's set-up (every result checked, a failure refuses the start) and tear-down,
// the work queue from other threads, the tick.
#include "telephony/sip/SipPort.h"

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
#include "telephony/sip/SipText.h"
#include "telephony/sip/SipWebSocket.h"

namespace vantrel::telephony {

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
  recordings_ = std::make_unique<TSipRecordings>(*relay_);
  monitors_ = std::make_unique<TSipMonitors>(*relay_, [this](DWORD leg) { return recordings_->Recorded(leg); });
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
  LogFormat(
      "SIP: listening on %s:%d (UDP and TCP)%s%s, RTP %s:%d-%d, %d stations with passwords%s",
      {config_.address, config_.port,
       !tlsOn_ ? std::string() : " and " + std::to_string(config_.tlsPort) + " (TLS, SRTP " + SrtpName() + ")",
       (config_.webSocketPort == 0 ? std::string() : " and " + std::to_string(config_.webSocketPort) + " (WebSocket)") +
           (secureWebSockets_ == nullptr
                ? std::string()
                : " and " + std::to_string(config_.secureWebSocketPort) + " (secure WebSocket)"),
       config_.rtpAddress, config_.rtpFirstPort, config_.rtpLastPort, static_cast<int>(config_.passwords.size()),
       config_.trunk.address.empty() ? std::string(", no trunk")
                                     : ", trunk " + config_.trunk.address + ":" + std::to_string(config_.trunk.port) +
                                           " " + config_.trunk.transport});
}

TSipPort::~TSipPort() {
  exchange_.SetPorts(nullptr);  // no change arrives after this
  callerNames_.reset();
  stopping_ = true;
  Post([] { re_cancel(); });
  if (thread_.joinable()) thread_.join();
  if (wake_ >= 0) ::close(wake_);
  monitors_.reset();
  recordings_.reset();
  const TMediaRelay::TCounts media = relay_->Counts();
  LogFormat(
      "SIP: stopped; media packets received %s, forwarded %s (transcoded %s), from strangers %s, hold frames %s; "
      "SRTP received %s, sent %s, unauthentic %s",
      {std::to_string(media.received), std::to_string(media.forwarded), std::to_string(media.transcoded),
       std::to_string(media.foreign), std::to_string(media.holdFrames), std::to_string(media.srtpReceived),
       std::to_string(media.srtpSent), std::to_string(media.srtpUnauthentic)});
  relay_.reset();
}

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
  if (config_.tlsPort != 0) {
    // Without its certificate the port serves what it can: phones and the trunk over UDP and TCP.
    if (const std::string problem = StartTls(); !problem.empty())
      LogErrorLine("SIP: TLS stays off: " + problem);
    else
      tlsOn_ = true;
  }
  if (config_.webSocketPort != 0) {
    try {
      webSockets_ =
          std::make_unique<TSipWebSocket>(config_.address, config_.webSocketPort, config_.address, config_.port,
                                          [this](const std::string& source) { OnBrowserGone(source); });
    } catch (const std::runtime_error& refused) {
      return refused.what();
    }
  }
  if (config_.secureWebSocketPort != 0) {
    if (const std::string problem = StartSecureWebSocket(); !problem.empty())
      LogErrorLine("SIP: the secure WebSocket stays off: " + problem);
  }
  // Ours first: it answers registrations and refuses what is too big before sessions see it.
  if (const int error = sip_listen(
          &listener_, sip_, true,
          [](const sip_msg* msg, void* self) { return static_cast<TSipPort*>(self)->OnRequest(msg); }, this);
      error != 0)
    return std::string("SIP: cannot take requests: ") + std::strerror(error);
  if (const int error = sipsess_listen(
          &sessions_, sip_, 4096, [](const sip_msg* msg, void* self) { static_cast<TSipPort*>(self)->OnInvite(msg); },
          this);
      error != 0)
    return std::string("SIP: cannot take calls: ") + std::strerror(error);
  if (const int error = fd_listen(
          wake_, FD_READ, [](int, void* self) { static_cast<TSipPort*>(self)->DrainQueue(); }, this);
      error != 0)
    return std::string("SIP: cannot wait for the exchange: ") + std::strerror(error);
  ProbeOwnSocket();
  RestoreRegistrations();
  EndEarlierRunsCalls();
  if (!config_.trunk.address.empty() && !config_.trunk.user.empty()) {
    const TSipTrunk& trunk = config_.trunk;
    const std::string registrar = "sip:" + trunk.address + ":" + std::to_string(trunk.port) + TrunkTransportParameter();
    const std::string aor = "sip:" + trunk.user + "@" + trunk.address;
    const int failed = sipreg_register(
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
    // A registrar the stack cannot read is a setting to fix; a first REGISTER that cannot go out (no route
    // yet) is said, and the calls from and to the trunk work without it.
    if (failed == EINVAL) return "SIP: cannot register with the trunk at " + registrar + ": " + std::strerror(failed);
    if (failed != 0) LogErrorLine("SIP: cannot register with the trunk at " + registrar + ": " + std::strerror(failed));
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
  secureWebSockets_.reset();
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
