#pragma once

#include <cerrno>
#include <chrono>
#include <optional>
#include <cstdint>
#include <string>

#include "telephony/sip/SdpMedia.h"
#include "telephony/sip/SipLegJournal.h"
#include "telephony/sip/Srtp.h"
#include "telephony/tapi/Tapi.h"

struct sipsess;
struct sip_msg;
struct mbuf;
struct sip;

namespace vantrel::telephony {

class TSipPort;

// One SIP session of a leg of the exchange, and what its events mean there. Forked ringing gives a leg
// several, one per phone. State machine, logged: Inviting -> Early -> Answered -> Ended (Early may be skipped,
// any state may end).
class TSipCall {
 public:
  enum class TKind {
    RingsPhone,     // the station rings: our INVITE to its phone
    DialsForPhone,  // a program dials from the station: its phone rings first
    PhoneCalls,     // the phone's INVITE: the station calls
    TrunkCalls,     // the trunk's INVITE: an outside caller
    CallsTrunk,     // our INVITE to the trunk: a station calls outside
  };
  enum class TState { Inviting, Early, Answered, Ended };

  TSipCall(TSipPort& port, TKind kind, DWORD leg, std::string station);
  ~TSipCall();
  TSipCall(const TSipCall&) = delete;
  TSipCall& operator=(const TSipCall&) = delete;

  TKind Kind() const { return kind_; }
  TState State() const { return state_; }
  // For an incoming INVITE: whether our answer was acknowledged, and when it was given.
  bool Confirmed() const { return confirmed_; }
  std::chrono::steady_clock::time_point AnsweredAt() const { return answeredAt_; }
  std::chrono::steady_clock::time_point MadeAt() const { return madeAt_; }
  DWORD Leg() const { return leg_; }
  // The call carries another leg's media from now on (a conference made from the leg); the port rekeys it.
  void MoveTo(DWORD leg) { leg_ = leg; }
  const std::string& Station() const { return station_; }
  bool IsStationSide() const {
    return kind_ == TKind::RingsPhone || kind_ == TKind::DialsForPhone || kind_ == TKind::PhoneCalls;
  }
  bool IsOutgoing() const {
    return kind_ == TKind::RingsPhone || kind_ == TKind::DialsForPhone || kind_ == TKind::CallsTrunk;
  }

  // An incoming INVITE: the session, with a provisional answer; false (and answered) when the offer does not suit.
  bool Accept(const sip_msg* msg);
  // Our INVITE, with an offer of both laws and telephone-events; false when it could not be sent.
  // `route`: the URI of a hop the INVITE goes by (a phone behind a WebSocket), or empty.
  bool Invite(const std::string& toUri, const std::string& fromName, const std::string& fromUri,
              const std::string& route = {});
  // For an incoming INVITE: it rings, it is answered (with our answer to its offer), it is refused.
  void Ringing();
  void Answer();
  void Reject(std::uint16_t code, const char* reason);
  // Hangs up: BYE when answered, CANCEL while our INVITE rings, else 480. The port forgets the call.
  void End();
  // A browser's phone: the source its messages come from (its media is WebRTC), and its going away with its
  // connection (as if it had hung up). Empty for any other phone.
  void SetPhoneSource(std::string source) { phoneSource_ = std::move(source); }
  const std::string& PhoneSource() const { return phoneSource_; }
  void PhoneGone() { OnClosed(ECONNRESET, nullptr); }
  // The call's signalling goes over TLS: its media may be SRTP, with keys in the descriptions (RFC 4568).
  void SetSecure() { secure_ = true; }

 private:
  static int OfferHandler(mbuf** description, const sip_msg* msg, void* self);
  static int AnswerHandler(const sip_msg* msg, void* self);
  static void ProgressHandler(const sip_msg* msg, void* self);
  static void EstablishedHandler(const sip_msg* msg, void* self);
  static void ReferHandler(struct sip* stack, const sip_msg* msg, void* self);
  static void CloseHandler(int error, const sip_msg* msg, void* self);
  static int AuthHandler(char** user, char** password, const char* realm, void* self);

  void Become(TState state);
  // The party's media from a description; false when it offers no G.711.
  bool TakeMedia(const sip_msg* msg);
  mbuf* OurDescription(const std::string& direction);
  void OnEstablished();
  void OnClosed(int error, const sip_msg* msg);
  void OnRefer(struct sip* stack, const sip_msg* msg);

  TSipPort& port_;
  const TKind kind_;
  DWORD leg_;
  const std::string station_;
  TState state_ = TState::Inviting;
  bool confirmed_ = false;
  std::chrono::steady_clock::time_point answeredAt_{};
  const std::chrono::steady_clock::time_point madeAt_ = std::chrono::steady_clock::now();
  sipsess* session_ = nullptr;
  int relayPort_ = 0;
  TSdpMedia party_;
  int law_ = -1;
  bool partyHolds_ = false;
  unsigned long sdpId_ = 0;
  unsigned sdpVersion_ = 0;
  // The dialog, kept in the port's journal from the answer until the call ends.
  TSipDialogRecord dialog_;
  bool journaled_ = false;
  std::string phoneSource_;
  bool secure_ = false;
  std::optional<TSdesCrypto> ourKey_;  // made for the first description that carries one
  std::optional<TSrtpMaster> theirKey_;
  bool srtp_ = false;                // the media agreed is SRTP
  std::string profile_ = "RTP/AVP";  // the party's, answered in kind
  void Journal(const sip_msg* confirming);
  void Unjournal();
};

const char* NameOf(TSipCall::TState state);
const char* NameOf(TSipCall::TKind kind);

}  // namespace vantrel::telephony
