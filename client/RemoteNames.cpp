#include "RemoteNames.h"

#include <algorithm>
#include <iterator>
#include <map>

#include "support/IniFile.h"

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

std::map<long, std::string> ReadPauseReasons(const std::string& settingsFile) {
  std::map<long, std::string> names;
  const TMemIniFile file(settingsFile);
  const std::string list = file.ReadString("Operators", "PauseReasons", "");
  const auto trim = [](std::string text) {
    const auto first = text.find_first_not_of(" \t");
    const auto last = text.find_last_not_of(" \t");
    return first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
  };
  std::size_t start = 0;
  while (start <= list.size()) {
    const auto end = std::min(list.find(',', start), list.size());
    const std::string entry = list.substr(start, end - start);
    start = end + 1;
    const auto equals = entry.find('=');
    if (equals == std::string::npos) continue;
    const std::string number = trim(entry.substr(0, equals)), name = trim(entry.substr(equals + 1));
    if (number.empty() || number.size() > 6 || number.find_first_not_of("0123456789") != std::string::npos ||
        name.empty())
      continue;
    names[std::stol(number)] = name.substr(0, 64);
  }
  return names;
}

std::string PauseReasonName(const std::map<long, std::string>& names, long reason) {
  if (reason == -1) return "no answer";
  const auto found = names.find(reason);
  if (found != names.end()) return found->second;
  return reason == 0 ? std::string() : "reason " + std::to_string(reason);
}

}  // namespace vantrel
