// The exchange's legs as the SIP port follows them: phones rung, media updated, digits and silence.
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

bool IsHoldState(DWORD state) { return state == LINECALLSTATE_ONHOLD || state == LINECALLSTATE_ONHOLDPENDTRANSFER; }

}  // namespace

void TSipPort::LegChanged(const TLegChange& change) {
  Post([this, change] { OnLegChange(change); });
}

bool TSipPort::RingsPhoneFirst(const std::string& station) const {
  return IsSipStation(station) && registrar_.Registered(station);
}

bool TSipPort::Mixes(const std::vector<DWORD>& legs) const {
  return std::any_of(legs.begin(), legs.end(), [&](DWORD leg) { return relay_->HasPort(leg); });
}

std::string TSipPort::Record(DWORD leg, DWORD peer, const TRecordRequest& request) {
  std::string refused = recordings_->Record(leg, peer, request);
  // A recording that ends takes the legs out of its room: a supervisor listening in brings them back.
  if (refused.empty() && request.action == TRecordRequest::TAction::Stop)
    Post([this, leg, peer] { monitors_->Follow(leg, peer); });
  return refused;
}

void TSipPort::OnLegChange(const TLegChange& change) {
  if (change.takesMediaOf != 0) TakeMedia(change.takesMediaOf, change.leg);
  DWORD previousRoom = 0;
  if (auto previous = legs_.find(change.leg); previous != legs_.end()) previousRoom = previous->second.room;
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
  // A recording is of the talk: it ends when the leg's call does, not when the exchange lets the leg go.
  if (over) recordings_->Gone(change.leg);
  // A supervisor's leg joins the call it listens in on once answered, and leaves it when over.
  if (over) {
    monitors_->Gone(change.leg);
  } else if (change.monitors != 0 && state == LINECALLSTATE_CONNECTED) {
    auto monitored = legs_.find(change.monitors);
    monitors_->Listen(change.leg, change.monitors, monitored == legs_.end() ? 0 : monitored->second.peer,
                      change.monitorMode);
  }
  if (change.gone) relay_->Close(change.leg);
  // A conference's parties are mixed in its room; leaving it, a party is forwarded to its partner again.
  const TMediaMixer::TSide side = change.farEnd ? TMediaMixer::TSide::Outside : TMediaMixer::TSide::Station;
  if (!change.gone && change.room != 0) {
    relay_->Join(change.leg, change.room, side);
  } else if (!change.gone && previousRoom != 0 && relay_->RoomOf(change.leg) == previousRoom) {
    relay_->Join(change.leg, 0, side);
  }
  UpdateMedia(change.leg);
  if (change.peer != 0) UpdateMedia(change.peer);
}

void TSipPort::TakeMedia(DWORD from, DWORD to) {
  auto calls = callsByLeg_.find(from);
  if (calls == callsByLeg_.end() || !relay_->Rename(from, to)) return;
  std::vector<TSipCall*> moved = std::move(calls->second);
  callsByLeg_.erase(calls);
  for (TSipCall* call : moved) call->MoveTo(to);
  std::vector<TSipCall*>& now = callsByLeg_[to];
  now.insert(now.end(), moved.begin(), moved.end());
  LogFormat("SIP: leg %d's phone talks on leg %d now", {static_cast<int>(from), static_cast<int>(to)});
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
      std::string route = WebSocketRoute(contact);
      if (!route.empty()) made->SetPhoneSource(contact.source);
      if (route.empty()) route = TlsRoute(contact);
      if (!route.empty() && route.find(";transport=tls") != std::string::npos) made->SetSecure();
      if (made->Invite(contact.uri, name.empty() ? from : name, OurUri(from), route)) Add(std::move(made));
    }
  } catch (const std::runtime_error& full) {
    LogFormat("SIP: station %s's phones not rung: %s", {change.number, std::string(full.what())});
  }
}

void TSipPort::UpdateMedia(DWORD leg) {
  auto found = legs_.find(leg);
  if (found == legs_.end()) return;
  const DWORD peer = found->second.peer;
  auto peerFound = legs_.find(peer);
  relay_->Link(leg, peerFound == legs_.end() ? 0 : peer);
  recordings_->Linked(leg, peerFound == legs_.end() ? 0 : peer);
  monitors_->Follow(leg, peerFound == legs_.end() ? 0 : peer);
  // A party whose partner holds it hears the hold sound: an outside caller held by an operator or waiting in
  // a queue at a routing line.
  relay_->PlayHoldSound(leg, peerFound != legs_.end() && IsHoldState(peerFound->second.state));
  relay_->PlayPrompt(leg, found->second.prompt);
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

}  // namespace vantrel::telephony
