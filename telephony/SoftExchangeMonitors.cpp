// Supervisors listening in: the exchange rings the supervisor's station with a call of its own, tied to the
// monitored station's leg; the ports mix its media into the monitored call. The monitored parties see nothing.
#include <vector>

#include "SoftExchange.h"
#include "support/VantrelCommonRoutines.h"

namespace vantrel::telephony {

std::string TSoftExchange::Monitor(DWORD call, const TMonitorRequest& request) {
  Leg* leg = FindLeg(call);
  if (leg == nullptr || leg->IsFarEnd()) return "no such call";
  Leg* listener = FindLeg(leg->monitoredBy);
  if (request.action == TMonitorRequest::TAction::Ask) return listener != nullptr ? "" : "the call has no monitor";
  if (request.action == TMonitorRequest::TAction::Mode) {
    if (listener == nullptr) return "the call has no monitor";
    if (listener->monitorMode != request.mode) {
      LogFormat("Exchange: %s listens in on the call of %s: %s -> %s",
                {listener->number, leg->number, MonitorModeName(listener->monitorMode), MonitorModeName(request.mode)});
      listener->monitorMode = request.mode;
      Publish(*listener);
    }
    return {};
  }
  if (listener != nullptr) return "the call has a monitor already (station " + listener->number + ")";
  if (leg->state == LINECALLSTATE_IDLE || leg->state == LINECALLSTATE_DISCONNECTED) return "the call is over";
  if (leg->state != LINECALLSTATE_CONNECTED && leg->state != LINECALLSTATE_ONHOLD &&
      leg->state != LINECALLSTATE_ONHOLDPENDTRANSFER)
    return "the call is not talking yet";
  if (leg->monitors != 0) return "the call is a monitor itself";
  // The parties whose media the supervisor would hear: the leg's partner, or its conference's parties.
  std::vector<DWORD> parties{leg->id};
  if (leg->peer != 0) parties.push_back(leg->peer);
  if (leg->conference != 0) {
    for (const auto& [id, other] : legs_) {
      if (other->conference == leg->conference) parties.push_back(id);
    }
  }
  if (ports_ == nullptr || !ports_->Mixes(parties)) return "the call has no media";
  DWORD device = 0;
  const TDeviceData* station = FindStation(request.supervisor, &device);
  if (station == nullptr) return "no station " + request.supervisor;
  for (DWORD party : parties) {
    const Leg* in = FindLeg(party);
    if (in != nullptr && in->device == static_cast<int>(device)) return "station " + request.supervisor + " is in the call";
  }
  const DWORD monitored = leg->id;
  Leg& made = NewLeg(static_cast<int>(device), request.supervisor);
  made.origin = LINECALLORIGIN_INTERNAL;
  made.caller = leg->number;
  made.called = request.supervisor;
  made.monitors = monitored;
  made.monitorMode = request.mode;
  leg->monitoredBy = made.id;
  LogFormat("Exchange: %s is rung to listen in on the call of %s (%s)",
            {request.supervisor, leg->number, MonitorModeName(request.mode)});
  Events().CallAppeared(made.id);
  SetState(made, LINECALLSTATE_OFFERING, LINEOFFERINGMODE_ACTIVE);
  ChangeInfo(made, LINECALLINFOSTATE_CALLERID | LINECALLINFOSTATE_CALLEDID | LINECALLINFOSTATE_ORIGIN |
                       LINECALLINFOSTATE_REASON);
  return {};
}

void TSoftExchange::EndMonitorOf(Leg& leg) {
  if (leg.monitors != 0) {
    // The supervisor hung up (or was never reached): the monitored call goes on as it was; its line hears that
    // the monitor is over.
    Leg* monitored = FindLeg(leg.monitors);
    leg.monitors = 0;
    if (monitored == nullptr || monitored->monitoredBy != leg.id) return;
    monitored->monitoredBy = 0;
    LogFormat("Exchange: %s no longer listens in on the call of %s", {leg.number, monitored->number});
    ChangeInfo(*monitored, LINECALLINFOSTATE_DEVSPECIFIC);
    return;
  }
  // The monitored call is over: so is the supervisor's call.
  Leg* listener = FindLeg(leg.monitoredBy);
  leg.monitoredBy = 0;
  if (listener == nullptr || listener->monitors != leg.id) return;
  listener->monitors = 0;
  LogFormat("Exchange: the call of %s is over; %s stops listening in", {leg.number, listener->number});
  if (listener->state == LINECALLSTATE_IDLE || listener->state == LINECALLSTATE_DISCONNECTED) return;
  SetState(*listener, LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_NORMAL);
  // A station no application controls hangs up by itself.
  if (!Events().IsHeld(listener->id)) {
    LogStateChange(*listener, LINECALLSTATE_IDLE);
    listener->state = LINECALLSTATE_IDLE;
    Publish(*listener);
    EraseIfUnused(listener->id);
  }
}

}  // namespace vantrel::telephony
