#include "RemoteNames.h"

#include <iterator>
#include <map>

namespace vantrel {

namespace {
const char* const kEventNames[] = {"Accepted",
                                   "Busy",
                                   "CallBegin",
                                   "CallDeallocate",
                                   "CalledID",
                                   "CallEnd",
                                   "CallerID",
                                   "CallInfo",
                                   "CallPrivilege",
                                   "CallState",
                                   "Conferenced",
                                   "Connected",
                                   "ConnectedID",
                                   "Dialing",
                                   "Dialtone",
                                   "Disconnected",
                                   "Generate",
                                   "Hold",
                                   "HoldPendConf",
                                   "Idle",
                                   "MediaMode",
                                   "NewCall",
                                   "Offering",
                                   "HoldPendTrans",
                                   "Proceeding",
                                   "RedirectingID",
                                   "RedirectionID",
                                   "Ring",
                                   "Ringback",
                                   "Silence",
                                   "SpecialInfo",
                                   "Tone",
                                   "Digit",
                                   "Digits",
                                   "Handset",
                                   "IncomingCall",
                                   "IncomingCallConnected",
                                   "OutgoingCall",
                                   "OutgoingCallConnected",
                                   "OutgoingCallBusy",
                                   "HoldCall",
                                   "TransferCall",
                                   "UnholdCall",
                                   "CallFinished",
                                   "AddressState",
                                   "ForwardState"};

const char* const kStatusNames[] = {"ready", "busy", "pause", "wrap-up"};
}  // namespace

std::string CallEventName(::CallEventType type) {
  const auto index = static_cast<std::size_t>(type);
  return index < std::size(kEventNames) ? kEventNames[index] : "event " + std::to_string(index);
}

std::string CallStateName(long state) {
  static const std::map<long, const char*> names = {{0x1, "idle"},
                                                    {0x2, "offering"},
                                                    {0x4, "accepted"},
                                                    {0x8, "dial tone"},
                                                    {0x10, "dialling"},
                                                    {0x20, "ringback"},
                                                    {0x40, "busy"},
                                                    {0x80, "special info"},
                                                    {0x100, "connected"},
                                                    {0x200, "proceeding"},
                                                    {0x400, "on hold"},
                                                    {0x800, "conferenced"},
                                                    {0x1000, "held (conference)"},
                                                    {0x2000, "held (transfer)"},
                                                    {0x4000, "disconnected"}};
  const auto found = names.find(state);
  return found == names.end() ? "?" : found->second;
}

const char* OperatorStatusText(::OperatorStatus status) {
  const auto index = static_cast<std::size_t>(status);
  return index < std::size(kStatusNames) ? kStatusNames[index] : "?";
}

std::optional<::OperatorStatus> OperatorStatusFromText(const std::string& text) {
  for (std::size_t i = 0; i < std::size(kStatusNames); ++i)
    if (text == kStatusNames[i]) return static_cast<::OperatorStatus>(i);
  return std::nullopt;
}

}  // namespace vantrel
