#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "telephony/MonitorRequest.h"
#include "telephony/RecordRequest.h"
#include "telephony/tapi/Tapi.h"

namespace vantrel::telephony {

// A line device as a back-end has it: one address, its number.
struct TDeviceData {
  std::string number;
  std::string name;
  bool removed = false;    // its identifier stays taken
  bool forwarded = false;  // unconditionally; to forwardTo, or do-not-disturb when that is empty
  std::string forwardTo;
};

// A call on a device as the back-end knows it; the TAPI service encodes it into the records applications read.
struct TCallData {
  DWORD id = 0;
  int device = -1;  // negative: a party outside the devices, never shown to applications
  std::string number;
  DWORD state = LINECALLSTATE_IDLE;
  DWORD mode = 0;
  DWORD origin = LINECALLORIGIN_UNKNOWN;
  DWORD reason = LINECALLREASON_DIRECT;
  DWORD related = 0;  // consultation pair: the held call and its consultation call name each other
  std::string caller, called, connected, redirecting, redirection;
  std::string dialed;
  std::chrono::system_clock::time_point stateEntry = std::chrono::system_clock::now();
};

// What a back-end reports to the TAPI service. Called with the service lock held, from inside a request or from
// the back-end's own entry points (a far end, a phone); an implementation must not call back into the provider.
class ITelephonyEvents {
 public:
  virtual ~ITelephonyEvents() = default;
  virtual void DeviceAdded(DWORD device) = 0;
  // After the device's calls are gone; its open lines close.
  virtual void DeviceRemoved(DWORD device) = 0;
  // A new call on a device: the device's openers get it (the requesting line, if any, owns it).
  virtual void CallAppeared(DWORD call) = 0;
  virtual void CallStateChanged(DWORD call) = 0;
  virtual void CallInfoChanged(DWORD call, DWORD infoStates) = 0;
  // The back-end forgets a call some application may still hold a handle to.
  virtual void CallRemoved(DWORD call) = 0;
  virtual void DigitReceived(DWORD call, char digit) = 0;
  virtual void AddressStateChanged(DWORD device, DWORD addressStates) = 0;
  // Whether any application holds a handle to the call; a call nobody holds may be forgotten once idle.
  virtual bool IsHeld(DWORD call) const = 0;
  virtual bool HasApplications() const = 0;
};

// Answers the request being served with LINE_REPLY (result 0 or a LINEERR_) and gives its request identifier.
// A provider calls it once the request is accepted, before it changes anything the applications see.
using TReply = std::function<LONG(LONG result)>;

// A telephony back-end: its devices, its calls and what can be done with them. The TAPI service (applications,
// handles, privileges, message queues, records) talks to it through this interface only. Every member but
// Attach runs with the service lock held; the back-end's own threads take that lock (Lock()) before they
// change anything and report through the events.
class ITelephonyProvider {
 public:
  virtual ~ITelephonyProvider() = default;

  // The service this back-end reports to, and the lock they share. Once, before any application starts.
  void Attach(ITelephonyEvents& events, std::mutex& lock) {
    events_ = &events;
    lock_ = &lock;
  }
  bool Attached() const { return events_ != nullptr; }
  std::unique_lock<std::mutex> Lock() const { return std::unique_lock(*lock_); }

  // Shown in the devices' capabilities.
  virtual std::string ProviderName() const = 0;
  virtual DWORD DeviceCount() const = 0;
  virtual const TDeviceData& Device(DWORD device) const = 0;  // device < DeviceCount()
  virtual const TCallData* Call(DWORD call) const = 0;
  virtual std::vector<DWORD> CallsOn(DWORD device) const = 0;  // oldest first
  // The name a device's number has, empty for numbers outside the devices.
  virtual std::string NameOf(const std::string& number) const = 0;

  // Requests. Each returns a LINEERR_ when it is refused before anything changed, else what reply gave.
  // A new call on the device, dialing the destination when there is one; *call is its identifier.
  virtual LONG MakeCall(DWORD device, const std::string& destination, const TReply& reply, DWORD* call) = 0;
  virtual LONG Answer(DWORD call, const TReply& reply) = 0;
  virtual LONG Drop(DWORD call, const TReply& reply) = 0;
  virtual LONG Hold(DWORD call, const TReply& reply) = 0;
  virtual LONG Unhold(DWORD call, const TReply& reply) = 0;
  virtual LONG Dial(DWORD call, const std::string& digits, const TReply& reply) = 0;
  virtual LONG BlindTransfer(DWORD call, const std::string& destination, const TReply& reply) = 0;
  // Holds the call for transfer and makes the consultation call (*consultCall) on the same device.
  virtual LONG SetupTransfer(DWORD call, const TReply& reply, DWORD* consultCall) = 0;
  virtual LONG CompleteTransfer(DWORD held, DWORD consult, const TReply& reply) = 0;
  // Makes a conference of the held call's party, the device and the consultation's party: both calls go
  // CONFERENCED and *conferenceCall is the conference call. A back-end without a bridge for the calls refuses it.
  virtual LONG Conference(DWORD held, DWORD consult, const TReply& reply, DWORD* conferenceCall) {
    (void)held, (void)consult, (void)reply;
    *conferenceCall = 0;
    return LINEERR_OPERATIONUNAVAIL;
  }
  // forwarded false: forwarding off; destination empty with forwarded: do not disturb.
  virtual LONG Forward(DWORD device, bool forwarded, const std::string& destination, const TReply& reply) = 0;
  // No application holds the call any more.
  virtual void Released(DWORD call) = 0;
  // An operation of the back-end's own (lineDevSpecific), as text; a back-end without any refuses it.
  virtual LONG DevSpecific(DWORD call, const std::string& params, const TReply& reply) {
    return LINEERR_OPERATIONUNAVAIL;
  }
  // Records the call's media (see TRecordRequest): empty when done, else why not. A back-end without media
  // records nothing.
  virtual std::string Record(DWORD call, const TRecordRequest& request);
  // A supervisor's station listening in on the call (see TMonitorRequest): empty when done, else why not. A
  // back-end without media has nothing to listen to.
  virtual std::string Monitor(DWORD call, const TMonitorRequest& request);

 protected:
  // Before Attach, nothing listens: the events go nowhere.
  ITelephonyEvents& Events() const;

 private:
  ITelephonyEvents* events_ = nullptr;
  std::mutex ownLock_;  // until attached
  std::mutex* lock_ = &ownLock_;
};

}  // namespace vantrel::telephony
