#pragma once

#include <cstdint>

namespace vantrel::platform {

// Milliseconds on a monotonic clock, truncated to 32 bits like the Win32 tick count: it wraps after ~49.7 days.
std::uint32_t GetTickCount();

// Wrap-safe: correct across the 32-bit wrap as long as the interval itself is shorter than ~49.7 days.
constexpr std::uint32_t TicksElapsed(std::uint32_t start, std::uint32_t now) { return now - start; }

}  // namespace vantrel::platform
