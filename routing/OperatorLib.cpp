#include "OperatorLib.h"

#include "model/DatabaseLib.h"
#include "model/Servant.h"
#include "support/DateTime.h"
#include "support/FormatText.h"
#include "support/ProcessState.h"
#include "support/VantrelCommonRoutines.h"

namespace vantrel {

namespace {

const char* OperatorStatusName(::OperatorStatus status) {
  switch (status) {
    case ::OperatorReady:
      return "Ready";
    case ::OperatorBusy:
      return "Busy";
    case ::OperatorPause:
      return "Pause";
    case ::OperatorWrapUp:
      return "WrapUp";
    default:
      return "Unknown";
  }
}

}  // namespace

TOperator_Impl::TOperator_Impl() : loginTime_(DateTimeToServerDateTime(NowLocal())) {
  LogMessage("TOperator_Impl.Create()");
}

TOperator_Impl::~TOperator_Impl() { LogMessage("TOperator_Impl.Destroy()"); }

::OperatorStatus TOperator_Impl::GetStatus() {
  std::lock_guard lock(operatorMutex_);
  return status_;
}

void TOperator_Impl::SetStatus(::OperatorStatus status) {
  const CORBA::Long id = GetID();
  CORBA::Long reason;
  CORBA::Long wrapUpRule;
  TEndedState ended;
  {
    std::lock_guard lock(operatorMutex_);
    if (status_ == status) return;
    LogFormat("operator %d: %s -> %s",
              {static_cast<long>(id), OperatorStatusName(status_), OperatorStatusName(status)});
    const auto now = std::chrono::steady_clock::now();
    ended = EndStateLocked(now);
    status_ = status;
    statusSince_ = now;
    if (status != ::OperatorPause) pauseReason_ = 0;
    reason = pauseReason_;
    wrapUpRule = wrapUpRule_;
    wrapUpRule_ = 0;
    if (status == ::OperatorWrapUp) activeWrapUpRule_ = wrapUpRule;
  }
  WriteEndedState(ended);
  if (status == ::OperatorPause) {
    WriteQueueLog(TQueueEvent::OperatorPaused, reason);
  } else if (status == ::OperatorWrapUp) {
    // The rule whose call is wrapped up: the reports give each rule its after-call work.
    CORBA::String_var phone = GetLinePhoneNumber();
    WriteQueueLog(TQueueEvent::OperatorWrapUp, 0, phone.in(), wrapUpRule, 0);
  } else if (status == ::OperatorBusy) {
    WriteQueueLog(TQueueEvent::OperatorBusy, 0);
  } else if (status == ::OperatorReady) {
    WriteQueueLog(TQueueEvent::OperatorResumed, 0);
  }
  Guarded("TOperator_Impl.SetStatus", [&] {
    ::Line_var line = GetLine();
    if (CORBA::is_nil(line)) return;
    if (status == ::OperatorBusy || status == ::OperatorPause) {
      if (!line->GetDND()) line->SetDND(true);
    } else {
      line->SetDND(false);
    }
  });
  DoChange();
}

::Line_ptr TOperator_Impl::GetLine() {
  std::lock_guard lock(operatorMutex_);
  return ::Line::_duplicate(line_);
}

void TOperator_Impl::StoreLine(::Line_ptr line) {
  std::lock_guard lock(operatorMutex_);
  line_ = ::Line::_duplicate(line);
}

void TOperator_Impl::SetLine(::Line_ptr newLine) {
  Guarded("TOperator_Impl.SetLine", [&] {
    ::Line_var line = GetLine();
    if (!CORBA::is_nil(line) && !CORBA::is_nil(newLine) && line->GetID() == newLine->GetID()) return;
    if (!CORBA::is_nil(line)) line->SetOperator(::Operator::_nil());
    // Always the server's own Line object, also when a client handed in a reference of its own.
    ::Line_var own;
    if (!CORBA::is_nil(newLine)) {
      ::Lines_var lines = GetLines();
      if (!CORBA::is_nil(lines)) {
        ::ContainerItem_var listed = lines->GetItemByID(newLine->GetID());
        own = ::Line::_narrow(listed);
      }
    }
    if (!CORBA::is_nil(own) && DistributedServer()) {
      // One operator a line: whoever sat there before is logged out, as an earlier login of one employee is.
      const CORBA::Long seatedID = own->GetOperatorID();
      ::Operators_var operators = GetOperators();
      if (seatedID != -1 && seatedID != GetID() && !CORBA::is_nil(operators)) {
        ::ContainerItem_var seated = operators->GetItemByID(seatedID);
        if (!CORBA::is_nil(seated)) operators->DeleteItem(seated);
      }
    }
    // The queue log's logins and logouts give the reports their logged-in time; a move to another line is a logout
    // and a login. A logout ends the state the operator is in; a login starts it again.
    if (!CORBA::is_nil(line)) {
      CORBA::String_var left = line->GetDevicePhoneNumber();
      TEndedState ended;
      long loggedIn = 0;
      {
        std::lock_guard lock(operatorMutex_);
        const auto now = std::chrono::steady_clock::now();
        ended = EndStateLocked(now);
        loggedIn = static_cast<long>(std::chrono::duration_cast<std::chrono::seconds>(now - loginSince_).count());
      }
      WriteEndedState(ended);
      WriteQueueLog(TQueueEvent::OperatorLoggedOut, 0, left.in(), 0, loggedIn);
    }
    StoreLine(own);
    if (!CORBA::is_nil(own)) {
      ::OperatorStatus status;
      CORBA::Long reason, rule;
      {
        std::lock_guard lock(operatorMutex_);
        loginSince_ = stateSince_ = std::chrono::steady_clock::now();
        status = status_;
        reason = pauseReason_;
        rule = activeWrapUpRule_;
      }
      WriteQueueLog(TQueueEvent::OperatorLoggedIn, 0);
      CORBA::String_var phone = own->GetDevicePhoneNumber();
      if (status == ::OperatorPause) WriteQueueLog(TQueueEvent::OperatorPaused, reason);
      if (status == ::OperatorWrapUp) WriteQueueLog(TQueueEvent::OperatorWrapUp, 0, phone.in(), rule, 0);
      if (status == ::OperatorBusy) WriteQueueLog(TQueueEvent::OperatorBusy, 0);
    }
    if (!CORBA::is_nil(own)) {
      ::Operators_var operators = GetOperators();
      ::Operator_var self;
      if (!CORBA::is_nil(operators)) {
        ::ContainerItem_var listed = operators->GetItemByID(GetID());
        self = ::Operator::_narrow(listed);
      }
      own->SetOperator(self);
    }
    DoChange();
  });
}

void TOperator_Impl::SetLineID(CORBA::Long lineID) {
  Guarded("TOperator_Impl.SetLineID", [&] {
    ::Lines_var lines = GetLines();
    if (CORBA::is_nil(lines)) {
      StoreLine(::Line::_nil());
      return;
    }
    ::ContainerItem_var listed = lines->GetItemByID(lineID);
    ::Line_var line = ::Line::_narrow(listed);
    SetLine(line);
  });
}

CORBA::Long TOperator_Impl::GetLineID() {
  return Guarded("TOperator_Impl.GetLineID", CORBA::Long(-1), [&] {
    ::Line_var line = GetLine();
    return CORBA::is_nil(line) ? CORBA::Long(-1) : line->GetID();
  });
}

char* TOperator_Impl::GetLineName() {
  return GuardedText("TOperator_Impl.GetLineName", [&] {
    ::Line_var line = GetLine();
    return CORBA::is_nil(line) ? CORBA::string_dup("") : line->GetObjectName();
  });
}

char* TOperator_Impl::GetLinePhoneNumber() {
  return GuardedText("TOperator_Impl.GetLinePhoneNumber", [&] {
    ::Line_var line = GetLine();
    return CORBA::is_nil(line) ? CORBA::string_dup("") : line->GetDevicePhoneNumber();
  });
}

void TOperator_Impl::SetComputerName(const char* name) {
  {
    std::lock_guard lock(operatorMutex_);
    if (computerName_ == name) return;
    computerName_ = name;
  }
  DoChange();
}

char* TOperator_Impl::GetComputerName() {
  std::lock_guard lock(operatorMutex_);
  return CORBA::string_dup(computerName_.c_str());
}

void TOperator_Impl::SetCallsCount(CORBA::Long count) {
  std::lock_guard lock(operatorMutex_);
  callsCount_ = count;
}

CORBA::Long TOperator_Impl::GetCallsCount() {
  std::lock_guard lock(operatorMutex_);
  return callsCount_;
}

CORBA::Long TOperator_Impl::GetPauseReason() {
  std::lock_guard lock(operatorMutex_);
  return pauseReason_;
}

void TOperator_Impl::SetPauseReason(CORBA::Long reason) {
  bool paused = false;
  TEndedState ended;
  {
    std::lock_guard lock(operatorMutex_);
    if (pauseReason_ == reason) return;
    paused = status_ == ::OperatorPause;
    if (paused) ended = EndStateLocked(std::chrono::steady_clock::now());
    pauseReason_ = reason;
  }
  if (paused) {
    WriteEndedState(ended);  // the pause of the old reason
    WriteQueueLog(TQueueEvent::OperatorPaused, reason);  // the reason is the news
  }
  DoChange();
}

void TOperator_Impl::WriteQueueLog(TQueueEvent event, CORBA::Long reason) {
  CORBA::String_var phone = GetLinePhoneNumber();
  WriteQueueLog(event, reason, phone.in(), 0, 0);
}

void TOperator_Impl::WriteQueueLog(TQueueEvent event, CORBA::Long reason, const std::string& phone, long rule,
                                   long seconds) {
  Guarded("TOperator_Impl.WriteQueueLog", [&] {
    const ::Database_var database = GetDatabase();
    const TLocalServant<TDatabase_Impl> callLog{database.in()};
    if (!callLog) return;
    TCallLogRow row;
    row.QueueEvent = event;
    row.BeginTime = DateTimeText(NowLocal(), false);
    row.LinePhoneNumber = phone;
    row.ConnectedPhoneNumber = phone;
    row.Operator_id = GetID();
    row.Rule_id = rule;
    row.Seconds = seconds;
    row.Reason = reason;
    std::string error;
    // Without a CRM connection there is no queue log to keep.
    callLog->AcceptCallLogRow(std::move(row), error);
  });
}

TOperator_Impl::TEndedState TOperator_Impl::EndStateLocked(std::chrono::steady_clock::time_point now) {
  TEndedState ended;
  ended.seconds = static_cast<long>(std::chrono::duration_cast<std::chrono::seconds>(now - stateSince_).count());
  stateSince_ = now;
  switch (status_) {
    case ::OperatorPause:
      ended.event = TQueueEvent::OperatorPauseEnded;
      ended.reason = pauseReason_;
      break;
    case ::OperatorWrapUp:
      ended.event = TQueueEvent::OperatorWrapUpEnded;
      ended.rule = activeWrapUpRule_;
      break;
    case ::OperatorBusy:
      ended.event = TQueueEvent::OperatorBusyEnded;
      break;
    default:
      break;
  }
  return ended;
}

void TOperator_Impl::WriteEndedState(const TEndedState& ended) {
  if (ended.event == TQueueEvent::None) return;
  CORBA::String_var phone = GetLinePhoneNumber();
  WriteQueueLog(ended.event, ended.reason, phone.in(), ended.rule, ended.seconds);
}

CORBA::Long TOperator_Impl::GetStatusSeconds() {
  std::lock_guard lock(operatorMutex_);
  return static_cast<CORBA::Long>(
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - statusSince_).count());
}

