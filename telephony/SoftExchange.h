#pragma once

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "telephony/tapi/Tapi.h"

namespace vantrel::platform {
class Event;
}

namespace vantrel::telephony {

struct TStationConfig {
  std::string number;
  std::string name;
};

struct TExchangeConfig {
  std::vector<TStationConfig> stations;
  int trunks = 8;  // outside parties at the same time
};

// One party as the control interface shows it: a station's call or a far end on a trunk.
struct TPartyStatus {
  DWORD id = 0;
  bool outside = false;
  std::string number;      // the party's own number
  std::string peerNumber;  // whom it talks to, rings or is rung by; empty when alone
  std::string state;       // the call state's name ("RINGING" for a far end that is being called)
};

// The software exchange behind the Telephony API of this process: stations (the line devices, one address
// each), far ends reached through trunks, and the calls between them with the TAPI call states. The TAPI
// functions enter through the Tapi* members; tests and the control socket drive the far ends.
// Every member is thread-safe. Messages go to the applications' queues and set their events.
class TSoftExchange {
 public:
  // The process's own exchange, made with the default stations at first use.
  static TSoftExchange& Instance();
  // An exchange of its own, with the default stations (a test that must not share the process's).
  TSoftExchange();
  ~TSoftExchange();
  TSoftExchange(const TSoftExchange&) = delete;
  TSoftExchange& operator=(const TSoftExchange&) = delete;

  // A few stations (101 to 104) and 8 trunks.
  static TExchangeConfig DefaultConfig();
  // "Exchange.ini" of the folder ([Exchange] Trunks=, [Stations] number=name), else the default.
  static TExchangeConfig LoadConfig(const std::string& iniFolder);
  // Replaces the stations and ends every call; refused while an application is initialised.
  void Configure(const TExchangeConfig& config);
  // A new station, announced with LINE_CREATE; its device identifier.
  DWORD AddStation(const TStationConfig& station);
  // Removes the station (LINE_CLOSE to its openers, LINE_REMOVE to every application, its calls ended).
  void RemoveStation(const std::string& number);

  // The far-end side. Each throws std::invalid_argument with a message for a person when it cannot be done.
  // An outside caller rings the station; the result is the far end's identifier, or 0 when the station
  // turned the call away at once (do not disturb).
  DWORD CallStation(const std::string& stationNumber, const std::string& callerNumber);
  void AnswerFarEnd(DWORD farEnd);  // a far end that a station calls picks up
  void BusyFarEnd(DWORD farEnd);    // ... or is busy
  void HangUpFarEnd(DWORD farEnd);
  void SendDigits(DWORD farEnd, const std::string& digits);
  // A person at a station's phone: picks up its ringing call, or hangs up its newest call.
  void PickUp(const std::string& stationNumber);
  void HangUpStation(const std::string& stationNumber);
  // The far end that a station's number is in a call with (the latest), or 0.
  DWORD FarEndOf(const std::string& stationNumber) const;
  std::vector<TPartyStatus> Status() const;

  // Tests: while held, LINE_REPLY messages wait and are delivered in order on release.
  void HoldReplies(bool hold);

  // The Telephony API.
  LONG TapiInitialize(HLINEAPP* app, DWORD* numDevs, DWORD* apiVersion, LINEINITIALIZEEXPARAMS* params, bool phone);
  LONG TapiShutdown(HLINEAPP app, bool phone);
  LONG TapiGetMessage(HLINEAPP app, LINEMESSAGE* message, DWORD timeoutMs, bool phone);
  std::shared_ptr<platform::Event> EventForHandle(HANDLE handle) const;
  LONG TapiNegotiateAPIVersion(HLINEAPP app, DWORD device, DWORD low, DWORD high, DWORD* version,
                               LINEEXTENSIONID* extension);
  LONG TapiNegotiateExtVersion(HLINEAPP app, DWORD device, DWORD apiVersion, DWORD low, DWORD high, DWORD* version);
  LONG TapiGetDevCaps(HLINEAPP app, DWORD device, DWORD apiVersion, DWORD extVersion, LINEDEVCAPS* caps);
  LONG TapiGetAddressCaps(HLINEAPP app, DWORD device, DWORD address, DWORD apiVersion, DWORD extVersion,
                          LINEADDRESSCAPS* caps);
  LONG TapiOpen(HLINEAPP app, DWORD device, HLINE* line, DWORD apiVersion, DWORD extVersion, DWORD instance,
                DWORD privileges, DWORD mediaModes);
  LONG TapiClose(HLINE line);
  LONG TapiSetStatusMessages(HLINE line, DWORD lineStates, DWORD addressStates);
  LONG TapiGetStatusMessages(HLINE line, DWORD* lineStates, DWORD* addressStates);
  LONG TapiGetNewCalls(HLINE line, DWORD address, DWORD select, LINECALLLIST* list);
  LONG TapiGetCallInfo(HCALL call, LINECALLINFO* info);
  LONG TapiGetCallStatus(HCALL call, LINECALLSTATUS* status);
  LONG TapiGetAddressStatus(HLINE line, DWORD address, LINEADDRESSSTATUS* status);
  LONG TapiAnswer(HCALL call);
  LONG TapiDrop(HCALL call);
  LONG TapiHold(HCALL call);
  LONG TapiUnhold(HCALL call);
  LONG TapiDial(HCALL call, const char* digits);
  LONG TapiMakeCall(HLINE line, HCALL* call, const char* destination, const LINECALLPARAMS* params);
  LONG TapiBlindTransfer(HCALL call, const char* destination);
  LONG TapiSetupTransfer(HCALL call, HCALL* consultCall);
  LONG TapiCompleteTransfer(HCALL call, HCALL consultCall, HCALL* conferenceCall, DWORD mode);
  LONG TapiForward(HLINE line, bool allAddresses, DWORD address, const LINEFORWARDLIST* list, HCALL* consultCall);
  LONG TapiDeallocateCall(HCALL call);
  LONG TapiMonitorDigits(HCALL call, DWORD modes);
  LONG TapiSetCallPrivilege(HCALL call, DWORD privilege);

