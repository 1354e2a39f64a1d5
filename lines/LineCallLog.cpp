#include "LineLib.h"

#include "lines/LineInternal.h"
#include "model/DatabaseLib.h"
#include "model/Servant.h"
#include "support/VantrelCommonRoutines.h"

namespace vantrel {

using telephony::TTapiCall;
using telephony::TTapiLine;
using telephony::TTelephonyThread;

// ---- the call log ----

CORBA::Boolean TLine_Impl::WriteLog(::LogEventType eventType, CORBA::Long handle, CORBA::Long taskID) {
  const auto entry = history_.GetItem(handle);
  if (!entry) return false;
  const ::Database_var database = GetDatabase();
  const TLocalServant<TDatabase_Impl> callLog{database.in()};
  if (!callLog) return false;
  // The row is made here, in the order of the line's events, and handed over: the database is never waited for.
  return OnLine("TLine_Impl.WriteLog", false, [&] {
    const TDateTime now = NowLocal();
    const TDateTime begin = entry->BeginTime != 0 ? entry->BeginTime : now;
    const std::string stamp = DateTimeText(begin, true);  // the begin second keys its related calls too
    CORBA::String_var linePhoneNumber = GetDevicePhoneNumber();
    const CORBA::Long parent = GetParentCallHandle(handle);
    const CORBA::Long consult = GetConsultCallHandle(handle);
    ::Operator_var seated = GetOperator();
    TCallLogRow row;
    row.CallEventType = static_cast<int>(eventType);
    row.CallHandle = stamp + "-" + std::to_string(handle);
    row.BeginTime = DateTimeText(begin, false);
    row.EndTime = DateTimeText(now, false);
    row.LinePhoneNumber = linePhoneNumber.in();
    row.LineIsOuter = GetIsOuter() ? 1 : 0;
    row.CallerPhoneNumber = entry->CallerID;
    row.CalledPhoneNumber = entry->CalledID;
    row.ConnectedPhoneNumber = entry->ConnectedID;
    row.Operator_id = CORBA::is_nil(seated) ? 0 : GetOperatorID();
    row.Task_id = taskID;
    row.ParentCallHandle = parent != 0 ? stamp + "-" + std::to_string(parent) : std::string();
    row.ConsultCallHandle = consult != 0 ? stamp + "-" + std::to_string(consult) : std::string();
    std::string error;
    if (!callLog->AcceptCallLogRow(std::move(row), error)) {
      DoError("TLine_Impl.WriteLog", error.c_str());
      return false;
    }
    return true;
  });
}

void TLine_Impl::CallKeyed(CORBA::Long call, TCallLogRow& row) {
  const auto entry = history_.GetItem(call);
  const TDateTime begin = entry && entry->BeginTime != 0 ? entry->BeginTime : NowLocal();
  row.CallHandle = DateTimeText(begin, true) + "-" + std::to_string(call);
  row.CallerPhoneNumber = entry ? entry->CallerID : std::string();
}

void TLine_Impl::WriteStationQueueRow(TCallLogRow row, const char* where) {
  CORBA::String_var linePhoneNumber = GetDevicePhoneNumber();
  ::Operator_var seated = GetOperator();
  row.BeginTime = DateTimeText(NowLocal(), false);
  row.LinePhoneNumber = linePhoneNumber.in();
  if (row.ConnectedPhoneNumber.empty()) row.ConnectedPhoneNumber = linePhoneNumber.in();
  row.Operator_id = CORBA::is_nil(seated) ? 0 : GetOperatorID();
  AcceptLogRow(std::move(row), where);
}

bool TLine_Impl::AcceptLogRow(TCallLogRow row, const char* where) {
  const ::Database_var database = GetDatabase();
  const TLocalServant<TDatabase_Impl> callLog{database.in()};
  if (!callLog) return false;
  std::string error;
  if (callLog->AcceptCallLogRow(std::move(row), error)) return true;
  DoError(where, error.c_str());
  return false;
}

}  // namespace vantrel