void TOperator_Impl::NoteRoutedCallAnswered(CORBA::Long rule, int wrapUpSeconds) {
  std::lock_guard lock(operatorMutex_);
  routedRule_ = rule;
  routedAnswered_ = std::chrono::steady_clock::now();
  routedWrapUp_ = wrapUpSeconds;
}

std::optional<TOperator_Impl::TRoutedTalk> TOperator_Impl::NoteCallEnded() {
  const auto now = std::chrono::steady_clock::now();
  std::optional<TRoutedTalk> talk;
  int wrapUp = 0;
  {
    std::lock_guard lock(operatorMutex_);
    lastCallEnded_ = now;
    if (routedRule_ < 0) return talk;
    talk = TRoutedTalk{routedRule_, std::chrono::duration<double>(now - routedAnswered_).count()};
    wrapUp = routedWrapUp_;
    routedRule_ = -1;
    // Only a ready operator wraps up: one who paused or went busy meanwhile stays so.
    if (wrapUp > 0 && status_ == ::OperatorReady) {
      wrapUpEnds_ = now + std::chrono::seconds(wrapUp);
      wrapUpRule_ = talk->rule;
    } else {
      wrapUp = 0;
    }
  }
  // Whole seconds, as the queue log's other rows have them.
  CORBA::String_var phone = GetLinePhoneNumber();
  WriteQueueLog(TQueueEvent::CallEnded, 0, phone.in(), talk->rule, static_cast<long>(talk->seconds + 0.5));
  if (wrapUp > 0) SetStatus(::OperatorWrapUp);
  return talk;
}

