#include "SipCall.h"

extern "C" {
#include <re.h>
}

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <stdexcept>

#include "support/VantrelCommonRoutines.h"
#include "telephony/SoftExchange.h"
#include "telephony/sip/SipPort.h"
#include "telephony/sip/SipText.h"

namespace vantrel::telephony {

namespace {

constexpr int kEventPayload = 101;
constexpr const char* kAllow = "Allow: INVITE, ACK, BYE, CANCEL, OPTIONS, REFER, NOTIFY\r\n";


}  // namespace

const char* NameOf(TSipCall::TState state) {
  switch (state) {
    case TSipCall::TState::Inviting:
      return "Inviting";
    case TSipCall::TState::Early:
      return "Early";
    case TSipCall::TState::Answered:
      return "Answered";
    case TSipCall::TState::Ended:
      return "Ended";
  }
  return "?";
}

const char* NameOf(TSipCall::TKind kind) {
  switch (kind) {
    case TSipCall::TKind::RingsPhone:
      return "rings phone";
    case TSipCall::TKind::DialsForPhone:
      return "dials for phone";
    case TSipCall::TKind::PhoneCalls:
      return "phone calls";
    case TSipCall::TKind::TrunkCalls:
      return "trunk calls";
    case TSipCall::TKind::CallsTrunk:
      return "calls trunk";
  }
  return "?";
}

TSipCall::TSipCall(TSipPort& port, TKind kind, DWORD leg, std::string station)
    : port_(port), kind_(kind), leg_(leg), station_(std::move(station)) {
  sdpId_ = port_.NextSessionId();
  relayPort_ = port_.relay_->Open(leg_);
}

TSipCall::~TSipCall() {
  mem_deref(session_);  // a BYE or CANCEL when the session lasted
  Unjournal();
}

void TSipCall::Journal(const sip_msg* confirming) {
  if (port_.legJournal_ == nullptr || confirming == nullptr) return;
  if (IsOutgoing()) {
    dialog_ = DialogOfAnswerToOurInvite(confirming);
  } else if (confirming->req) {
    dialog_.localTag = Text(confirming->to.tag);  // the ACK carries the tag the stack gave our answer
  }
  if (session_ != nullptr) dialog_.cseq = std::max(dialog_.cseq, sip_dialog_lseq(sipsess_dialog(session_)));
  if (!dialog_.Complete()) return;
  port_.legJournal_->Opened(dialog_);
  journaled_ = true;
}

void TSipCall::Unjournal() {
  if (!journaled_ || port_.legJournal_ == nullptr) return;
  port_.legJournal_->Closed(dialog_.Key());
  journaled_ = false;
}

void TSipCall::Become(TState state) {
  if (state == state_) return;
  if (state == TState::Ended) Unjournal();
  if (port_.config_.logCalls) {
    LogFormat("SIP call %s of leg %d (%s): %s -> %s",
              {station_, static_cast<int>(leg_), NameOf(kind_), NameOf(state_), NameOf(state)});
  }
  state_ = state;
}

bool TSipCall::TakeMedia(const sip_msg* msg) {
  try {
    // A browser's phone speaks WebRTC: without its fingerprint and ICE credentials there is no media with it.
    const bool webRtc = !phoneSource_.empty();
    const std::string body = BodyOf(msg);
    std::optional<TWebRtcParty> secured;
    if (webRtc) secured = TWebRtcParty::Parse(body);
    TSdpMedia media = TSdpMedia::Parse(webRtc ? TWebRtcParty::AsPlain(body) : body);
    const int law = media.ChosenLaw();
    if (law < 0) return false;
    const TSipConfig& config = port_.config_;
    const std::optional<TSdesCrypto> theirs =
        webRtc ? std::nullopt
               : AgreedSdes(media.profile, media.crypto, secure_, config.srtp == TSipConfig::TSrtp::Off,
                            config.srtp == TSipConfig::TSrtp::Required);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    ::inet_pton(AF_INET, media.address.c_str(), &address.sin_addr);
    address.sin_port = htons(static_cast<std::uint16_t>(media.port));
    party_ = std::move(media);
    law_ = law;
    partyHolds_ = party_.Holds();
    sockaddr_in signalling{};
    if (msg->src.u.sa.sa_family == AF_INET) signalling = msg->src.u.in;
    if (theirs) {
      // Our key stays while the party's does and SRTP goes on (fresh streams under an old key would repeat its
      // key stream); its tag follows the line the party chose.
      if (!ourKey_ || (theirKey_ && (!srtp_ || *theirKey_ != theirs->master)))
        ourKey_ = TSdesCrypto::Fresh(theirs->tag);
      ourKey_->tag = theirs->tag;
      theirKey_ = theirs->master;
      port_.relay_->SetSrtp(leg_, &ourKey_->master, &theirs->master);
    } else {
      port_.relay_->SetSrtp(leg_, nullptr, nullptr);
    }
    srtp_ = theirs.has_value();
    profile_ = party_.profile;
    port_.relay_->SetParty(leg_, address, signalling, law_, party_.eventPayload, partyHolds_);
    if (secured) port_.relay_->SetWebRtcParty(leg_, *secured);
    return true;
  } catch (const std::invalid_argument& refused) {
    LogFormat(phoneSource_.empty() ? "SIP call %s of leg %d: the description refused: %s"
                                   : "SIP call %s of leg %d: the browser's description refused: %s",
              {station_, static_cast<int>(leg_), std::string(refused.what())});
    return false;
  } catch (const std::runtime_error& failed) {
    LogFormat("SIP call %s of leg %d: no SRTP: %s", {station_, static_cast<int>(leg_), std::string(failed.what())});
    return false;
  }
}

mbuf* TSipCall::OurDescription(const std::string& direction) {
  // Offering, both laws; answering, the party's.
  const std::vector<int> laws = law_ < 0 ? std::vector<int>{0, 8} : std::vector<int>{law_};
  const int events = law_ < 0 || party_.eventPayload >= 0 ? (law_ < 0 ? kEventPayload : party_.eventPayload) : -1;
  // Over TLS our offer carries a key (the profile says whether it must be taken); an answer carries one when the
  // party's offer was taken as SRTP.
  std::string profile = "RTP/AVP", keys;
  const TSipConfig::TSrtp srtp = port_.config_.srtp;
  try {
    if (secure_ && phoneSource_.empty() && law_ < 0 && srtp != TSipConfig::TSrtp::Off) {
      if (!ourKey_) ourKey_ = TSdesCrypto::Fresh(1);
      keys = ourKey_->Line();
      if (srtp == TSipConfig::TSrtp::Required) profile = "RTP/SAVP";
    } else if (srtp_ && ourKey_) {
      keys = ourKey_->Line();
      profile = profile_;
    }
  } catch (const std::runtime_error&) {
    return nullptr;
  }
  std::string text = TSdpMedia::Make(port_.relay_->Address(), relayPort_, laws, events, direction, sdpId_,
                                     ++sdpVersion_, profile, keys);
  if (!phoneSource_.empty()) text = WebRtcDescription(text, port_.relay_->WebRtcAttributes(leg_, law_ < 0));
  mbuf* description = mbuf_alloc(text.size());
  if (description == nullptr) return nullptr;
  mbuf_write_str(description, text.c_str());
  description->pos = 0;
  return description;
}

bool TSipCall::Accept(const sip_msg* msg) {
  if (!TakeMedia(msg)) {
    const bool hasBody = !BodyOf(msg).empty();
    sip_reply(port_.sip_, msg, hasBody ? 488 : 488, "Not Acceptable Here");
    return false;
  }
  // The stack wants a provisional answer with the session: a trunk's caller rings the station already, a phone's
  // call is under way until its destination rings.
  const bool rings = kind_ == TKind::TrunkCalls;
  const int error =
      sipsess_accept(&session_, port_.sessions_, msg, rings ? 180 : 183, rings ? "Ringing" : "Session Progress",
                     "vantrel", "application/sdp", nullptr, nullptr, nullptr, false, OfferHandler, AnswerHandler,
                     EstablishedHandler, nullptr, ReferHandler, CloseHandler, this, "%s", kAllow);
  if (error != 0) {
    sip_reply(port_.sip_, msg, 500, "Server Internal Error");
    return false;
  }
  dialog_ = DialogOfIncomingInvite(msg);
  if (port_.config_.logCalls)
    LogFormat("SIP call %s of leg %d (%s): Inviting", {station_, static_cast<int>(leg_), NameOf(kind_)});
  if (rings) Become(TState::Early);
  return true;
}

bool TSipCall::Invite(const std::string& toUri, const std::string& fromName, const std::string& fromUri,
                      const std::string& route) {
  mbuf* offer = OurDescription("sendrecv");
  if (offer == nullptr) return false;
  const bool trunk = kind_ == TKind::CallsTrunk && !port_.config_.trunk.user.empty();
  const char* routes[] = {route.c_str()};
  const int error = sipsess_connect(&session_, port_.sessions_, toUri.c_str(), fromName.c_str(), fromUri.c_str(),
                                    "vantrel", route.empty() ? nullptr : routes, route.empty() ? 0 : 1,
                                    "application/sdp", offer, trunk ? AuthHandler : nullptr,
                                    this, false, OfferHandler, AnswerHandler, ProgressHandler, EstablishedHandler,
                                    nullptr, ReferHandler, CloseHandler, this, "%s", kAllow);
  mem_deref(offer);
  if (error != 0) {
    LogFormat("SIP: cannot call %s: %s", {toUri, std::string(std::strerror(error))});
    return false;
  }
  if (port_.config_.logCalls)
    LogFormat("SIP call %s of leg %d (%s): Inviting", {station_, static_cast<int>(leg_), NameOf(kind_)});
  return true;
}

void TSipCall::Ringing() {
  if (state_ != TState::Inviting || session_ == nullptr) return;
  sipsess_progress(session_, 180, "Ringing", nullptr, "%s", kAllow);
  Become(TState::Early);
}

void TSipCall::Answer() {
  if (state_ == TState::Answered || state_ == TState::Ended || session_ == nullptr) return;
  mbuf* answer = OurDescription(partyHolds_ ? (party_.direction == "sendonly" ? "recvonly" : "inactive") : "sendrecv");
  sipsess_answer(session_, 200, "OK", answer, "%s", kAllow);
  mem_deref(answer);
  answeredAt_ = std::chrono::steady_clock::now();
  Become(TState::Answered);
}

void TSipCall::Reject(std::uint16_t code, const char* reason) {
  if (state_ == TState::Answered || state_ == TState::Ended || session_ == nullptr) return;
  sipsess_reject(session_, code, reason, "%s", kAllow);
  session_ = static_cast<sipsess*>(mem_deref(session_));
  Become(TState::Ended);
  port_.Remove(this);
}

void TSipCall::End() {
  if (state_ == TState::Ended) return;
  if (!IsOutgoing() && state_ != TState::Answered && session_ != nullptr) {
    sipsess_reject(session_, 480, "Temporarily Unavailable", "%s", kAllow);
  }
  // Releasing the session sends BYE, or CANCEL for our INVITE that still rings.
  session_ = static_cast<sipsess*>(mem_deref(session_));
  Become(TState::Ended);
  port_.Remove(this);
}

int TSipCall::OfferHandler(mbuf** description, const sip_msg* msg, void* self) {
  auto& call = *static_cast<TSipCall*>(self);
  const bool held = call.partyHolds_;
  if (!call.TakeMedia(msg)) return EPROTO;  // the stack answers 488
  if (call.IsStationSide() && held != call.partyHolds_) {
    try {
      call.port_.exchange_.PhoneHolds(call.leg_, call.partyHolds_);
    } catch (const std::exception&) {
    }
  }
  *description = call.OurDescription(call.partyHolds_ ? (call.party_.direction == "sendonly" ? "recvonly" : "inactive")
                                                      : "sendrecv");
  return *description == nullptr ? ENOMEM : 0;
}

int TSipCall::AnswerHandler(const sip_msg* msg, void* self) {
  auto& call = *static_cast<TSipCall*>(self);
  if (!call.TakeMedia(msg)) {
    LogFormat("SIP call %s of leg %d: the answer offers no G.711; hanging up",
              {call.station_, static_cast<int>(call.leg_)});
    call.port_.Post([port = &call.port_, leg = call.leg_, target = &call] {
      for (TSipCall* known : port->CallsOf(leg)) {
        if (known == target) known->End();
      }
    });
    return EPROTO;
  }
  return 0;
}

void TSipCall::ProgressHandler(const sip_msg* msg, void* self) {
  auto& call = *static_cast<TSipCall*>(self);
  if (msg != nullptr && msg->scode >= 180) call.Become(TState::Early);
  // An early dialog of ours can be ended with BYE too (RFC 3261 15): a phone that rings when the server dies
  // stops ringing at the next start.
  if (msg != nullptr && msg->scode > 100 && msg->to.tag.l > 0 && !call.journaled_) call.Journal(msg);
}

void TSipCall::EstablishedHandler(const sip_msg* msg, void* self) {
  auto& call = *static_cast<TSipCall*>(self);
  call.Journal(msg);
  call.OnEstablished();
}

void TSipCall::OnEstablished() {
  if (!IsOutgoing()) {  // our 200 was acknowledged: answered already
    confirmed_ = true;
    return;
  }
  Become(TState::Answered);
  TSoftExchange& exchange = port_.exchange_;
  if (kind_ == TKind::CallsTrunk) {
    try {
      exchange.AnswerFarEnd(leg_);
    } catch (const std::exception&) {
      End();
    }
    return;
  }
  // The first phone to answer takes the call; the others stop ringing.
  if (!exchange.PhoneAnswered(leg_)) {
    End();
    return;
  }
  for (TSipCall* other : port_.CallsOf(leg_)) {
    if (other != this && other->state_ != TState::Answered) other->End();
  }
}

void TSipCall::CloseHandler(int error, const sip_msg* msg, void* self) {
  static_cast<TSipCall*>(self)->OnClosed(error, msg);
}

void TSipCall::OnClosed(int error, const sip_msg* msg) {
  const TState was = state_;
  const std::uint16_t status = msg != nullptr && !msg->req ? msg->scode : 0;
  // ECONNRESET is the stack's word for the party's BYE: an ordinary hang-up.
  if (port_.config_.logCalls && ((error != 0 && error != ECONNRESET) || status >= 300)) {
    LogFormat(
        "SIP call %s of leg %d: closed by %s",
        {station_, static_cast<int>(leg_), status != 0 ? std::to_string(status) : std::string(std::strerror(error))});
  }
  session_ = static_cast<sipsess*>(mem_deref(session_));
  Become(TState::Ended);
  port_.Remove(this);
  TSoftExchange& exchange = port_.exchange_;
  try {
    switch (kind_) {
      case TKind::RingsPhone:
        if (was == TState::Answered) exchange.PhoneHungUp(leg_);
        break;  // unanswered: the station rings on (other phones, no-answer handling)
      case TKind::DialsForPhone:
        if (was == TState::Answered || port_.CallsOf(leg_).empty()) exchange.PhoneHungUp(leg_);
        break;
      case TKind::PhoneCalls:
        exchange.PhoneHungUp(leg_);
        break;
      case TKind::TrunkCalls:
        exchange.HangUpFarEnd(leg_);
        break;
      case TKind::CallsTrunk:
        if (was != TState::Answered && (status == 486 || status == 600 || status == 603))
          exchange.BusyFarEnd(leg_);
        else
          exchange.HangUpFarEnd(leg_);
        break;
    }
  } catch (const std::exception&) {
    // The leg went already.
  }
}

void TSipCall::ReferHandler(struct sip* stack, const sip_msg* msg, void* self) {
  static_cast<TSipCall*>(self)->OnRefer(stack, msg);
}

void TSipCall::OnRefer(struct sip* stack, const sip_msg* msg) {
  const sip_hdr* referTo = sip_msg_hdr(msg, SIP_HDR_REFER_TO);
  const std::string destination = referTo == nullptr ? std::string() : UserOfUri(Text(referTo->val));
  if (!IsStationSide() || state_ != TState::Answered) {
    sip_reply(stack, msg, 603, "Decline");
    return;
  }
  if (destination.empty()) {
    sip_reply(stack, msg, 400, "Bad Refer-To");
    return;
  }
  try {
    port_.exchange_.PhoneTransfers(leg_, destination);
  } catch (const std::exception& refused) {
    LogFormat("SIP call %s of leg %d: transfer to %s refused: %s",
              {station_, static_cast<int>(leg_), destination, std::string(refused.what())});
    sip_reply(stack, msg, 603, "Decline");
    return;
  }
  sip_reply(stack, msg, 202, "Accepted");
  // The transfer is done at once: one NOTIFY tells the phone so, then the exchange has let the leg go.
  sip_drequestf(nullptr, stack, true, "NOTIFY", sipsess_dialog(session_), 0, nullptr, nullptr, nullptr, nullptr,
                "Event: refer\r\nSubscription-State: terminated;reason=noresource\r\n"
                "Content-Type: message/sipfrag;version=2.0\r\nContent-Length: 16\r\n\r\nSIP/2.0 200 OK\r\n");
}

int TSipCall::AuthHandler(char** user, char** password, const char*, void* self) {
  const TSipTrunk& trunk = static_cast<TSipCall*>(self)->port_.config_.trunk;
  int error = str_dup(user, trunk.user.c_str());
  if (error == 0) error = str_dup(password, trunk.password.c_str());
  return error;
}

}  // namespace vantrel::telephony