 private:
  struct App;
  struct OpenLine;
  struct Leg;
  struct Holder {
    HCALL handle = 0;
    DWORD privilege = 0;
    DWORD digitModes = 0;
  };
  struct Station {
    TStationConfig config;
    bool removed = false;
    bool forwarded = false;
    std::string forwardTo;  // empty while forwarded: do not disturb
  };

  // All below run with mutex_ held.
  App* FindApp(HLINEAPP app, bool phone);
  OpenLine* FindLine(HLINE line);
  Leg* FindLeg(DWORD id);
  // The leg and holder behind a call handle, or the TAPI error for it.
  LONG FindCall(HCALL call, Leg*& leg, OpenLine*& line, Holder*& holder);
  LONG FindOwnedCall(HCALL call, Leg*& leg, OpenLine*& line);
  const Station* FindStation(const std::string& number, DWORD* device = nullptr) const;
  LONG CheckDevice(HLINEAPP app, DWORD device);

  void Post(App& app, const LINEMESSAGE& message);
  void PostToLine(OpenLine& line, DWORD hDevice, DWORD message, DWORD p1, DWORD p2, DWORD p3);
  void PostToAllApps(DWORD message, DWORD p1);
  LONG Reply(OpenLine& line, LONG result);

  Leg& NewLeg(int device, const std::string& number);
  // Makes the device's openers holders of the leg; the requester owns it without being told of it.
  void AnnounceLeg(Leg& leg, OpenLine* requester);
  void SetState(Leg& leg, DWORD state, DWORD mode);
  void ChangeInfo(Leg& leg, DWORD infoStates);
  void Link(Leg& a, Leg& b);
  void Unlink(Leg& leg);
  // The calling leg reaches the destination: a station rings, or a far end on a trunk. A forwarded call
  // keeps the number first called.
  void Route(Leg& from, const std::string& destination, DWORD reason, const std::string& redirecting, int hops = 0,
             const std::string& firstCalled = {});
  void Connect(Leg& answering);
  void GoIdle(Leg& leg);
  void EraseIfUnused(DWORD legId);
  void EndLegsOfDevice(int device);
  void RemoveHolder(Leg& leg, HLINE line);
  Leg* FarEnd(DWORD farEnd);
  void FillCallInfo(const Leg& leg, const OpenLine& line, LINECALLINFO* info) const;
  DWORD CallFeatures(const Leg& leg) const;
  std::string StationName(const std::string& number) const;
  static bool IsDialable(const std::string& address);

  mutable std::mutex mutex_;
  TExchangeConfig config_;
  std::vector<Station> stations_;  // the index is the device identifier
  std::map<DWORD, std::unique_ptr<App>> apps_;
  std::map<HLINE, std::unique_ptr<OpenLine>> lines_;
  std::map<DWORD, std::unique_ptr<Leg>> legs_;
  std::map<HCALL, std::pair<DWORD, HLINE>> handles_;  // call handle -> leg, holder line
  std::map<HANDLE, std::shared_ptr<platform::Event>> events_;
  bool holdReplies_ = false;
  std::deque<std::pair<DWORD, LINEMESSAGE>> heldReplies_;  // app, message
  DWORD nextId_ = 0x10000;
  LONG nextRequest_ = 1;
};

// The exchange the Telephony API functions of this process reach: the process's own unless another has been put
// in its place; nullptr puts the process's own back. Only while no application is initialised on either.
void ServeTelephonyApiWith(TSoftExchange* exchange);
TSoftExchange& TelephonyApiExchange();

}  // namespace vantrel::telephony
