// The station's conference: made from a held call and its consultation (lineCompleteTransfer with conference),
// grown by further consultations (lineAddToConference), and what is left of it when members go.
#include "SoftExchange.h"
#include "support/VantrelCommonRoutines.h"

namespace vantrel::telephony {

namespace {
constexpr std::size_t kMaxConferenceParties = 8;  // the station counted
}  // namespace

void TSoftExchange::LeaveConference(Leg& leg) {
  const DWORD id = leg.conference;
  if (id == 0 || id == leg.id) return;
  leg.conference = 0;
  LogFormat("Exchange: %s leaves conference %d", {leg.number, static_cast<int>(id)});
  Leg* conference = FindLeg(id);
  if (leg.IsFarEnd() || conference == nullptr || conference->state != LINECALLSTATE_CONNECTED) return;
  if (leg.related == id) leg.related = 0;
  for (const auto& [otherId, other] : legs_) {
    if (other->conference == id && other->related == id && other.get() != conference) return;
  }
  // The last member call is gone: the station's side hears that the others hung up.
  SetState(*conference, LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_NORMAL);
}

void TSoftExchange::EndConference(Leg& conference) {
  const DWORD id = conference.id;
  std::vector<Leg*> members;
  for (const auto& [otherId, other] : legs_) {
    if (other->conference == id && other->related == id && other.get() != &conference) members.push_back(other.get());
  }
  std::vector<Leg*> parties;
  for (Leg* member : members) {
    Leg* party = FindLeg(member->peer);
    member->conference = 0;
    member->related = 0;
    Unlink(*member);
    if (party != nullptr && party->conference == id) {
      party->conference = 0;
      parties.push_back(party);
    }
  }
  conference.conference = 0;
  LogFormat("Exchange: conference %d ends; %d parties stay", {static_cast<int>(id), static_cast<int>(parties.size())});
  if (parties.size() == 2) {
    // The operator leaves the two others talking, as a transfer would.
    Link(*parties[0], *parties[1]);
    parties[0]->connected = parties[1]->number;
    parties[1]->connected = parties[0]->number;
    for (Leg* party : parties) {
      if (!party->IsFarEnd()) ChangeInfo(*party, LINECALLINFOSTATE_CONNECTEDID);
    }
  } else {
    for (Leg* party : parties) {
      if (party->IsFarEnd()) {
        GoIdle(*party);
      } else if (party->state != LINECALLSTATE_IDLE && party->state != LINECALLSTATE_DISCONNECTED) {
        SetState(*party, LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_NORMAL);
      }
    }
  }
  for (Leg* member : members) {
    SetState(*member, LINECALLSTATE_IDLE, 0);
    EraseIfUnused(member->id);
  }
  if (conference.state != LINECALLSTATE_IDLE) SetState(conference, LINECALLSTATE_IDLE, 0);
  EraseIfUnused(id);
}

LONG TSoftExchange::Conference(DWORD heldCall, DWORD consultCall, const TReply& reply, DWORD* conferenceCall) {
  *conferenceCall = 0;
  Leg* held = FindLeg(heldCall);
  if (held == nullptr) return LINEERR_INVALCALLHANDLE;
  Leg* consult = FindLeg(consultCall);
  if (consult == nullptr || consult->device != held->device) return LINEERR_INVALCONSULTCALLHANDLE;
  if (held->state != LINECALLSTATE_ONHOLDPENDTRANSFER && held->state != LINECALLSTATE_ONHOLD) {
    return LINEERR_INVALCALLSTATE;
  }
  if (consult->state != LINECALLSTATE_CONNECTED) return LINEERR_INVALCALLSTATE;
  Leg* heldParty = FindLeg(held->peer);
  Leg* consultParty = FindLeg(consult->peer);
  if (held->conference == held->id) {
    // The station consulted from its conference call: the consulted party joins that conference
    // (lineAddToConference), which went on meanwhile.
    if (consultParty == nullptr || consult->related != held->id) return LINEERR_INVALCALLSTATE;
    std::size_t members = 0;
    for (const auto& [otherId, other] : legs_) {
      if (other->conference == held->id && other->related == held->id && other.get() != held) ++members;
    }
    if (members + 1 >= kMaxConferenceParties) {
      LogFormat("Exchange: conference %d has %d parties already; %s is not added",
                {static_cast<int>(held->id), static_cast<int>(members + 1), consultParty->number});
      return LINEERR_RESOURCEUNAVAIL;
    }
    if (ports_ == nullptr || !ports_->Mixes({held->id, consultParty->id})) return LINEERR_OPERATIONUNAVAIL;
    *conferenceCall = held->id;
    const LONG request = reply(0);
    held->related = 0;
    SetState(*held, LINECALLSTATE_CONNECTED, LINECONNECTEDMODE_ACTIVE);
    consult->related = consult->conference = held->id;
    consultParty->conference = held->id;
    SetState(*consult, LINECALLSTATE_CONFERENCED, 0);
    Publish(*consultParty);
    LogFormat("Exchange: %s joins conference %d (%d parties)",
              {consultParty->number, static_cast<int>(held->id), static_cast<int>(members + 2)});
    return request;
  }
  if (heldParty == nullptr || consultParty == nullptr) return LINEERR_INVALCALLSTATE;
  // Simulated parties have no media to mix: without a port that bridges one of them there is no conference.
  if (ports_ == nullptr || !ports_->Mixes({held->id, heldParty->id, consultParty->id})) {
    return LINEERR_OPERATIONUNAVAIL;
  }
  Leg& conference = NewLeg(held->device, held->number);
  conference.origin = held->origin;
  conference.caller = held->number;
  conference.conference = conference.id;
  Events().CallAppeared(conference.id);
  *conferenceCall = conference.id;
  const LONG request = reply(0);
  // The station's phone talked on the held call; it talks in the conference now.
  conference.mediaFrom = held->id;
  SetState(conference, LINECALLSTATE_CONNECTED, LINECONNECTEDMODE_ACTIVE);
  conference.mediaFrom = 0;
  for (Leg* member : {held, consult}) {
    member->related = conference.id;
    member->conference = conference.id;
  }
  heldParty->conference = consultParty->conference = conference.id;
  SetState(*held, LINECALLSTATE_CONFERENCED, 0);
  SetState(*consult, LINECALLSTATE_CONFERENCED, 0);
  Publish(*heldParty);
  Publish(*consultParty);
  LogFormat("Exchange: %s, %s and %s talk in conference %d",
            {heldParty->number, held->number, consultParty->number, static_cast<int>(conference.id)});
  return request;
}

}  // namespace vantrel::telephony
