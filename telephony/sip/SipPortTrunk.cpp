// The trunk: which INVITEs are its own, how many of its calls may wait unestablished, and the calls to it.
#include "telephony/sip/SipPort.h"

extern "C" {
#include <re.h>
}

#include <algorithm>
#include <stdexcept>

#include "support/VantrelCommonRoutines.h"
#include "telephony/SoftExchange.h"
#include "telephony/sip/SipCall.h"
#include "telephony/sip/SipText.h"

namespace vantrel::telephony {

namespace {

// An answered trunk call whose caller neither acknowledged (RFC 3261 §13.3.1.4 gives it 32 s) nor sent media
// within this was forged with the trunk's address: its line is freed.
constexpr auto kAckWait = std::chrono::seconds(6);
// Trunk calls not yet established that may be held at once past kSuspectAfter: answered ones silent and waiting
// for their ACK past three retransmissions of the answer, and, where the trunk's source alone vouches for it
// (UDP without InboundUser), ringing ones. The trunk's further INVITEs get 503 meanwhile, unless a ringing one has
// rung kDisplaceAfter: it gives way to the new call, so forged INVITEs that only ring hold a few lines for a while
// and never all of them.
constexpr std::size_t kMaxUnconfirmedTrunkCalls = 4;
constexpr auto kSuspectAfter = std::chrono::seconds(2);
constexpr auto kDisplaceAfter = std::chrono::seconds(10);

}  // namespace

bool TSipPort::FromTrunk(const sip_msg* msg) const {
  const TSipTrunk& trunk = config_.trunk;
  // A WebSocket carries browsers' phones through the web gateway, whatever address that has.
  if (FromBrowser(msg)) return false;
  if (trunk.address.empty() || IpOf(msg->src) != trunk.address) return false;
  // Over TLS only a trunk that speaks it: phones on the trunk's host reach the TLS port too.
  if (msg->tp == SIP_TRANSP_TLS) return trunk.transport == "TLS";
  return msg->tp != SIP_TRANSP_UDP || sa_port(&msg->src) == trunk.port;
}

void TSipPort::InviteFromTrunk(const sip_msg* msg) {
  const std::string called = Text(msg->uri.user);
  std::string caller = Text(msg->from.uri.user);
  if (!IsDialable(caller))
    caller = "0";  // anonymous or a name: the station sees no number
  else
    callerNames_->Find(caller, nullptr, {});  // its name, looked up while the call reaches a phone
  if (!OfferSuits(msg) || !OfferSecuritySuits(msg)) {
    sip_reply(sip_, msg, 488, "Not Acceptable Here");
    return;
  }
  DWORD farEnd = 0;
  try {
    farEnd = exchange_.CallStation(called, caller);
  } catch (const TAllTrunksBusy&) {
    sip_reply(sip_, msg, 503, "Service Unavailable");
    return;
  } catch (const std::invalid_argument&) {
    sip_reply(sip_, msg, 404, "Not Found");
    return;
  }
  if (farEnd == 0) {
    sip_reply(sip_, msg, 486, "Busy Here");  // do not disturb
    return;
  }
  AcceptNewCall(msg, TSipCall::TKind::TrunkCalls, farEnd, called);
}

bool TSipPort::TrunkMayCall() {
  const auto now = std::chrono::steady_clock::now();
  const bool spoofable = config_.trunk.transport == "UDP" && config_.trunk.inboundUser.empty();
  std::size_t waiting = 0;
  TSipCall* longestRinging = nullptr;
  for (const auto& [call, owned] : calls_) {
    if (call->Kind() != TSipCall::TKind::TrunkCalls) continue;
    if (call->State() == TSipCall::TState::Answered) {
      if (!call->Confirmed() && now - call->AnsweredAt() >= kSuspectAfter && !relay_->Heard(call->Leg())) ++waiting;
    } else if (spoofable && call->State() != TSipCall::TState::Ended && now - call->MadeAt() >= kSuspectAfter) {
      ++waiting;
      if (longestRinging == nullptr || call->MadeAt() < longestRinging->MadeAt()) longestRinging = call;
    }
  }
  if (waiting >= kMaxUnconfirmedTrunkCalls && longestRinging != nullptr &&
      now - longestRinging->MadeAt() >= kDisplaceAfter) {
    const DWORD leg = longestRinging->Leg();
    LogFormat(
        "SIP: the trunk's call of leg %d rang %d s unanswered; it gives way to the trunk's new call",
        {static_cast<int>(leg),
         static_cast<int>(std::chrono::duration_cast<std::chrono::seconds>(now - longestRinging->MadeAt()).count())});
    longestRinging->End();
    relay_->Close(leg);
    try {
      exchange_.HangUpFarEnd(leg);
    } catch (const std::exception&) {
      // The leg went already.
    }
    --waiting;
  }
  const bool may = waiting < kMaxUnconfirmedTrunkCalls;
  if (!may && !trunkRefusing_)
    LogFormat("SIP: %d trunk calls are neither answered nor acknowledged; the trunk's new calls get 503 until they end",
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

void TSipPort::CallTrunk(const TLegChange& change) {
  const TSipTrunk& trunk = config_.trunk;
  const std::string to =
      "sip:" + change.number + "@" + trunk.address + ":" + std::to_string(trunk.port) + TrunkTransportParameter();
  std::unique_ptr<TSipCall> made;
  try {
    made = std::make_unique<TSipCall>(*this, TSipCall::TKind::CallsTrunk, change.leg, change.caller);
  } catch (const std::runtime_error& full) {
    LogFormat("SIP: a call to %s not sent to the trunk: %s", {change.number, std::string(full.what())});
  }
  if (made && trunk.transport == "TLS") made->SetSecure();
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

}  // namespace vantrel::telephony
