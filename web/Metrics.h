#pragma once

#include <cstddef>
#include <string>

#include "LiveState.h"

namespace vantrel::web {

// The state in the Prometheus text format.
std::string MetricsText(const TLiveState& state, std::size_t webClients);

}  // namespace vantrel::web
