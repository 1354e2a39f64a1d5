#pragma once

// A Line for the routing tests, ahead of the server's own Line object: a device number, an operator seat,
// a rule and the do-not-disturb switch. Call control is not part of it.
#include <atomic>
#include <string>

#include "model/ContainerItemLib.h"

class TFakeLine : public virtual POA_Line, public vantrel::TContainerItem_Impl {
 public:
  explicit TFakeLine(std::string devicePhoneNumber, bool isOuter = false)
      : devicePhoneNumber_(std::move(devicePhoneNumber)), isOuter_(isOuter) {}

  ::Rule_ptr GetRule() override {
    std::lock_guard lock(mutex_);
    return ::Rule::_duplicate(rule_);
  }
  void SetRule(::Rule_ptr rule) override {
    std::lock_guard lock(mutex_);
    rule_ = ::Rule::_duplicate(rule);
  }
  CORBA::Long GetRuleID() override {
    ::Rule_var rule = GetRule();
    return CORBA::is_nil(rule) ? -1 : rule->GetID();
  }
  char* GetRuleName() override {
    ::Rule_var rule = GetRule();
    return CORBA::is_nil(rule) ? CORBA::string_dup("") : rule->GetObjectName();
  }
  char* GetDevicePhoneNumber() override { return CORBA::string_dup(devicePhoneNumber_.c_str()); }
  ::Operator_ptr GetOperator() override {
    std::lock_guard lock(mutex_);
    return ::Operator::_duplicate(operator_);
  }
  void SetOperator(::Operator_ptr seated) override {
    std::lock_guard lock(mutex_);
    operator_ = ::Operator::_duplicate(seated);
  }
  CORBA::Boolean GetIsOuter() override { return isOuter_; }
  void SetIsOuter(CORBA::Boolean value) override { isOuter_ = value; }
  CORBA::Boolean GetDND() override { return dnd_; }
  void SetDND(CORBA::Boolean value) override {
    ++setDNDCalls_;
    dnd_ = value;
  }
  CORBA::Boolean GetUsingDND() override { return usingDND_; }
  void SetUsingDND(CORBA::Boolean value) override { usingDND_ = value; }

  int SetDNDCalls() const { return setDNDCalls_; }

