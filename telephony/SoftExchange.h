#pragma once

#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "telephony/ExchangePorts.h"
#include "telephony/PromptPlayback.h"
#include "telephony/TelephonyProvider.h"
#include "telephony/tapi/Tapi.h"

namespace vantrel::telephony {

// Every trunk line carries a call: the far-end side's one refusal a caller may try again later.
class TAllTrunksBusy : public std::invalid_argument {
 public:
  TAllTrunksBusy() : std::invalid_argument("All trunks are busy") {}
};

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
  std::string hearing;     // what the server plays to it now ("welcome", "music"); empty when nothing
};

// The software exchange, a telephony back-end: stations (the line devices, one address each), far ends reached
// through trunks, and the calls between them with the TAPI call states. Tests and the control socket drive the
// far ends and the people at the stations. Every public member is thread-safe (the lock it shares with the
// TAPI service it is attached to).
class TSoftExchange final : public ITelephonyProvider {
 public:
  // With the default stations.
  TSoftExchange();
  ~TSoftExchange() override;
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
  // turned the call away at once (do not disturb); TAllTrunksBusy when no trunk line is free.
  DWORD CallStation(const std::string& stationNumber, const std::string& callerNumber);
  void AnswerFarEnd(DWORD farEnd);  // a far end that a station calls picks up
  void BusyFarEnd(DWORD farEnd);    // ... or is busy
  void HangUpFarEnd(DWORD farEnd);
  void SendDigits(DWORD farEnd, const std::string& digits);
  // A person at a station's phone: picks up its ringing call, or hangs up its newest call.
  void PickUp(const std::string& stationNumber);
  void HangUpStation(const std::string& stationNumber);
  // A phone at the station calls the destination (no program asked for it): the new call's identifier.
  DWORD PhoneCalls(const std::string& stationNumber, const std::string& destination);
  // The phone answered the station's call: a ringing call is picked up, a call a program made from the
  // station that waited for the phone dials now. False when the call is gone or in no such state.
  bool PhoneAnswered(DWORD call);
  // The phone hung up the station's call, or put it on hold or took it back.
  void PhoneHungUp(DWORD call);
  void PhoneHolds(DWORD call, bool hold);
  // The phone transfers the station's call to the destination (blind).
  void PhoneTransfers(DWORD call, const std::string& destination);
  // The ports that connect legs to phones and trunks; null detaches them. Never called back once detached.
  void SetPorts(IExchangePorts* ports);
  // The far end that a station's number is in a call with (the latest), or 0.
  DWORD FarEndOf(const std::string& stationNumber) const;
  std::vector<TPartyStatus> Status() const;
  // The prompts and music parties hear when a line asks (DevSpecific) or holds them; none: prompts are skipped.
  void SetPrompts(std::shared_ptr<const TPromptSet> prompts);

  // The provider, with the lock held.
  std::string ProviderName() const override;
  DWORD DeviceCount() const override;
  const TDeviceData& Device(DWORD device) const override;
  const TCallData* Call(DWORD call) const override;
  std::vector<DWORD> CallsOn(DWORD device) const override;
  std::string NameOf(const std::string& number) const override;
  LONG MakeCall(DWORD device, const std::string& destination, const TReply& reply, DWORD* call) override;
  LONG Answer(DWORD call, const TReply& reply) override;
  LONG Drop(DWORD call, const TReply& reply) override;
  LONG Hold(DWORD call, const TReply& reply) override;
  LONG Unhold(DWORD call, const TReply& reply) override;
  LONG Dial(DWORD call, const std::string& digits, const TReply& reply) override;
  LONG BlindTransfer(DWORD call, const std::string& destination, const TReply& reply) override;
  LONG SetupTransfer(DWORD call, const TReply& reply, DWORD* consultCall) override;
  LONG CompleteTransfer(DWORD held, DWORD consult, const TReply& reply) override;
  LONG Conference(DWORD held, DWORD consult, const TReply& reply, DWORD* conferenceCall) override;
  LONG Forward(DWORD device, bool forwarded, const std::string& destination, const TReply& reply) override;
  void Released(DWORD call) override;
  // "play" or "stop" prompts to the party the call talks to (TPromptPlayback).
  LONG DevSpecific(DWORD call, const std::string& params, const TReply& reply) override;
  std::string Record(DWORD call, const TRecordRequest& request) override;
  std::string Monitor(DWORD call, const TMonitorRequest& request) override;

 private:
  // A call leg: a station's call, or a far end (device < 0) that applications never see.
  struct Leg : TCallData {
    DWORD peer = 0;
    bool waitsForPhone = false;  // made by a program; dials once the station's phone answers
    TPromptPlayback playback;    // what a line plays to the leg's party; ends with a new partner
    DWORD conference = 0;        // the conference call the leg is a member or a party of (its own id for itself)
    DWORD mediaFrom = 0;         // a new conference call: the station's leg whose media it carries on
    DWORD monitors = 0;          // a supervisor's leg: the station's leg it listens in on
    DWORD monitoredBy = 0;       // a station's leg listened in on: the supervisor's leg
    TMonitorMode monitorMode = TMonitorMode::Listen;
    bool IsFarEnd() const { return device < 0; }
  };

  // All below run with the lock held.
  Leg* FindLeg(DWORD id);
  const TDeviceData* FindStation(const std::string& number, DWORD* device = nullptr) const;
  Leg& NewLeg(int device, const std::string& number);
  void SetState(Leg& leg, DWORD state, DWORD mode);
  void SetFarEndState(Leg& leg, DWORD state);
  // "exchange leg 12 (101): OFFERING -> CONNECTED", when the debug channel is on (VANTREL_DEBUG=1).
  void LogStateChange(const Leg& leg, DWORD state) const;
  // Tells the ports what the leg is now (or that it is gone).
  void Publish(const Leg& leg, bool gone = false);
  void EraseLeg(DWORD legId);
  void ChangeInfo(Leg& leg, DWORD infoStates);
  void Link(Leg& a, Leg& b);
  void Unlink(Leg& leg);
  // The calling leg reaches the destination: a station rings, or a far end on a trunk. A forwarded call
  // keeps the number first called.
  void Route(Leg& from, const std::string& destination, DWORD reason, const std::string& redirecting, int hops = 0,
             const std::string& firstCalled = {});
  void Connect(Leg& answering);
  void GoIdle(Leg& leg);
  // The leg leaves its conference; the conference call is disconnected once no member call is left.
  void LeaveConference(Leg& leg);
  // The conference call ends: its member calls go idle and the parties left talk on to each other.
  void EndConference(Leg& conference);
  void EraseIfUnused(DWORD legId);
  // The monitor the leg is in (as the supervisor's or the monitored leg) ends; the supervisor's leg is dropped
  // (SoftExchangeMonitors.cpp).
  void EndMonitorOf(Leg& leg);
  void EndLegsOfDevice(int device);
  Leg* FarEnd(DWORD farEnd);
  LONG FarEndsInUse() const;
  static bool IsDialable(const std::string& address);

  TExchangeConfig config_;
  std::vector<TDeviceData> stations_;  // the index is the device identifier
  std::map<DWORD, std::unique_ptr<Leg>> legs_;
  DWORD nextId_ = 0x10000;
  IExchangePorts* ports_ = nullptr;
  std::shared_ptr<const TPromptSet> prompts_;
};

}  // namespace vantrel::telephony
