#pragma once

#include <chrono>
#include <string>

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

  void SetID(CORBA::Long id) override;
  CORBA::Boolean AssignFrom(::Base_ptr source) override;

  // Inside the server: a call on the operator's line has ended; the longest-idle strategy ranks by it.
  void NoteCallEnded();
  // When the operator's last call ended; the epoch when none has since the login.
  std::chrono::steady_clock::time_point LastCallEnded() const;

 protected:
  // A client that stopped listening has logged out: the Operator leaves its container.
  void DisposeOfStaleListener() override;

 private:
  void StoreLine(::Line_ptr line);

  mutable std::mutex operatorMutex_;
  ::OperatorStatus status_ = ::OperatorReady;              // guarded by operatorMutex_
  ::Line_var line_;                                        // guarded by operatorMutex_
  std::string computerName_;                               // guarded by operatorMutex_
  CORBA::Long callsCount_ = 0;                             // guarded by operatorMutex_
  CORBA::Long pauseReason_ = 0;                            // guarded by operatorMutex_; 0 unless paused
  ::ServerDateTime loginTime_;                             // guarded by operatorMutex_
  std::chrono::steady_clock::time_point lastCallEnded_{};  // guarded by operatorMutex_
};

}  // namespace vantrel
