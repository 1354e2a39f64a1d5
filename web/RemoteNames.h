// How people read the server's codes: call events, call states, operator states.
#pragma once

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

}  // namespace vantrel