  ::CORBA::Long GetDeviceID() override { throw CORBA::NO_IMPLEMENT(); }
  ::CORBA::Long GetOperatorID() override { throw CORBA::NO_IMPLEMENT(); }
  ::CORBA::Long GetCallsCount() override { throw CORBA::NO_IMPLEMENT(); }
  ::CORBA::Long GetActiveCall() override { throw CORBA::NO_IMPLEMENT(); }
  ::CORBA::Long GetOfferingCall() override { throw CORBA::NO_IMPLEMENT(); }
  void SetRuleID(::CORBA::Long AID) override { throw CORBA::NO_IMPLEMENT(); }
  void SetDeviceID(::CORBA::Long AID) override { throw CORBA::NO_IMPLEMENT(); }
  void SetOperatorID(::CORBA::Long AID) override { throw CORBA::NO_IMPLEMENT(); }
  void UnholdPrimaryCall(::CORBA::Long ACall) override { throw CORBA::NO_IMPLEMENT(); }
  ::LineEvents_ptr GetLineEventsListener() override { throw CORBA::NO_IMPLEMENT(); }
  void SetLineEventsListener(::LineEvents_ptr AListener) override { throw CORBA::NO_IMPLEMENT(); }
  void Dial(::CORBA::Long ACall, const char* APhoneNumber, ::CORBA::Long ATaskNumber) override {
    throw CORBA::NO_IMPLEMENT();
  }
  void Answer(::CORBA::Long ACall) override { throw CORBA::NO_IMPLEMENT(); }
  void CancelDial(::CORBA::Long ACall) override { throw CORBA::NO_IMPLEMENT(); }
  void Hold(::CORBA::Long ACall) override { throw CORBA::NO_IMPLEMENT(); }
  void Unhold(::CORBA::Long ACall) override { throw CORBA::NO_IMPLEMENT(); }
  void SetupTransfer(::CORBA::Long ACall) override { throw CORBA::NO_IMPLEMENT(); }
  void BlindTransfer(::CORBA::Long ACall, const char* APhoneNumber) override { throw CORBA::NO_IMPLEMENT(); }
  void CompleteTransfer(::CORBA::Long ACall, ::CORBA::Boolean AConference) override { throw CORBA::NO_IMPLEMENT(); }
  void CancelBusyCalls() override { throw CORBA::NO_IMPLEMENT(); }
  ::CORBA::Boolean GetIsCallExists(::CORBA::Long ACall) override { throw CORBA::NO_IMPLEMENT(); }
  ::CORBA::Boolean GetCallIsActive(::CORBA::Long ACall) override { throw CORBA::NO_IMPLEMENT(); }
  ::CORBA::Boolean GetCallIsAlive(::CORBA::Long ACall) override { throw CORBA::NO_IMPLEMENT(); }
  ::CORBA::Boolean GetCallIsOutgoing(::CORBA::Long ACall) override { throw CORBA::NO_IMPLEMENT(); }
  ::CORBA::Boolean GetCallIsIncoming(::CORBA::Long ACall) override { throw CORBA::NO_IMPLEMENT(); }
  ::CORBA::Boolean GetCallIsConnected(::CORBA::Long ACall) override { throw CORBA::NO_IMPLEMENT(); }
  ::CORBA::Boolean GetCallIsOffering(::CORBA::Long ACall) override { throw CORBA::NO_IMPLEMENT(); }
  ::CORBA::Boolean GetCallIsHeld(::CORBA::Long ACall) override { throw CORBA::NO_IMPLEMENT(); }
  ::CORBA::Boolean GetCallIsDialing(::CORBA::Long ACall) override { throw CORBA::NO_IMPLEMENT(); }
  ::CORBA::Boolean GetCallIsBusy(::CORBA::Long ACall) override { throw CORBA::NO_IMPLEMENT(); }
  ::CORBA::Boolean GetCallWasOutgoing(::CORBA::Long ACall) override { throw CORBA::NO_IMPLEMENT(); }
  ::CORBA::Boolean GetCallWasIncoming(::CORBA::Long ACall) override { throw CORBA::NO_IMPLEMENT(); }
  ::CORBA::Boolean GetCallWasConnected(::CORBA::Long ACall) override { throw CORBA::NO_IMPLEMENT(); }
  ::CORBA::Boolean GetCallWasOffering(::CORBA::Long ACall) override { throw CORBA::NO_IMPLEMENT(); }
  ::CORBA::Boolean GetCallWasHeld(::CORBA::Long ACall) override { throw CORBA::NO_IMPLEMENT(); }
  ::CORBA::Boolean GetCallWasDialing(::CORBA::Long ACall) override { throw CORBA::NO_IMPLEMENT(); }
  ::CORBA::Boolean GetCallWasBusy(::CORBA::Long ACall) override { throw CORBA::NO_IMPLEMENT(); }
  ::CORBA::Boolean GetCallIsPendTransfer(::CORBA::Long ACall) override { throw CORBA::NO_IMPLEMENT(); }
  ::CORBA::Long GetCall(::CORBA::Long AIndex) override { throw CORBA::NO_IMPLEMENT(); }
  ::CORBA::Long GetCallState(::CORBA::Long ACall) override { throw CORBA::NO_IMPLEMENT(); }
  ::CORBA::Long GetCallTag(::CORBA::Long ACall) override { throw CORBA::NO_IMPLEMENT(); }
  ::CORBA::Long GetParentCallHandle(::CORBA::Long ACall) override { throw CORBA::NO_IMPLEMENT(); }
  ::CORBA::Long GetConsultCallHandle(::CORBA::Long ACall) override { throw CORBA::NO_IMPLEMENT(); }
  ::CORBA::Long GetCallByConnectedID(const char* AConnectedID) override { throw CORBA::NO_IMPLEMENT(); }
  char* GetCallerID(::CORBA::Long ACall) override { throw CORBA::NO_IMPLEMENT(); }
  char* GetTrueCallerID(::CORBA::Long ACall) override { throw CORBA::NO_IMPLEMENT(); }
  char* GetCalledID(::CORBA::Long ACall) override { throw CORBA::NO_IMPLEMENT(); }
  char* GetConnectedID(::CORBA::Long ACall) override { throw CORBA::NO_IMPLEMENT(); }
  char* GetRedirectingID(::CORBA::Long ACall) override { throw CORBA::NO_IMPLEMENT(); }
  char* GetRedirectionID(::CORBA::Long ACall) override { throw CORBA::NO_IMPLEMENT(); }
  char* GetRemoteID(::CORBA::Long ACall) override { throw CORBA::NO_IMPLEMENT(); }
  char* GetCallNote(::CORBA::Long ACall, const char* AName) override { throw CORBA::NO_IMPLEMENT(); }
  ::CORBA::Boolean SetCallNote(::CORBA::Long ACall, const char* AName, const char* AValue) override {
    throw CORBA::NO_IMPLEMENT();
  }
  void GetCallContent(::CORBA::Long ACall, const char* ASubject, const char* AContent) override {
    throw CORBA::NO_IMPLEMENT();
  }
  ::CORBA::Boolean SetCallTag(::CORBA::Long ACall, ::CORBA::Long ATag) override { throw CORBA::NO_IMPLEMENT(); }
  ::CORBA::Boolean WriteLog(::LogEventType AEventType, ::CORBA::Long ACall, ::CORBA::Long AParentCall) override {
    throw CORBA::NO_IMPLEMENT();
  }
  ::CORBA::Boolean WriteDebugCallState(const char* AText, ::CORBA::Long ACall) override { throw CORBA::NO_IMPLEMENT(); }
  void ChangeLineEventLastContact() override { throw CORBA::NO_IMPLEMENT(); }
  void AddEventsListener(::LineEvents_ptr) override { throw CORBA::NO_IMPLEMENT(); }
  void RemoveEventsListener(::LineEvents_ptr) override { throw CORBA::NO_IMPLEMENT(); }
  char* StartRecording(::CORBA::Long) override { throw CORBA::NO_IMPLEMENT(); }
  char* StopRecording(::CORBA::Long) override { throw CORBA::NO_IMPLEMENT(); }
  char* PauseRecording(::CORBA::Long, ::CORBA::Boolean) override { throw CORBA::NO_IMPLEMENT(); }
  char* Monitor(::CORBA::Long, const char*, ::MonitorMode) override { throw CORBA::NO_IMPLEMENT(); }
  char* SetMonitorMode(::CORBA::Long, ::MonitorMode) override { throw CORBA::NO_IMPLEMENT(); }
  char* GetCallerLinePhoneNumber(const char* APhoneNumber) override { throw CORBA::NO_IMPLEMENT(); }
  void DoAccepted(::CORBA::Long ACall) override { throw CORBA::NO_IMPLEMENT(); }
  void DoBusy(::CORBA::Long ACall) override { throw CORBA::NO_IMPLEMENT(); }
  void DoCallBegin(::CORBA::Long ACall) override { throw CORBA::NO_IMPLEMENT(); }
  void DoCallDeallocate(::CORBA::Long ACall) override { throw CORBA::NO_IMPLEMENT(); }
  void DoCalledID(::CORBA::Long ACall) override { throw CORBA::NO_IMPLEMENT(); }
  void DoCallEnd(::CORBA::Long ACall) override { throw CORBA::NO_IMPLEMENT(); }
  void DoCallerID(::CORBA::Long ACall) override { throw CORBA::NO_IMPLEMENT(); }
  void DoCallInfo(::CORBA::Long ACall) override { throw CORBA::NO_IMPLEMENT(); }
  void DoCallPrivilege(::CORBA::Long ACall) override { throw CORBA::NO_IMPLEMENT(); }
  void DoCallState(::CORBA::Long ACall) override { throw CORBA::NO_IMPLEMENT(); }
  void DoConferenced(::CORBA::Long ACall) override { throw CORBA::NO_IMPLEMENT(); }
  void DoConnected(::CORBA::Long ACall) override { throw CORBA::NO_IMPLEMENT(); }
  void DoConnectedID(::CORBA::Long ACall) override { throw CORBA::NO_IMPLEMENT(); }
  void DoDialing(::CORBA::Long ACall) override { throw CORBA::NO_IMPLEMENT(); }
  void DoDialtone(::CORBA::Long ACall) override { throw CORBA::NO_IMPLEMENT(); }
  void DoDigit(::CORBA::Long ACall) override { throw CORBA::NO_IMPLEMENT(); }
  void DoDigits(::CORBA::Long ACall) override { throw CORBA::NO_IMPLEMENT(); }
  void DoDisconnected(::CORBA::Long ACall) override { throw CORBA::NO_IMPLEMENT(); }
  void DoGenerate(::CORBA::Long ACall) override { throw CORBA::NO_IMPLEMENT(); }
  void DoHold(::CORBA::Long ACall) override { throw CORBA::NO_IMPLEMENT(); }
  void DoHoldPendConf(::CORBA::Long ACall) override { throw CORBA::NO_IMPLEMENT(); }
  void DoIdle(::CORBA::Long ACall) override { throw CORBA::NO_IMPLEMENT(); }
  void DoMediaMode(::CORBA::Long ACall) override { throw CORBA::NO_IMPLEMENT(); }
  void DoNewCall(::CORBA::Long ACall) override { throw CORBA::NO_IMPLEMENT(); }
  void DoOffering(::CORBA::Long ACall) override { throw CORBA::NO_IMPLEMENT(); }
  void DoHoldPendTrans(::CORBA::Long ACall) override { throw CORBA::NO_IMPLEMENT(); }
  void DoProceeding(::CORBA::Long ACall) override { throw CORBA::NO_IMPLEMENT(); }
  void DoRedirectingID(::CORBA::Long ACall) override { throw CORBA::NO_IMPLEMENT(); }
  void DoRedirectionID(::CORBA::Long ACall) override { throw CORBA::NO_IMPLEMENT(); }
  void DoRing(::CORBA::Long ACall) override { throw CORBA::NO_IMPLEMENT(); }
  void DoRingback(::CORBA::Long ACall) override { throw CORBA::NO_IMPLEMENT(); }
  void DoSilence(::CORBA::Long ACall) override { throw CORBA::NO_IMPLEMENT(); }
  void DoSpecialInfo(::CORBA::Long ACall) override { throw CORBA::NO_IMPLEMENT(); }
  void DoTone(::CORBA::Long ACall) override { throw CORBA::NO_IMPLEMENT(); }
  void DoHandset(::CORBA::Long ACall) override { throw CORBA::NO_IMPLEMENT(); }
  void DoIncomingCall(::CORBA::Long ACall) override { throw CORBA::NO_IMPLEMENT(); }
  void DoIncomingCallConnected(::CORBA::Long ACall) override { throw CORBA::NO_IMPLEMENT(); }
  void DoOutgoingCall(::CORBA::Long ACall) override { throw CORBA::NO_IMPLEMENT(); }
  void DoOutgoingCallConnected(::CORBA::Long ACall) override { throw CORBA::NO_IMPLEMENT(); }
  void DoOutgoingCallBusy(::CORBA::Long ACall) override { throw CORBA::NO_IMPLEMENT(); }
  void DoHoldCall(::CORBA::Long ACall) override { throw CORBA::NO_IMPLEMENT(); }
  void DoTransferCall(::CORBA::Long ACall) override { throw CORBA::NO_IMPLEMENT(); }
  void DoUnholdCall(::CORBA::Long ACall) override { throw CORBA::NO_IMPLEMENT(); }
  void DoCallFinished(::CORBA::Long ACall) override { throw CORBA::NO_IMPLEMENT(); }
  void DoCallEvent(::CallEventType AEventType, ::CORBA::Long ACall) override { throw CORBA::NO_IMPLEMENT(); }

 private:
  const std::string devicePhoneNumber_;
  std::atomic<bool> isOuter_;
  std::atomic<bool> dnd_ = false;
  std::atomic<bool> usingDND_ = false;
  std::atomic<int> setDNDCalls_ = 0;
  std::mutex mutex_;
  ::Rule_var rule_;          // guarded by mutex_
  ::Operator_var operator_;  // guarded by mutex_
};
