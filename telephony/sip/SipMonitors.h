#pragma once

#include <functional>
#include <map>

#include "telephony/MonitorRequest.h"
#include "telephony/sip/MediaRelay.h"

namespace vantrel::telephony {

// The supervisors' legs of the SIP port listening in on calls: once the supervisor answers, its leg is mixed in
// the monitored call's room (a conference's, a recording's, or one made for it with the station's leg and its
// partner) as a listener, a coach of the station's side, or a party. The monitored legs' signalling is never
// touched. SIP thread only.
class TSipMonitors {
 public:
  // Whether the leg still belongs to a recording's room (then the room stays when the monitor goes).
  using TRecorded = std::function<bool(DWORD leg)>;

  TSipMonitors(TMediaRelay& relay, TRecorded recorded) : relay_(relay), recorded_(std::move(recorded)) {}

  // The supervisor's leg answered, or its mode changed: it joins the monitored leg's call (its partner: peer).
  void Listen(DWORD leg, DWORD monitored, DWORD peer, TMonitorMode mode);
  // The leg talks to the peer now (0: nobody), or its room changed under it: the monitors of its call follow.
  void Follow(DWORD monitored, DWORD peer);
  // The leg is over: as a supervisor's leg, it leaves the room (and a room made for it alone goes).
  void Gone(DWORD leg);

 private:
  struct TMonitor {
    DWORD monitored = 0;
    DWORD peer = 0;
    TMonitorMode mode = TMonitorMode::Listen;
    DWORD room = 0;
    bool madeRoom = false;  // the room was made for the monitor: the legs go back to forwarding after it
  };

  void Place(DWORD leg, TMonitor& monitor);
  void Unplace(DWORD leg, const TMonitor& monitor);

  TMediaRelay& relay_;
  const TRecorded recorded_;
  std::map<DWORD, TMonitor> byLeg_;  // by the supervisor's leg
};

}  // namespace vantrel::telephony