void TOperator_Impl::Reserve() {
  std::lock_guard lock(operatorMutex_);
  reservedUntil_ = std::chrono::steady_clock::now() + std::chrono::minutes(1);
}

void TOperator_Impl::Unreserve() {
  std::lock_guard lock(operatorMutex_);
  reservedUntil_ = {};
}

bool TOperator_Impl::Reserved() const {
  std::lock_guard lock(operatorMutex_);
  return std::chrono::steady_clock::now() < reservedUntil_;
}

void TOperator_Impl::EndWrapUpIfDue() {
  {
    std::lock_guard lock(operatorMutex_);
    if (status_ != ::OperatorWrapUp || std::chrono::steady_clock::now() < wrapUpEnds_) return;
  }
  SetStatus(::OperatorReady);
}

std::chrono::steady_clock::time_point TOperator_Impl::LastCallEnded() const {
  std::lock_guard lock(operatorMutex_);
  return lastCallEnded_;
}

CORBA::Long TOperator_Impl::IncCallsCount() {
  std::lock_guard lock(operatorMutex_);
  return ++callsCount_;
}

void TOperator_Impl::SetLoginTime(const ::ServerDateTime& time) {
  std::lock_guard lock(operatorMutex_);
  if (ServerDateTimeToDateTime(time) != ServerDateTimeToDateTime(loginTime_)) loginTime_ = time;
}

