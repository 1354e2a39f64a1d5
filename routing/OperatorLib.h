#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "platform/LockRank.h"
#include "database/CallLogRow.h"
#include "model/ContainerItemLib.h"

namespace vantrel {

// A logged-in employee: status, the server's Line where they sit, workstation, calls count and login time.
// The ID is the employee's CRM ID, so one employee has at most one Operator.
class TOperator_Impl : public virtual POA_Operator, public TContainerItem_Impl {
 public:
  TOperator_Impl();
  ~TOperator_Impl() override;

  void SetStatus(::OperatorStatus status) override;
  ::OperatorStatus GetStatus() override;
  void SetLine(::Line_ptr line) override;
  ::Line_ptr GetLine() override;
  void SetComputerName(const char* name) override;
  char* GetComputerName() override;
  void SetCallsCount(CORBA::Long count) override;
  CORBA::Long GetCallsCount() override;
  void SetLoginTime(const ::ServerDateTime& time) override;
  ::ServerDateTime GetLoginTime() override;
  void SetLineID(CORBA::Long lineID) override;
  CORBA::Long GetLineID() override;
  char* GetLineName() override;
  char* GetLinePhoneNumber() override;
  CORBA::Boolean GetIsInGroup(CORBA::Long groupID) override;
  CORBA::Long IncCallsCount() override;
  CORBA::Long GetPauseReason() override;
  void SetPauseReason(CORBA::Long reason) override;
  CORBA::Long GetStatusSeconds() override;

  void SetID(CORBA::Long id) override;
  CORBA::Boolean AssignFrom(::Base_ptr source) override;

  // Inside the server: a routed call of the rule has been put through to the operator; when it ends its talk time
  // counts for the rule, and the operator wraps up for wrapUpSeconds before being offered the next call.
  void NoteRoutedCallAnswered(CORBA::Long rule, int wrapUpSeconds);
  struct TRoutedTalk {
    CORBA::Long rule;
    double seconds;
  };
  // Inside the server: a call on the operator's line has ended; the longest-idle strategy ranks by it. The talk
  // of the routed call it was, if any.
  std::optional<TRoutedTalk> NoteCallEnded();
  // After-call work that has lasted its time ends: the operator is ready.
  void EndWrapUpIfDue();
  // Group routing has chosen the operator for a caller: no other caller is offered to them until the call reaches
  // their line or the attempt ends (or a minute passed, should the end never be heard of).
  void Reserve();
  void Unreserve();
  bool Reserved() const;
  // When the operator's last call ended; the epoch when none has since the login.
  std::chrono::steady_clock::time_point LastCallEnded() const;

 protected:
  // A client that stopped listening has logged out: the Operator leaves its container.
  void DisposeOfStaleListener() override;

 private:
  void StoreLine(::Line_ptr line);
  // The row that ends the logged state the operator is in (none when ready), and the state starts anew now.
  struct TEndedState {
    TQueueEvent event = TQueueEvent::None;
    long reason = 0, rule = 0, seconds = 0;
  };
  TEndedState EndStateLocked(std::chrono::steady_clock::time_point now);
  void WriteEndedState(const TEndedState& ended);
  void WriteQueueLog(TQueueEvent event, CORBA::Long reason);
  // The same for the operator at the phone named (the line's number is gone at a logout) with a rule and seconds.
  void WriteQueueLog(TQueueEvent event, CORBA::Long reason, const std::string& phone, long rule, long seconds);

  mutable platform::ObjectMutex operatorMutex_;
  ::OperatorStatus status_ = ::OperatorReady;              // guarded by operatorMutex_
  ::Line_var line_;                                        // guarded by operatorMutex_
  std::string computerName_;                               // guarded by operatorMutex_
  CORBA::Long callsCount_ = 0;                             // guarded by operatorMutex_
  CORBA::Long pauseReason_ = 0;                            // guarded by operatorMutex_; 0 unless paused
  ::ServerDateTime loginTime_;                             // guarded by operatorMutex_
  std::chrono::steady_clock::time_point lastCallEnded_{};  // guarded by operatorMutex_
  std::chrono::steady_clock::time_point statusSince_ = std::chrono::steady_clock::now();  // guarded by operatorMutex_
  // The routed call in progress (guarded by operatorMutex_): its rule (-1: none), put through at, wrap-up after.
  CORBA::Long routedRule_ = -1;
  std::chrono::steady_clock::time_point routedAnswered_{};
  int routedWrapUp_ = 0;
  std::chrono::steady_clock::time_point reservedUntil_{};  // guarded by operatorMutex_
  std::chrono::steady_clock::time_point wrapUpEnds_{};     // guarded by operatorMutex_; while OperatorWrapUp
  CORBA::Long wrapUpRule_ = 0;                             // guarded by operatorMutex_; the rule of the wrap-up
  CORBA::Long activeWrapUpRule_ = 0;                       // guarded by operatorMutex_; of the wrap-up under way
  // guarded by operatorMutex_: since when the state the queue log last named (status, pause reason) and the login last
  std::chrono::steady_clock::time_point stateSince_ = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point loginSince_ = std::chrono::steady_clock::now();
};

}  // namespace vantrel
