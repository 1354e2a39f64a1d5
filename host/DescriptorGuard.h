#pragma once

#include <cstddef>

namespace vantrel {

// File descriptors of the serving process. The soft limit goes up to the hard one at start. omniORB retries a
// failing accept at once, for ever, so its accept must never meet the limit; the rest of the server (the
// exchange's control socket, SIP, the call log) keeps descriptors to work with.
//
// The ORB's listeners queue at most kIiopBacklog connections. Once the descriptors in use and a full queue no
// longer fit below the ceiling, the server refuses IIOP: the listeners stop answering new connections (a socket
// filter drops them, so clients wait and retry as TCP does), and what the ORB still takes from its queue is
// closed at once. It takes connections again once enough of them went.

inline constexpr int kIiopBacklog = 64;

// Raises the soft limit to the hard one; the limit in force afterwards.
std::size_t RaiseDescriptorLimit();
// The most descriptors the process may hold before IIOP connections are refused, for a limit.
std::size_t IiopDescriptorCeiling(std::size_t limit);
// Installs the refusal for the ORB's listeners on the port (0: every TCP listener the process has now); once
// per process, after the ORB opened its endpoints.
void LimitIiopConnections(int port);

}  // namespace vantrel
