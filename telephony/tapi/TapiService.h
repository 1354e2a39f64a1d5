#pragma once

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "telephony/TelephonyProvider.h"
#include "telephony/tapi/Tapi.h"

namespace vantrel::platform {
class Event;
}

namespace vantrel::telephony {

// The Telephony API over one back-end: applications and their message queues and events, open lines, call
// handles with their privileges, LINE_REPLY bookkeeping, and the records applications read. What is common to
// every back-end lives here; the provider has the devices and the calls. Every member is thread-safe: one lock,
// shared with the provider, guards both.
class TTapiService final : private ITelephonyEvents {
 public:
  explicit TTapiService(ITelephonyProvider& provider);
  ~TTapiService() override;
  TTapiService(const TTapiService&) = delete;
  TTapiService& operator=(const TTapiService&) = delete;

  ITelephonyProvider& Provider() const { return provider_; }

  // Tests: while held, LINE_REPLY messages wait and are delivered in order on release.
  void HoldReplies(bool hold);

  LONG Initialize(HLINEAPP* app, DWORD* numDevs, DWORD* apiVersion, LINEINITIALIZEEXPARAMS* params, bool phone);
  LONG Shutdown(HLINEAPP app, bool phone);
  LONG GetMessage(HLINEAPP app, LINEMESSAGE* message, DWORD timeoutMs, bool phone);
  std::shared_ptr<platform::Event> EventForHandle(HANDLE handle) const;
  LONG NegotiateAPIVersion(HLINEAPP app, DWORD device, DWORD low, DWORD high, DWORD* version,
                           LINEEXTENSIONID* extension);
  LONG NegotiateExtVersion(HLINEAPP app, DWORD device, DWORD* version);
  LONG GetDevCaps(HLINEAPP app, DWORD device, DWORD apiVersion, DWORD extVersion, LINEDEVCAPS* caps);
  LONG GetAddressCaps(HLINEAPP app, DWORD device, DWORD address, DWORD apiVersion, DWORD extVersion,
                      LINEADDRESSCAPS* caps);
  LONG Open(HLINEAPP app, DWORD device, HLINE* line, DWORD apiVersion, DWORD extVersion, DWORD instance,
            DWORD privileges, DWORD mediaModes);
  LONG Close(HLINE line);
  LONG SetStatusMessages(HLINE line, DWORD lineStates, DWORD addressStates);
  LONG GetStatusMessages(HLINE line, DWORD* lineStates, DWORD* addressStates);
  LONG GetNewCalls(HLINE line, DWORD address, DWORD select, LINECALLLIST* list);
  LONG GetCallInfo(HCALL call, LINECALLINFO* info);
  LONG GetCallStatus(HCALL call, LINECALLSTATUS* status);
  LONG GetAddressStatus(HLINE line, DWORD address, LINEADDRESSSTATUS* status);
  LONG Answer(HCALL call);
  LONG Drop(HCALL call);
  LONG Hold(HCALL call);
  LONG Unhold(HCALL call);
  LONG DevSpecific(HCALL call, const std::string& params);
  LONG Dial(HCALL call, const char* digits);
  LONG MakeCall(HLINE line, HCALL* call, const char* destination, const LINECALLPARAMS* params);
  LONG BlindTransfer(HCALL call, const char* destination);
  LONG SetupTransfer(HCALL call, HCALL* consultCall);
  LONG CompleteTransfer(HCALL call, HCALL consultCall, HCALL* conferenceCall, DWORD mode);
  LONG Forward(HLINE line, bool allAddresses, DWORD address, const LINEFORWARDLIST* list, HCALL* consultCall);
  LONG DeallocateCall(HCALL call);
  LONG MonitorDigits(HCALL call, DWORD modes);
  LONG SetCallPrivilege(HCALL call, DWORD privilege);
  // The call's recording (the server's extension): empty when done, else why not. The owner's alone.
  std::string Record(HCALL call, const TRecordRequest& request);
  std::string Monitor(HCALL call, const TMonitorRequest& request);