::ServerDateTime TOperator_Impl::GetLoginTime() {
  std::lock_guard lock(operatorMutex_);
  return loginTime_;
}

CORBA::Boolean TOperator_Impl::GetIsInGroup(CORBA::Long groupID) {
  return Guarded("TOperator_Impl.GetIsInGroup", false, [&] {
    ::Database_var database = GetConnectedDatabase();
    if (CORBA::is_nil(database)) return false;
    const std::string sql =
        FormatText("select ID from tq_ContactInGroup where Contact_id = %d and Group_id = %d", {GetID(), groupID});
    CORBA::String_var value;
    return static_cast<bool>(database->GetFieldValue(sql.c_str(), "ID", value.out()));
  });
}

void TOperator_Impl::SetID(CORBA::Long id) {
  Guarded("TOperator_Impl.SetID", [&] {
    // A second login of one employee replaces the earlier Operator, this one included when it bears the ID.
    for (;;) {
      ::Container_var container = GetContainer();
      if (CORBA::is_nil(container)) break;
      ::ContainerItem_var listed = container->GetItemByID(id);
      if (CORBA::is_nil(listed)) break;
      if (!container->DeleteItem(listed)) break;
    }
  });
  TContainerItem_Impl::SetID(id);
}

CORBA::Boolean TOperator_Impl::AssignFrom(::Base_ptr) { return false; }

void TOperator_Impl::DisposeOfStaleListener() {
  Guarded("TOperator_Impl.DisposeOfStaleListener", [&] {
    ::Container_var container = GetContainer();
    if (CORBA::is_nil(container)) return;
    ::ContainerItem_var self = container->GetItemByID(GetID());
    if (!CORBA::is_nil(self)) container->DeleteItem(self);
  });
}

}  // namespace vantrel
