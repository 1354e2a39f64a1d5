#pragma once

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/LockRank.h"
#include "database/CallLogRow.h"
#include "lines/CallsHistoryList.h"
#include "lines/LineCallsSnapshot.h"
#include "lines/LineConferenceParties.h"
#include "lines/LineRecordings.h"
#include "lines/LineRouter.h"
#include "model/ContainerItemLib.h"
#include "model/Servant.h"
#include "telephony/diZudu.h"

namespace vantrel {

class TRules_Impl;

// One telephone line of the server: its TAPI line device with the calls on it, the routing rule for calls
// offered on it, the operator at it, and the pipeline that turns each call event into a log line, a remote
// event for the line's LineEvents listener, derived events, call-log rows and the routing steps.
// The line device is only touched on the telephony thread; remote operations are handed over to it.
//
// The class is made of several files: LineLib.cpp (plumbing, configuration, call control), LineCalls.cpp (call
// queries and notes), LineCallLog.cpp (the call-log row), LineEvents.cpp (the event pipeline); the routing of
// offered calls is TLineRouter's (LineRouter.h), which the event steps hand their part of each event.
class TLine_Impl : public virtual POA_Line, public TContainerItem_Impl {
  friend class TLineRouter;

 public:
  TLine_Impl();
  ~TLine_Impl() override;

  // Configuration.
  ::Rule_ptr GetRule() override;
  void SetRule(::Rule_ptr rule) override;
  CORBA::Long GetRuleID() override;
  void SetRuleID(CORBA::Long id) override;
  char* GetRuleName() override;
  ::Operator_ptr GetOperator() override;
  void SetOperator(::Operator_ptr seated) override;
  CORBA::Long GetOperatorID() override;
  void SetOperatorID(CORBA::Long id) override;
  CORBA::Long GetDeviceID() override;
  void SetDeviceID(CORBA::Long id) override;
  char* GetDevicePhoneNumber() override;
  CORBA::Boolean GetIsOuter() override;
  void SetIsOuter(CORBA::Boolean value) override;
  CORBA::Boolean GetDND() override;
  void SetDND(CORBA::Boolean value) override;
  CORBA::Boolean GetUsingDND() override;
  void SetUsingDND(CORBA::Boolean value) override;
  ::LineEvents_ptr GetLineEventsListener() override;
  void SetLineEventsListener(::LineEvents_ptr listener) override;
  void ChangeLineEventLastContact() override;
  void AddEventsListener(::LineEvents_ptr listener) override;
  void RemoveEventsListener(::LineEvents_ptr listener) override;
  // Recording (LineRecording.cpp).
  char* StartRecording(CORBA::Long call) override;
  char* StopRecording(CORBA::Long call) override;
  char* PauseRecording(CORBA::Long call, CORBA::Boolean pause) override;
  // Supervisors listening in (LineMonitor.cpp).
  char* Monitor(CORBA::Long call, const char* supervisorNumber, ::MonitorMode mode) override;
  char* SetMonitorMode(CORBA::Long call, ::MonitorMode mode) override;
  // Lines.ini's Record=1: every call of the line is recorded from its connection on.
  bool GetRecordsCalls() const { return recordsCalls_; }
  void SetRecordsCalls(bool value) { recordsCalls_ = value; }
  CORBA::Long GetCallsCount() override;

  // Call control.
  void Dial(CORBA::Long call, const char* phoneNumber, CORBA::Long taskNumber) override;
  void Answer(CORBA::Long call) override;
  void CancelDial(CORBA::Long call) override;
  void Hold(CORBA::Long call) override;
  void Unhold(CORBA::Long call) override;
  void SetupTransfer(CORBA::Long call) override;
  void BlindTransfer(CORBA::Long call, const char* phoneNumber) override;
  void CompleteTransfer(CORBA::Long call, CORBA::Boolean conference) override;
  void CancelBusyCalls() override;
  void UnholdPrimaryCall(CORBA::Long call) override;

