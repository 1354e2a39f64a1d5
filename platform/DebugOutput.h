#pragma once

#include <string_view>

namespace vantrel::platform {

// The debugger-output channel: one line to stderr when VANTREL_DEBUG=1 is set, nothing otherwise.
void OutputDebugText(std::string_view text);
// Whether VANTREL_DEBUG=1 is set: what only that channel wants is not even made otherwise.
bool DebugOutputOn();

}  // namespace vantrel::platform
