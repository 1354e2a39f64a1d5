#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "telephony/MonitorRequest.h"
#include "telephony/RecordRequest.h"
#include "telephony/tapi/Tapi.h"

namespace vantrel::telephony {

// A leg of the exchange as a port sees it after a change.
struct TLegChange {
  DWORD leg = 0;
  bool farEnd = false;
  std::string number;                // the station's number, or the far end's
  std::string caller;                // who calls the leg (a ringing station, a far end being called)
  std::string presentedCaller;       // whom a ringing phone shows: the caller, or for a consultation call the
                                     // party it is for (the outside caller a routing line holds)
  std::string dialed;                // where a call waiting for its phone goes once the phone answers
  DWORD state = LINECALLSTATE_IDLE;  // a far end being called is OFFERING
  DWORD peer = 0;
  bool gone = false;
  bool waitsForPhone = false;
  DWORD room = 0;          // the conference (its call) whose parties the leg's media is mixed with; 0: none
  DWORD takesMediaOf = 0;  // a conference call that carries on the media of the station's leg it was made from
  // A supervisor's leg: the station's leg whose call it listens in on (0: none), and how.
  DWORD monitors = 0;
  TMonitorMode monitorMode = TMonitorMode::Listen;
  // Prompts to play to the leg's party once, now; a new one (another pointer) starts over. Null: none.
  std::shared_ptr<const std::vector<std::int16_t>> prompt;
};

// Connects legs to the outside world, as a PBX's channel drivers do: phones registered for stations, trunks.
// Told of every change with the exchange's lock held, so it only takes note there and acts on its own thread.
class IExchangePorts {
 public:
  virtual ~IExchangePorts() = default;
  virtual void LegChanged(const TLegChange& change) = 0;
  // Whether a call a program makes from the station rings the station's phone before it dials (click-to-dial).
  virtual bool RingsPhoneFirst(const std::string& station) const = 0;
  // Whether a conference of these legs can be bridged: at least one of them carries media through the port.
  virtual bool Mixes(const std::vector<DWORD>& legs) const {
    (void)legs;
    return false;
  }
  // Records the station's leg and whoever it talks to (peer, 0: nobody yet), left the peer, right the station:
  // empty when done, else why not. Ports without media record nothing.
  virtual std::string Record(DWORD leg, DWORD peer, const TRecordRequest& request) {
    (void)leg, (void)peer, (void)request;
    return "the call has no media";
  }
};

}  // namespace vantrel::telephony
