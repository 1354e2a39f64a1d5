#include "CallLogCutCalls.h"

#include <set>
#include <utility>

#include "SqlDialect.h"
#include "support/FormatText.h"

namespace vantrel {

namespace {

// The LogEventType values (Parts of the remote catalogue) that begin and end a call at a line.
constexpr int kLogIncomingCall = 1;
constexpr int kLogOutgoingCall = 3;
constexpr int kLogCallFinished = 9;
// More open calls than any exchange holds at once: a table that has more is not ours to empty in one go.
constexpr std::size_t kMostCutCalls = 100000;

}  // namespace

std::string OpenCallStatement(const TCallLogRow& row) {
  if (row.QueueEvent != TQueueEvent::None || row.IsRecording() || row.IsCallback()) return {};
  if (row.CallEventType == kLogIncomingCall || row.CallEventType == kLogOutgoingCall)
    return FormatText("insert into tq_VantrelOpenCall (CallHandle, LinePhoneNumber) values (%s, %s)",
                      {SqlQuoted(row.CallHandle), SqlQuoted(row.LinePhoneNumber)});
  if (row.CallEventType == kLogCallFinished)
    return FormatText("delete from tq_VantrelOpenCall where CallHandle = %s and LinePhoneNumber = %s",
                      {SqlQuoted(row.CallHandle), SqlQuoted(row.LinePhoneNumber)});
  return {};
}

std::vector<TCallLogRow> TakeCutCalls(TDataConnection::TTransaction& statements, const std::string& endTime) {
  std::vector<TCallLogRow> ending;
  std::set<std::pair<std::string, std::string>> seen;
  while (seen.size() < kMostCutCalls) {
    const auto open = statements.QueryFirstRow(
        "select CallHandle, LinePhoneNumber from tq_VantrelOpenCall order by CallHandle, LinePhoneNumber",
        {"CallHandle", "LinePhoneNumber"});
    if (!open || open->size() != 2) break;
    const std::string& key = (*open)[0];
    const std::string& line = (*open)[1];
    statements.Execute(FormatText("delete from tq_VantrelOpenCall where CallHandle = %s and LinePhoneNumber = %s",
                                  {SqlQuoted(key), SqlQuoted(line)}));
    if (!seen.emplace(key, line).second) continue;
    const auto last = statements.QueryFirstRow(
        FormatText("select CallEventType, BeginTime, LineIsOuter, CallerPhoneNumber, CalledPhoneNumber, "
                   "ConnectedPhoneNumber, Operator_id, ParentCallHandle, ConsultCallHandle from tq_VantrelLog "
                   "where CallHandle = %s and LinePhoneNumber = %s order by EventOrder desc",
                   {SqlQuoted(key), SqlQuoted(line)}),
        {"CallEventType", "BeginTime", "LineIsOuter", "CallerPhoneNumber", "CalledPhoneNumber", "ConnectedPhoneNumber",
         "Operator_id", "ParentCallHandle", "ConsultCallHandle"});
    if (!last || last->size() != 9) continue;  // its rows went (a client deleted them): nothing to end
    if (StrToIntDef((*last)[0], 0) == kLogCallFinished) continue;
    TCallLogRow row;
    row.CallEventType = kLogCallFinished;
    row.CallHandle = key;
    row.BeginTime = (*last)[1];
    row.EndTime = endTime;
    row.LinePhoneNumber = line;
    row.LineIsOuter = StrToIntDef((*last)[2], 0);
    row.CallerPhoneNumber = (*last)[3];
    row.CalledPhoneNumber = (*last)[4];
    row.ConnectedPhoneNumber = (*last)[5];
    row.Operator_id = StrToIntDef((*last)[6], 0);
    row.ParentCallHandle = (*last)[7];
    row.ConsultCallHandle = (*last)[8];
    ending.push_back(std::move(row));
  }
  return ending;
}

}  // namespace vantrel
