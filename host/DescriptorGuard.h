#pragma once

#include <cstddef>

namespace vantrel {

// File descriptors of the serving process. The soft limit goes up to the hard one at start. New IIOP connections
// are refused (closed at once) while the process holds more descriptors than all but a reserve: omniORB retries
// a failing accept at once, for ever, so it must never meet the limit there, and the rest of the server (the
// exchange's control socket, SIP, the call log) keeps descriptors to work with.

// Raises the soft limit to the hard one; the limit in force afterwards.
std::size_t RaiseDescriptorLimit();
// The most descriptors the process may hold before IIOP connections are refused, for a limit.
std::size_t IiopDescriptorCeiling(std::size_t limit);
// Installs the refusal in omniORB's accept; once per process.
void LimitIiopConnections();

}  // namespace vantrel
