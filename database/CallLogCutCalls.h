#pragma once

#include <string>
#include <vector>

#include "CallLogRow.h"
#include "DataConnection.h"

namespace vantrel {

// Calls a crash cut off never got their ending row. The call log keeps, in the same transactions as the rows,
// which calls are open at which line (tq_VantrelOpenCall: a call's first row opens it there, its
// LogCallFinished row closes it), so that the next start can end each of them once.

// The statement that keeps tq_VantrelOpenCall in step with the row, or empty when the row changes nothing there.
std::string OpenCallStatement(const TCallLogRow& row);

// Within the transaction: the ending rows of the calls still open (each a copy of the call's last row at its
// line, as LogCallFinished at endTime), which are no longer open once it commits.
std::vector<TCallLogRow> TakeCutCalls(TDataConnection::TTransaction& statements, const std::string& endTime);

}  // namespace vantrel
