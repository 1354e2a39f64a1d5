// A known day of a call centre's queue log and call log, as the server's writer writes them, for the report tests:
// Saturday 2026-03-28 with two rules and two operators, a caller offered before midnight and answered after it,
// and two callers on Sunday 2026-03-29 around the change to summer time (Europe/Berlin: 02:00 becomes 03:00).
//
// Rule 1 (service level 20 s): 1 answered in 10 s, 2 in 45 s, 3 gave up after 3 s, 4 after 40 s, 5 overflowed
// after 60 s and was answered at the next action after 80 s, 6 answered in 5 s without waiting, 9 offered 23:59:50
// and answered at 00:00:05 (15 s), 10 answered 03:10:12 on Sunday in 12 s, 11 gave up at 01:50 on Sunday after 8 s.
// Rule 2 (service level 30 s): 7 answered in 25 s, 8 offered 14:14:50, overflowed after 30 s, gave up after 40 s.
// Operator 1 (Anna Berg) answers 1, 5, 7 and 9; operator 2 (Boris Klein) 2, 6 and 10. Each state's end row carries
// its length as the server measures it.
#pragma once

#include <string>
#include <vector>

#include "database/CallLogRow.h"

namespace seeded {

using vantrel::TCallLogRow;
using vantrel::TQueueEvent;

inline TCallLogRow QueueRow(TQueueEvent event, const std::string& time, const std::string& key, long rule,
                            long operatorID, long seconds, long reason = 0) {
  TCallLogRow row;
  row.QueueEvent = event;
  row.BeginTime = time;
  row.CallHandle = key;
  row.Rule_id = rule;
  row.Operator_id = operatorID;
  row.Seconds = seconds;
  row.Reason = reason;
  row.LinePhoneNumber = key.empty() ? (operatorID == 1 ? "201" : "202") : "101";
  row.ConnectedPhoneNumber = operatorID == 0 ? "" : (operatorID == 1 ? "201" : "202");
  row.CallerPhoneNumber = key.empty() ? "" : "555" + key.substr(key.size() - 4);
  return row;
}

inline TCallLogRow CallRow(int type, const std::string& time, const std::string& key, long operatorID) {
  TCallLogRow row;
  row.CallEventType = type;
  row.CallHandle = key;
  row.BeginTime = "2026-03-28 09:00:30";
  row.EndTime = time;
  row.LinePhoneNumber = "201";
  row.Operator_id = operatorID;
  return row;
}

// In the order the server would write them.
inline std::vector<TCallLogRow> Rows() {
  using E = TQueueEvent;
  const auto key = [](int call) { return "20260328000000-" + std::to_string(1000 + call); };
  return {
      QueueRow(E::OperatorLoggedIn, "2026-03-28 08:55:00", "", 0, 1, 0),
      QueueRow(E::Entered, "2026-03-28 09:00:00", key(1), 1, 0, 0),
      QueueRow(E::OperatorLoggedIn, "2026-03-28 09:05:00", "", 0, 2, 0),
      QueueRow(E::Connected, "2026-03-28 09:00:10", key(1), 1, 1, 10),
      // Anna holds call 1 twice: 40 s, and 30 s until it ends.
      CallRow(2, "2026-03-28 09:00:30", "20260328090030-77", 1),
      CallRow(6, "2026-03-28 09:01:00", "20260328090030-77", 1),
      CallRow(8, "2026-03-28 09:01:40", "20260328090030-77", 1),
      CallRow(6, "2026-03-28 09:02:00", "20260328090030-77", 1),
      CallRow(9, "2026-03-28 09:02:30", "20260328090030-77", 1),
      QueueRow(E::CallEnded, "2026-03-28 09:03:10", "", 1, 1, 180),
      QueueRow(E::OperatorWrapUp, "2026-03-28 09:03:10", "", 1, 1, 0),
      QueueRow(E::OperatorWrapUpEnded, "2026-03-28 09:03:40", "", 1, 1, 30),
      QueueRow(E::OperatorResumed, "2026-03-28 09:03:40", "", 0, 1, 0),
      QueueRow(E::Entered, "2026-03-28 09:10:00", key(2), 1, 0, 0),
      QueueRow(E::Connected, "2026-03-28 09:10:45", key(2), 1, 2, 45),
      QueueRow(E::CallEnded, "2026-03-28 09:12:45", "", 1, 2, 120),
      QueueRow(E::OperatorWrapUp, "2026-03-28 09:12:45", "", 1, 2, 0),
      QueueRow(E::OperatorWrapUpEnded, "2026-03-28 09:13:05", "", 1, 2, 20),
      QueueRow(E::OperatorResumed, "2026-03-28 09:13:05", "", 0, 2, 0),
      QueueRow(E::Entered, "2026-03-28 09:20:00", key(3), 1, 0, 0),
      QueueRow(E::Abandoned, "2026-03-28 09:20:03", key(3), 1, 0, 3),
      QueueRow(E::Entered, "2026-03-28 09:25:00", key(4), 1, 0, 0),
      QueueRow(E::Abandoned, "2026-03-28 09:25:40", key(4), 1, 0, 40),
      QueueRow(E::Entered, "2026-03-28 09:40:00", key(5), 1, 0, 0),
      QueueRow(E::Overflowed, "2026-03-28 09:41:00", key(5), 1, 0, 60),
      QueueRow(E::Connected, "2026-03-28 09:41:20", key(5), 1, 1, 80),
      QueueRow(E::CallEnded, "2026-03-28 09:42:20", "", 1, 1, 60),
      QueueRow(E::Entered, "2026-03-28 09:50:00", key(7), 2, 0, 0),
      QueueRow(E::Connected, "2026-03-28 09:50:25", key(7), 2, 1, 25),
      QueueRow(E::CallEnded, "2026-03-28 09:55:25", "", 2, 1, 300),
      QueueRow(E::Connected, "2026-03-28 10:05:05", key(6), 1, 2, 5),
      QueueRow(E::CallEnded, "2026-03-28 10:06:05", "", 1, 2, 60),
      QueueRow(E::OperatorPaused, "2026-03-28 11:00:00", "", 0, 1, 0, 5),
      QueueRow(E::OperatorPauseEnded, "2026-03-28 11:15:00", "", 0, 1, 900, 5),
      QueueRow(E::OperatorResumed, "2026-03-28 11:15:00", "", 0, 1, 0),
      QueueRow(E::OperatorPaused, "2026-03-28 12:00:00", "", 0, 1, 0, 7),
      QueueRow(E::OperatorPauseEnded, "2026-03-28 12:30:00", "", 0, 1, 1800, 7),
      QueueRow(E::OperatorResumed, "2026-03-28 12:30:00", "", 0, 1, 0),
      QueueRow(E::OperatorBusy, "2026-03-28 13:00:00", "", 0, 1, 0),
      QueueRow(E::OperatorBusyEnded, "2026-03-28 13:10:00", "", 0, 1, 600),
      QueueRow(E::OperatorResumed, "2026-03-28 13:10:00", "", 0, 1, 0),
      QueueRow(E::Entered, "2026-03-28 14:14:50", key(8), 2, 0, 0),
      QueueRow(E::Overflowed, "2026-03-28 14:15:20", key(8), 2, 0, 30),
      QueueRow(E::Abandoned, "2026-03-28 14:15:30", key(8), 2, 0, 40),
      QueueRow(E::OperatorPaused, "2026-03-28 16:00:00", "", 0, 2, 0, 5),
      QueueRow(E::OperatorLoggedOut, "2026-03-28 17:00:00", "", 0, 1, 29100),
      QueueRow(E::OperatorPauseEnded, "2026-03-28 18:30:00", "", 0, 2, 9000, 5),
      QueueRow(E::OperatorLoggedOut, "2026-03-28 18:30:00", "", 0, 2, 33900),
      QueueRow(E::OperatorLoggedIn, "2026-03-28 23:50:00", "", 0, 1, 0),
      QueueRow(E::Entered, "2026-03-28 23:59:50", key(9), 1, 0, 0),
      QueueRow(E::Connected, "2026-03-29 00:00:05", key(9), 1, 1, 15),
      QueueRow(E::CallEnded, "2026-03-29 00:01:05", "", 1, 1, 60),
      QueueRow(E::OperatorLoggedOut, "2026-03-29 00:30:00", "", 0, 1, 2400),
      QueueRow(E::Abandoned, "2026-03-29 01:50:00", key(11), 1, 0, 8),
      QueueRow(E::OperatorLoggedIn, "2026-03-29 01:55:00", "", 0, 2, 0),
      QueueRow(E::Entered, "2026-03-29 03:10:00", key(10), 1, 0, 0),
      QueueRow(E::Connected, "2026-03-29 03:10:12", key(10), 1, 2, 12),
      // 01:55 to 03:20 by the clock, 25 minutes by the server's: the clock skipped an hour between.
      QueueRow(E::OperatorLoggedOut, "2026-03-29 03:20:00", "", 0, 2, 1500),
  };
}

}  // namespace seeded