  // Call queries.
  CORBA::Boolean GetIsCallExists(CORBA::Long call) override;
  CORBA::Long GetCall(CORBA::Long index) override;
  CORBA::Long GetActiveCall() override;
  CORBA::Long GetOfferingCall() override;
  CORBA::Long GetCallByConnectedID(const char* connectedID) override;
  CORBA::Long GetCallState(CORBA::Long call) override;
  CORBA::Boolean GetCallIsActive(CORBA::Long call) override;
  CORBA::Boolean GetCallIsAlive(CORBA::Long call) override;
  CORBA::Boolean GetCallIsOutgoing(CORBA::Long call) override;
  CORBA::Boolean GetCallIsIncoming(CORBA::Long call) override;
  CORBA::Boolean GetCallIsConnected(CORBA::Long call) override;
  CORBA::Boolean GetCallIsOffering(CORBA::Long call) override;
  CORBA::Boolean GetCallIsHeld(CORBA::Long call) override;
  CORBA::Boolean GetCallIsDialing(CORBA::Long call) override;
  CORBA::Boolean GetCallIsBusy(CORBA::Long call) override;
  CORBA::Boolean GetCallWasOutgoing(CORBA::Long call) override;
  CORBA::Boolean GetCallWasIncoming(CORBA::Long call) override;
  CORBA::Boolean GetCallWasConnected(CORBA::Long call) override;
  CORBA::Boolean GetCallWasOffering(CORBA::Long call) override;
  CORBA::Boolean GetCallWasHeld(CORBA::Long call) override;
  CORBA::Boolean GetCallWasDialing(CORBA::Long call) override;
  CORBA::Boolean GetCallWasBusy(CORBA::Long call) override;
  CORBA::Boolean GetCallIsPendTransfer(CORBA::Long call) override;
  char* GetCallerID(CORBA::Long call) override;
  char* GetTrueCallerID(CORBA::Long call) override;
  char* GetCalledID(CORBA::Long call) override;
  char* GetConnectedID(CORBA::Long call) override;
  char* GetRedirectingID(CORBA::Long call) override;
  char* GetRedirectionID(CORBA::Long call) override;
  char* GetRemoteID(CORBA::Long call) override;
  char* GetCallNote(CORBA::Long call, const char* name) override;
  CORBA::Boolean SetCallNote(CORBA::Long call, const char* name, const char* value) override;
  void GetCallContent(CORBA::Long call, const char* fromLinePhoneNumber, const char* connectedID) override;
  CORBA::Long GetCallTag(CORBA::Long call) override;
  CORBA::Boolean SetCallTag(CORBA::Long call, CORBA::Long tag) override;
  CORBA::Long GetParentCallHandle(CORBA::Long call) override;
  CORBA::Long GetConsultCallHandle(CORBA::Long call) override;
  CORBA::Boolean WriteLog(::LogEventType eventType, CORBA::Long call, CORBA::Long taskID) override;
  CORBA::Boolean WriteDebugCallState(const char* title, CORBA::Long call) override;
  char* GetCallerLinePhoneNumber(const char* phoneNumber) override;

  // The event steps.
  void DoAccepted(CORBA::Long call) override;
  void DoBusy(CORBA::Long call) override;
  void DoCallBegin(CORBA::Long call) override;
  void DoCallDeallocate(CORBA::Long call) override;
  void DoCalledID(CORBA::Long call) override;
  void DoCallEnd(CORBA::Long call) override;
  void DoCallerID(CORBA::Long call) override;
  void DoCallInfo(CORBA::Long call) override;
  void DoCallPrivilege(CORBA::Long call) override;
  void DoCallState(CORBA::Long call) override;
  void DoConferenced(CORBA::Long call) override;
  void DoConnected(CORBA::Long call) override;
  void DoConnectedID(CORBA::Long call) override;
  void DoDialing(CORBA::Long call) override;
  void DoDialtone(CORBA::Long call) override;
  void DoDigit(CORBA::Long call) override;
  void DoDigits(CORBA::Long call) override;
  void DoDisconnected(CORBA::Long call) override;
  void DoGenerate(CORBA::Long call) override;
  void DoHold(CORBA::Long call) override;
  void DoHoldPendConf(CORBA::Long call) override;
  void DoIdle(CORBA::Long call) override;
  void DoMediaMode(CORBA::Long call) override;
  void DoNewCall(CORBA::Long call) override;
  void DoOffering(CORBA::Long call) override;
  void DoHoldPendTrans(CORBA::Long call) override;
  void DoProceeding(CORBA::Long call) override;
  void DoRedirectingID(CORBA::Long call) override;
  void DoRedirectionID(CORBA::Long call) override;
  void DoRing(CORBA::Long call) override;
  void DoRingback(CORBA::Long call) override;
  void DoSilence(CORBA::Long call) override;
  void DoSpecialInfo(CORBA::Long call) override;
  void DoTone(CORBA::Long call) override;
  void DoHandset(CORBA::Long call) override;
  void DoIncomingCall(CORBA::Long call) override;
  void DoIncomingCallConnected(CORBA::Long call) override;
  void DoOutgoingCall(CORBA::Long call) override;
  void DoOutgoingCallConnected(CORBA::Long call) override;
  void DoOutgoingCallBusy(CORBA::Long call) override;
  void DoHoldCall(CORBA::Long call) override;
  void DoTransferCall(CORBA::Long call) override;
  void DoUnholdCall(CORBA::Long call) override;
  void DoCallFinished(CORBA::Long call) override;
  void DoAddressState(CORBA::Long states);
  void DoForwardState(CORBA::Long call);
  void DoCallEvent(::CallEventType eventType, CORBA::Long call) override;

