#include "SipMonitors.h"

#include "support/VantrelCommonRoutines.h"

namespace vantrel::telephony {

namespace {

TMediaMixer::TRole RoleOf(TMonitorMode mode) {
  switch (mode) {
    case TMonitorMode::Whisper:
      return TMediaMixer::TRole::Coach;
    case TMonitorMode::Barge:
      return TMediaMixer::TRole::Party;
    case TMonitorMode::Listen:
      break;
  }
  return TMediaMixer::TRole::Listener;
}

}  // namespace

void TSipMonitors::Listen(DWORD leg, DWORD monitored, DWORD peer, TMonitorMode mode) {
  const bool known = byLeg_.count(leg) != 0;
  TMonitor& monitor = byLeg_[leg];
  if (known && monitor.monitored == monitored && monitor.peer == peer && monitor.mode == mode &&
      relay_.RoomOf(leg) == monitor.room && monitor.room != 0)
    return;
  monitor.monitored = monitored;
  monitor.peer = peer;
  monitor.mode = mode;
  Place(leg, monitor);
  if (!known)
    LogFormat("SIP: leg %d listens in on leg %d in room %d (%s)", {static_cast<long>(leg), static_cast<long>(monitored),
                                                                    static_cast<long>(monitor.room),
                                                                    MonitorModeName(mode)});
}

void TSipMonitors::Follow(DWORD monitored, DWORD peer) {
  for (auto& [leg, monitor] : byLeg_) {
    if (monitor.monitored != monitored) continue;
    if (monitor.peer != peer && monitor.madeRoom && monitor.peer != 0 && relay_.RoomOf(monitor.peer) == monitor.room &&
        !recorded_(monitored))
      relay_.Join(monitor.peer, 0, TMediaMixer::TSide::Outside);
    monitor.peer = peer;
    Place(leg, monitor);
  }
}

void TSipMonitors::Gone(DWORD leg) {
  auto found = byLeg_.find(leg);
  if (found == byLeg_.end()) return;
  const TMonitor monitor = found->second;
  byLeg_.erase(found);
  Unplace(leg, monitor);
  LogFormat("SIP: leg %d no longer listens in on leg %d", {static_cast<long>(leg), static_cast<long>(monitor.monitored)});
}

void TSipMonitors::Place(DWORD leg, TMonitor& monitor) {
  // The call's own room when it has one (a conference, a recording); else one of the monitor's making, named
  // after the station's leg as a recording's would be, so that a recording started later shares it.
  DWORD room = relay_.RoomOf(monitor.monitored);
  if (room == 0 && monitor.peer != 0) room = relay_.RoomOf(monitor.peer);
  if (room == 0) {
    room = monitor.monitored;
    monitor.madeRoom = true;
  }
  if (room == monitor.monitored) {
    // A simulated party has no port and is silence in it.
    if (relay_.RoomOf(monitor.monitored) != room) relay_.Join(monitor.monitored, room, TMediaMixer::TSide::Station);
    if (monitor.peer != 0 && relay_.RoomOf(monitor.peer) != room)
      relay_.Join(monitor.peer, room, TMediaMixer::TSide::Outside);
  }
  monitor.room = room;
  relay_.Join(leg, room, TMediaMixer::TSide::Station, RoleOf(monitor.mode), monitor.monitored);
}

void TSipMonitors::Unplace(DWORD leg, const TMonitor& monitor) {
  relay_.Join(leg, 0, TMediaMixer::TSide::Station);
  // Back to forwarding, unless a recording keeps the room.
  if (!monitor.madeRoom || recorded_(monitor.monitored)) return;
  if (relay_.RoomOf(monitor.monitored) == monitor.room) relay_.Join(monitor.monitored, 0, TMediaMixer::TSide::Station);
  if (monitor.peer != 0 && relay_.RoomOf(monitor.peer) == monitor.room)
    relay_.Join(monitor.peer, 0, TMediaMixer::TSide::Outside);
}

}  // namespace vantrel::telephony
