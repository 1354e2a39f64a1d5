// New calls from outside the port: an INVITE from the trunk or from a phone becomes a leg of the exchange.
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

void TSipPort::InviteFromPhone(const sip_msg* msg, const std::string& station) {
  const std::string destination = Text(msg->uri.user);
  if (!IsDialable(destination)) {
    sip_reply(sip_, msg, 484, "Address Incomplete");
    return;
  }
  // The media first: a call the exchange placed is not taken back for a codec (nor, from a browser, for
  // media without DTLS-SRTP and ICE).
  if (FromBrowser(msg) ? !BrowserOfferSuits(msg) : !OfferSuits(msg) || !OfferSecuritySuits(msg)) {
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
  if (made && msg->tp == SIP_TRANSP_TLS) made->SetSecure();
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

bool TSipPort::OfferSecuritySuits(const sip_msg* msg) const {
  try {
    const TSdpMedia media = TSdpMedia::Parse(BodyOf(msg));
    AgreedSdes(media.profile, media.crypto, msg->tp == SIP_TRANSP_TLS, config_.srtp == TSipConfig::TSrtp::Off,
               config_.srtp == TSipConfig::TSrtp::Required);
    return true;
  } catch (const std::invalid_argument& refused) {
    LogFormat("SIP: an INVITE from %s over %s refused: %s",
              {SourceOf(msg), std::string(sip_transp_name(msg->tp)), std::string(refused.what())});
    return false;
  }
}

}  // namespace vantrel::telephony