  void SetEnabled(CORBA::Boolean enabled) override;
  CORBA::Boolean AssignFrom(::Base_ptr source) override;
  CORBA::Boolean LoadFromIniFile(const char* fileName, const char* section) override;
  CORBA::Boolean SaveToIniFile(const char* fileName, const char* section) override;

  // Inside the server.
  telephony::TTapiLine* TapiLine() { return tapiLine_.get(); }
  telephony::TTapiCall* GetCallByHandle(CORBA::Long call);
  std::string PreparePhoneNumber(const std::string& number);
  static std::string PrepareID(const std::string& text);
  const TCallsHistoryList& CallsHistory() const { return history_; }

 private:
  void AttachHandlers();
  // Drops a timed-out request's failure, reports any other.
  void HandleError(const char* methodName, std::exception_ptr error);
  // The line's operations: on the telephony thread, failures through HandleError, the neutral result after one.
  template <typename Result, typename Body>
  Result OnLine(const char* methodName, Result neutral, Body&& body);
  template <typename Body>
  void OnLine(const char* methodName, Body&& body);
  template <typename Body>
  char* OnLineText(const char* methodName, Body&& body);
  // The configuration's operations: they do not touch the line device, so they run where they are called —
  // also while a container holds its lock, which the telephony thread may be waiting for.
  template <typename Result, typename Body>
  Result Guard(const char* methodName, Result neutral, Body&& body);
  template <typename Body>
  void Guard(const char* methodName, Body&& body);
  // A query of the call by its handle: the predicate's answer, false without such a call.
  template <typename Predicate>
  CORBA::Boolean CallQuery(const char* methodName, CORBA::Long call, Predicate predicate);
  // A party of the call; from the snapshot for remote callers when it publishes that party.
  char* PartyText(const char* methodName, CORBA::Long call, telephony::TTapiCallPartyID telephony::TTapiCall::*party,
                  std::string TLineCallsSnapshot::TCall::*published = nullptr);
  // The log line of a plain step, the history refresh it asks for, then the event.
  void SimpleStep(const char* methodName, const char* logText, ::CallEventType eventType, CORBA::Long call,
                  bool updateHistory);
  void DerivedStep(const char* methodName, const char* logText, ::CallEventType eventType, ::LogEventType logType,
                   CORBA::Long call);
  void UpdateHistory(CORBA::Long call);
  // On the telephony thread, before an event of the call is handled: the call as clients will now see it.
  void PublishCall(telephony::TTapiCall& call);
  // A query answered from the snapshot for remote callers, and from the calls themselves on the telephony thread
  // (where the steps need the very latest state).
  template <typename FromSnapshot, typename Live>
  auto CallsQuery(FromSnapshot fromSnapshot, Live live);
  bool IsRuled(CORBA::Long call);
  bool CallIsActive(telephony::TTapiCall& call);
  // The Rules container's own object; it lives as long as the Environment.
  TLocalServant<TRules_Impl> LocalRules();
  // On the telephony thread: asks the call's recording to do the action; empty when done, else why not.
  std::string Record(CORBA::Long call, telephony::TRecordRequest::TAction action);
  // A connected call of a line that records its calls starts its recording; a finished one ends its record.
  void RecordIfWanted(CORBA::Long call);
  // A rule that records put a call through to this line from the number (its routing line): that call, connected
  // now or once it connects, is recorded.
  void RecordPutThrough(const std::string& from);
  void RecordingOver(CORBA::Long call);
  // The conference at the station (LineConference.cpp): a member call joined it, or left it (its party hung up,
  // or the call ended); each writes the queue log's rows.
  void ConferenceJoined(CORBA::Long call);
  void ConferenceLeft(CORBA::Long call);
  void ConferenceQueueRow(TQueueEvent event, const TConferenceParties::TRow& party);
  // A queue-log row of this line's station (LineCallLog.cpp): the line's number, its operator and now are filled
  // in, the connected number is the line's own unless the maker set one; CallKeyed gives it the key and the caller
  // of the call as the call log has them.
  void WriteStationQueueRow(TCallLogRow row, const char* where);
  void CallKeyed(CORBA::Long call, TCallLogRow& row);
  // Hands the row to the call log's writer (LineCallLog.cpp); a refusal is the line's error, said as `where`. False
  // when there is no local database or it refused.
  bool AcceptLogRow(TCallLogRow row, const char* where);
  // The queue log's row of a recording's start, pause, resumption or end.
  void RecordingQueueRow(CORBA::Long call, TQueueEvent event, long seconds, long pausedSeconds);
  char* RecordingAnswer(const char* methodName, CORBA::Long call, telephony::TRecordRequest::TAction action);
  // Supervisors listening in (LineMonitor.cpp). Who may: off the telephony thread (it asks the CRM); empty when
  // the station's operator is a supervisor, else why not.
  std::string MonitorRefusal(const std::string& supervisor);
  // On the telephony thread: rings the supervisor's station, switches a running monitor's mode.
  std::string StartMonitor(CORBA::Long call, const std::string& supervisor, telephony::TMonitorMode mode);
  std::string SwitchMonitor(CORBA::Long call, telephony::TMonitorMode mode);
  // The call's information changed: its monitor may be over (the supervisor hung up).
  void CheckMonitor(CORBA::Long call);
  void MonitorOver(CORBA::Long call);
  void MonitorQueueRow(CORBA::Long call, TQueueEvent event, const std::string& supervisor, long seconds, long mode);
  void SetCallOwner(telephony::TTapiCall& call);
  CORBA::Long CallHandle(const telephony::TTapiCall* call) const;
  ::Lines_ptr LinesContainer();

