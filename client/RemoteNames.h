// How people read the server's codes: call events, call states, operator states.
#pragma once

#include <map>
#include <optional>
#include <string>

#include "Vantrel.hh"

namespace vantrel {

// "Offering"; "event N" for an event a newer server has and this program does not know.
std::string CallEventName(::CallEventType type);
// "offering", "on hold", ...; "?" for a state not known.
std::string CallStateName(long state);
// "ready", "busy", "pause", "wrap-up"; "?" for a newer server's status.
const char* OperatorStatusText(::OperatorStatus status);
std::optional<::OperatorStatus> OperatorStatusFromText(const std::string& text);

// The names of the pause reasons, from "[Operators] PauseReasons=1=Lunch,2=Training" in the settings file; the
// server keeps the numbers. Entries that are no number and a name are skipped.
std::map<long, std::string> ReadPauseReasons(const std::string& settingsFile);
// "Lunch"; "no answer" for the server's own pause after a routed call rang unanswered; "reason N" unnamed.
std::string PauseReasonName(const std::map<long, std::string>& names, long reason);

}  // namespace vantrel
