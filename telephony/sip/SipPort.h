#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "telephony/ExchangePorts.h"
#include "telephony/sip/MediaRelay.h"
#include "telephony/sip/SipCall.h"
#include "telephony/sip/SipCallerNames.h"
#include "telephony/sip/SipConfig.h"
#include "telephony/sip/SipDigest.h"
#include "telephony/sip/SipGuard.h"
#include "telephony/sip/SipLegJournal.h"
#include "telephony/sip/SipMonitors.h"
#include "telephony/sip/SipRecordings.h"
#include "telephony/sip/SipRegistrar.h"
#include "telephony/sip/SipRegistrationStore.h"

struct sip;
struct sip_msg;
struct sipsess_sock;
struct sip_lsnr;
struct sipreg;
struct dnsc;

namespace vantrel::telephony {

class TSoftExchange;
class TSipWebSocket;

// The exchange's SIP port: phones registered for stations and a trunk for the outside world, their media
// anchored in the relay. A SIP call is one more way a leg of the exchange reaches a person; lines, routing and
// the call log above the exchange see the same as for a simulated one.
//
// All SIP work runs on the port's own thread (the SIP stack is single-threaded). The exchange tells it of
// every leg change with its lock held; the port only queues the change there. Lock order: the exchange's lock,
// then the port's queue lock (a leaf); the SIP thread holds neither while it calls into the exchange.
//
// By concern: SipPort.cpp the thread and the stack's set-up, SipPortRegistrations.cpp requests outside calls
// (REGISTER, OPTIONS, digests, strangers), SipPortInbound.cpp new calls from outside, SipPortTrunk.cpp the
// trunk, SipPortLegs.cpp the exchange's legs and the calls, SipPortRestart.cpp what outlives a run,
// SipPortNames.cpp callers' names; the SIP text helpers are SipText.h.
class TSipPort final : public IExchangePorts {
 public:
  struct TFigures {
    std::size_t registrations = 0;
    std::size_t sessions = 0;
    TMediaRelay::TCounts media;
  };

  // Listens (UDP and TCP) and attaches to the exchange; throws std::runtime_error when it cannot listen.
  TSipPort(TSoftExchange& exchange, TSipConfig config, const std::vector<std::string>& stations);
  ~TSipPort() override;
  TSipPort(const TSipPort&) = delete;
  TSipPort& operator=(const TSipPort&) = delete;

  void LegChanged(const TLegChange& change) override;
  bool RingsPhoneFirst(const std::string& station) const override;
  bool Mixes(const std::vector<DWORD>& legs) const override;
  std::string Record(DWORD leg, DWORD peer, const TRecordRequest& request) override;
  // Where recordings of calls go (SipRecordings.h); without it no call is recorded.
  void SetRecorder(std::shared_ptr<TCallRecorder> recorder) { recordings_->SetRecorder(std::move(recorder)); }
  TFigures Figures() const;
  // Where the display names of callers come from (the CRM); without it phones show numbers alone.
  void SetCallerNameLookup(TSipCallerNames::TLookup lookup) { callerNames_->SetLookup(std::move(lookup)); }

 private:
  friend class TSipCall;

  // Runs the work on the SIP thread.
  void Post(std::function<void()> work);
  void Run(std::promise<std::string>& started);
  std::string StartStack();
  // Sends the port an OPTIONS of its own, so the UDP socket is known (and reads whole datagrams) before any
  // stranger's datagram arrives.
  void ProbeOwnSocket();
  void StopStack();
  void DrainQueue();

  // Requests outside calls: REGISTER, OPTIONS, and what comes too big. True when answered.
  bool OnRequest(const sip_msg* msg);
  void OnRegister(const sip_msg* msg);
  // A new INVITE: from the trunk, or from a phone.
  void OnInvite(const sip_msg* msg);
  void InviteFromTrunk(const sip_msg* msg);
  void InviteFromPhone(const sip_msg* msg, const std::string& station);
  // The session for the leg the exchange made for the INVITE; when it cannot be had, the leg goes again.
  void AcceptNewCall(const sip_msg* msg, TSipCall::TKind kind, DWORD leg, const std::string& station);
  // Whether the request proves the user's password; else it has been answered (challenge or refusal).
  bool Authenticated(const sip_msg* msg, const std::string& who, const std::string& user, const std::string& password,
                     bool proxy);
  bool FromTrunk(const sip_msg* msg) const;
  void RefuseStranger(const sip_msg* msg, const char* why);
  // A request that failed to authenticate: counts towards its address's ban.
  void AuthenticationFailed(const sip_msg* msg);
  // Whether the trunk's INVITE may ring: not while too many of its calls are neither answered nor acknowledged
  // (ringing ones counted only where the trunk's source can be forged); one that rang long gives way.
  bool TrunkMayCall();
  // Ends the answered trunk calls whose ACK never came and whose caller never sent media (a forged INVITE).
  void EndUnconfirmedTrunkCalls();
  void OnTick();

  // What outlives a run (SipPortRestart.cpp): the registrations, and the dialogs of answered calls, whose
  // leftovers get their BYE at the next start.
  void RestoreRegistrations();
  void SaveRegistrations();
  void EndEarlierRunsCalls();
  // A BYE for a call the earlier run left: the call is over, so it gets 200 rather than 481. True when answered.
  bool AnswerEarlierRunsBye(const sip_msg* msg);

