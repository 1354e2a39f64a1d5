#include "OperatorSession.h"

#include <utility>

namespace vantrel::client {

namespace {
// The line's call states, as TAPI numbers them.
constexpr CORBA::Long kBusy = 0x40;
constexpr CORBA::Long kConnected = 0x100;
}  // namespace

TOperatorSession::TOperatorSession(::Operators_ptr operators, ::Line_ptr line, std::string number,
                                   TLineActivity& activity)
    : operators_(::Operators::_duplicate(operators)),
      line_(::Line::_duplicate(line)),
      number_(std::move(number)),
      activity_(activity) {}

::Operator_ptr TOperatorSession::LogIn(long operatorID, const std::string& computerName) {
  using enum TSessionError::TKind;
  const CORBA::Long seated = line_->GetOperatorID();  // -1: nobody
  if (seated > 0)
    throw TSessionError(Refused, "Operator " + std::to_string(seated) + " is logged in at line " + number_);
  // A Distributed server would move the employee here from the other line; a person does that by logging out.
  if (!CORBA::is_nil(::ContainerItem_var(operators_->GetItemByID(operatorID))))
    throw TSessionError(Refused, "Operator " + std::to_string(operatorID) + " is logged in at another line");
  ::Operator_var person = ::Operator::_narrow(::ContainerItem_var(operators_->CreateItem(true)));
  if (CORBA::is_nil(person)) throw TSessionError(Refused, "The server takes no more operators");
  person->SetID(operatorID);
  person->SetComputerName(computerName.c_str());
  person->SetLine(line_);
  return person._retn();
}

void TOperatorSession::LogOut() {
  ::Operator_var person = line_->GetOperator();
  if (CORBA::is_nil(person))
    throw TSessionError(TSessionError::TKind::Refused, "Nobody is logged in at line " + number_);
  operators_->DeleteItem(person);
}

long TOperatorSession::Consult(long call, const std::string& number, TDeadline deadline) {
  line_->SetupTransfer(call);
  // The consultation call is the line's once the exchange has held the caller; its events say when.
  CORBA::Long consult = 0;
  if (!activity_.WaitFor(number_, deadline, [&] { return (consult = line_->GetConsultCallHandle(call)) != 0; }))
    throw TSessionError(TSessionError::TKind::TimedOut,
                        "Call " + std::to_string(call) + " could not be held for a transfer");
  line_->Dial(consult, number.c_str(), 0);
  return consult;
}

void TOperatorSession::WaitAnswered(long consult, const std::string& number, TDeadline deadline) {
  using enum TSessionError::TKind;
  bool exists = true;
  CORBA::Long state = 0;
  const bool settled = activity_.WaitFor(number_, deadline, [&] {
    exists = line_->GetIsCallExists(consult);
    state = exists ? line_->GetCallState(consult) : 0;
    return !exists || state == kConnected || state == kBusy;
  });
  if (!settled) throw TSessionError(TimedOut, number + " did not answer in time");
  if (!exists) throw TSessionError(Refused, "The consultation with " + number + " ended");
  if (state == kBusy) throw TSessionError(Refused, number + " is busy");
}

long TOperatorSession::ConsultAndWait(long call, const std::string& number, TDeadline deadline) {
  const long consult = Consult(call, number, deadline);
  WaitAnswered(consult, number, deadline);
  return consult;
}

void TOperatorSession::Complete(long call) {
  const CORBA::Long consult = line_->GetConsultCallHandle(call);
  line_->CompleteTransfer(consult != 0 ? consult : call, false);
}

}  // namespace vantrel::client
