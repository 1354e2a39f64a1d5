// The conference at a line's station as the queue log tells it: a row for each party that joins and leaves.
#include <chrono>

#include "LineLib.h"
#include "model/DatabaseLib.h"
#include "model/Servant.h"
#include "support/DateTime.h"
#include "support/VantrelCommonRoutines.h"

namespace vantrel {

using telephony::TTapiCall;

void TLine_Impl::ConferenceJoined(CORBA::Long call) {
  TTapiCall* found = GetCallByHandle(call);
  if (found == nullptr || found->State() != LINECALLSTATE_CONFERENCED) return;
  // Keyed as the call log keys the call the conference grew from.
  const auto entry = TCallsHistoryList::FromCall(*found);
  const TDateTime begin = entry.BeginTime != 0 ? entry.BeginTime : NowLocal();
  CORBA::String_var party = GetConnectedID(call), station = GetDevicePhoneNumber();
  const std::string number = party.in()[0] != '\0' ? std::string(party.in()) : entry.CallerID;
  for (const auto& row : conference_.Joined(call, DateTimeText(begin, true) + "-" + std::to_string(call), number,
                                            station.in(), std::chrono::steady_clock::now())) {
    LogFormat("Conference: %s joins at line %s (%d parties)", {row.party, Name(), row.parties});
    ConferenceQueueRow(TQueueEvent::ConferenceJoined, row);
  }
}

void TLine_Impl::ConferenceLeft(CORBA::Long call) {
  if (!conference_.IsMember(call)) return;
  // The steps are remote operations too: only a call that really left counts.
  if (TTapiCall* found = GetCallByHandle(call)) {
    found->CallStatus.Invalidate();
    if (found->State() == LINECALLSTATE_CONFERENCED) return;
  }
  for (const auto& row : conference_.Left(call, std::chrono::steady_clock::now())) {
    LogFormat("Conference: %s leaves at line %s after %d s (%d parties)", {row.party, Name(), row.seconds, row.parties});
    ConferenceQueueRow(TQueueEvent::ConferenceLeft, row);
  }
}

void TLine_Impl::ConferenceQueueRow(TQueueEvent event, const TConferenceParties::TRow& party) {
  TCallLogRow row;
  row.QueueEvent = event;
  row.CallHandle = party.key;
  row.CallerPhoneNumber = party.party;
  row.Seconds = party.seconds;
  row.Reason = party.parties;
  WriteStationQueueRow(std::move(row), "TLine_Impl.ConferenceQueueRow");
}

}  // namespace vantrel