  // The caller's name for a phone about to ring (SipPortNames.cpp): true when the ringing waits for it (a
  // second at most); else *name is what is known, maybe nothing.
  bool AwaitCallerName(const TLegChange& change, const std::string& number, std::string* name);
  void OnCallerNamed(DWORD leg);
  void StopAwaitingNames();

  // Leg changes, on the SIP thread.
  void OnLegChange(const TLegChange& change);
  void RingPhones(const TLegChange& change, bool toDial);
  void CallTrunk(const TLegChange& change);
  void UpdateMedia(DWORD leg);
  // The phone calls and the media port of one leg go on as another's.
  void TakeMedia(DWORD from, DWORD to);
  void OnDigit(DWORD leg, char digit);
  void OnSilence(DWORD leg);

  TSipCall* Add(std::unique_ptr<TSipCall> call);
  // Forgets the call once the SIP stack is done with this turn (its handlers may still be on the stack).
  void Remove(TSipCall* call);
  std::vector<TSipCall*> CallsOf(DWORD leg);
  bool IsSipStation(const std::string& number) const { return config_.passwords.count(number) != 0; }
  std::string OurUri(const std::string& user) const;
  // The route to a phone registered over a WebSocket; empty for any other.
  std::string WebSocketRoute(const TSipRegistrar::TContact& contact) const;
  // ";transport=tcp" or ";transport=tls" for the trunk's URIs, nothing for UDP.
  std::string TrunkTransportParameter() const {
    return config_.trunk.transport == "TCP"   ? ";transport=tcp"
           : config_.trunk.transport == "TLS" ? ";transport=tls"
                                              : "";
  }
  const char* SrtpName() const {
    return config_.srtp == TSipConfig::TSrtp::Required ? "required"
           : config_.srtp == TSipConfig::TSrtp::Off    ? "off"
                                                       : "optional";
  }
  // Whether the INVITE's media keys suit its transport and the [SIP] Srtp setting; said in the log when not.
  bool OfferSecuritySuits(const sip_msg* msg) const;
  // The TLS listener (SipPortTls.cpp); what keeps it off, or nothing.
  std::string StartTls();
  // The secure WebSocket listener (SipPortTls.cpp); what keeps it off, or nothing.
  std::string StartSecureWebSocket();
  // The route to a phone registered over TLS; empty for any other.
  std::string TlsRoute(const TSipRegistrar::TContact& contact) const;
  // Whether the message came from a browser's phone (over a WebSocket).
  bool FromBrowser(const sip_msg* msg) const;
  // The address the guard counts the request against; empty for one it does not count (the gateway's browsers).
  std::string GuardedAddress(const sip_msg* msg) const;
  void OnBrowserGone(const std::string& source);
  // For the o= line of our descriptions: unique within this run, not guessable from the last.
  unsigned long NextSessionId() { return sessionIds_(); }

  TSoftExchange& exchange_;
  const TSipConfig config_;
  TSipDigest digest_;  // SIP thread only
  TSipGuard guard_;    // SIP thread only
  TSipRegistrar registrar_;
  std::unique_ptr<TMediaRelay> relay_;
  std::unique_ptr<TSipRecordings> recordings_;  // thread-safe; made with the relay
  std::unique_ptr<TSipMonitors> monitors_;      // SIP thread only; made with the relay
  // SIP thread only; empty when the configuration names no folder for them.
  std::unique_ptr<TSipRegistrationStore> registrationStore_;
  bool registrationsChanged_ = false;  // kept at the next tick: a burst of registrations is one write
  std::unique_ptr<TSipLegJournal> legJournal_;
  std::set<std::string> earlierRunsCallIds_;
  // Its thread posts here: stopped before the queue's descriptor closes.
  std::unique_ptr<TSipCallerNames> callerNames_ = std::make_unique<TSipCallerNames>();
  struct TAwaitedName {
    TSipRegistrar::TClock::time_point until;
    bool gaveUp = false;
  };
  std::map<DWORD, TAwaitedName> namesAwaited_;  // SIP thread only: the legs whose phones wait for a name

  std::mutex queueLock_;  // a leaf
  std::deque<std::function<void()>> queue_;
  int wake_ = -1;
  std::atomic<bool> stopping_{false};

  // SIP thread only.
  struct sip* sip_ = nullptr;
  struct dnsc* dnsc_ = nullptr;
  sip_lsnr* listener_ = nullptr;
  sipsess_sock* sessions_ = nullptr;
  sipreg* trunkRegistration_ = nullptr;
  std::unique_ptr<TSipWebSocket> webSockets_;
  std::unique_ptr<TSipWebSocket> secureWebSockets_;
  bool tlsOn_ = false;         // set before the port's start is told
  void* udpSocket_ = nullptr;  // the stack's UDP socket, known from the first datagram it passes up
  std::unordered_map<DWORD, TLegChange> legs_;
  std::unordered_map<TSipCall*, std::unique_ptr<TSipCall>> calls_;
  std::unordered_map<DWORD, std::vector<TSipCall*>> callsByLeg_;
  std::set<std::string> refusedSources_;
  std::atomic<std::size_t> sessionCount_{0};
  bool trunkRegistered_ = false;
  bool trunkRefusing_ = false;  // TrunkMayCall said no last time
  std::mt19937_64 sessionIds_{std::random_device()()};

  std::thread thread_;
};

}  // namespace vantrel::telephony