  std::unique_ptr<telephony::TTapiLine> tapiLine_;  // only on the telephony thread
  TCallsHistoryList history_{50};
  mutable platform::ObjectMutex lineMutex_;
  ::Rule_var rule_;                                                       // guarded by lineMutex_
  ::Operator_var operator_;                                               // guarded by lineMutex_
  TListener<::LineEvents> listener_;                                      // guarded by lineMutex_
  std::optional<std::chrono::steady_clock::time_point> listenerContact_;  // guarded by lineMutex_; none: never
  std::vector<TListener<::LineEvents>> addedListeners_;                   // guarded by lineMutex_
  std::set<CORBA::Long> reportedCalls_;  // guarded by lineMutex_; calls the listeners heard of, until they finish
  bool isOuter_ = false;                                                  // guarded by lineMutex_
  bool usingDND_ = false;                                                 // guarded by lineMutex_
  std::string devicePhoneNumber_;  // guarded by lineMutex_; the first address of the device, kept at open
  TLineCallsSnapshot snapshot_;    // written on the telephony thread, read by remote callers; locks itself
  // Only on the telephony thread: the routing of the calls offered here, calls whose LogOutgoingCall is written,
  // and calls connected to an outer line whose connected event waits for their real party.
  TLineRouter router_{*this};
  std::set<CORBA::Long> outgoingRaised_;
  std::set<CORBA::Long> connectedPending_;
  std::atomic<bool> recordsCalls_{false};
  TLineRecordings recordings_;  // only on the telephony thread
  TConferenceParties conference_;  // only on the telephony thread
  struct TLineMonitor {
    std::string supervisor;
    telephony::TMonitorMode mode = telephony::TMonitorMode::Listen;
    std::chrono::steady_clock::time_point started;
  };
  std::map<CORBA::Long, TLineMonitor> monitors_;  // only on the telephony thread; by the monitored call
};

}  // namespace vantrel