 private:
  struct App {
    DWORD handle = 0;
    bool phone = false;
    HANDLE eventHandle = 0;
    std::shared_ptr<platform::Event> event;
    std::deque<LINEMESSAGE> messages;
    std::vector<HLINE> lines;
  };
  struct OpenLine {
    HLINE handle = 0;
    DWORD app = 0;
    DWORD device = 0;
    DWORD instance = 0;
    DWORD privileges = 0;
    DWORD lineStates = 0;
    DWORD addressStates = 0;
  };
  struct Holder {
    HCALL handle = 0;
    DWORD privilege = 0;
    DWORD digitModes = 0;
  };
  using Holders = std::map<HLINE, Holder>;
  // A call handle resolved: the back-end's call, the line holding it, the holding.
  struct HeldCall {
    const TCallData* call = nullptr;
    OpenLine* line = nullptr;
    Holder* holder = nullptr;
  };

  // ITelephonyEvents, with the lock held.
  void DeviceAdded(DWORD device) override;
  void DeviceRemoved(DWORD device) override;
  void CallAppeared(DWORD call) override;
  void CallStateChanged(DWORD call) override;
  void CallInfoChanged(DWORD call, DWORD infoStates) override;
  void CallRemoved(DWORD call) override;
  void DigitReceived(DWORD call, char digit) override;
  void AddressStateChanged(DWORD device, DWORD addressStates) override;
  bool IsHeld(DWORD call) const override;
  bool HasApplications() const override;

  // The answer of the act on the provider's call behind a call the line owns, or why there is none; takes the lock.
  std::string OnOwnedCall(HCALL call, const std::function<std::string(DWORD)>& act);

  // All below run with the lock held.
  App* FindApp(HLINEAPP app, bool phone);
  OpenLine* FindLine(HLINE line);
  LONG FindCall(HCALL call, HeldCall& found);
  LONG FindOwnedCall(HCALL call, HeldCall& found);
  LONG CheckDevice(HLINEAPP app, DWORD device) const;
  std::size_t Owners(DWORD call) const;
  void Post(App& app, const LINEMESSAGE& message);
  void PostToLine(OpenLine& line, DWORD hDevice, DWORD message, DWORD p1, DWORD p2, DWORD p3);
  void PostToHolders(DWORD call, DWORD message, DWORD p1, DWORD p2, DWORD p3);
  LONG Reply(const OpenLine& line, LONG result);
  // Runs operation(call, reply) as a request of the line that owns the call handle.
  template <typename Operation>
  LONG OwnerRequest(HCALL call, Operation operation);
  // Runs body(reply) as the line's request: calls it makes belong to that line.
  template <typename Body>
  LONG Request(HLINE line, Body body);
  void RemoveHolder(DWORD call, HLINE line);
  // The line lets go of its calls and leaves its application.
  void CloseLine(HLINE line);
  void FillCallInfo(const TCallData& call, const OpenLine& line, LINECALLINFO* info) const;

  ITelephonyProvider& provider_;
  mutable std::mutex mutex_;
  std::map<DWORD, std::unique_ptr<App>> apps_;
  std::map<HLINE, std::unique_ptr<OpenLine>> lines_;
  std::map<DWORD, Holders> holders_;                  // the back-end's call -> who holds it
  std::map<HCALL, std::pair<DWORD, HLINE>> handles_;  // call handle -> call, holder line
  std::map<HANDLE, std::shared_ptr<platform::Event>> events_;
  HLINE requester_ = 0;  // the line whose request is being served: it owns the calls that request makes
  bool holdReplies_ = false;
  std::deque<std::pair<DWORD, LINEMESSAGE>> heldReplies_;  // app, message
  DWORD nextId_ = 0x100000;
  LONG nextRequest_ = 1;
};

// The service the Telephony API functions of this process reach, put there by whoever owns it (the host, a test,
// a benchmark); nullptr takes it away. Only while no application is initialised. Without one, every function
// fails with LINEERR_OPERATIONUNAVAIL.
void ServeTelephonyApiWith(TTapiService* service);
TTapiService* TelephonyApiService();
// TTapiService::Record of the service this process serves; without one, why not.
std::string RecordCall(HCALL call, const TRecordRequest& request);
// TTapiService::Monitor likewise.
std::string MonitorCall(HCALL call, const TMonitorRequest& request);

}  // namespace vantrel::telephony
