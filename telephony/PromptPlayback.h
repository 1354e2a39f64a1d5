#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "support/PromptSet.h"

namespace vantrel::telephony {

// What the exchange plays to one party on a line's request: a few prompts one after the other, once. The
// request is the text of lineDevSpecific: "play", the label that says what the party hears ("welcome",
// "position 3"), then the prompts' names, one a line; or "stop".
struct TPromptPlayback {
  using TClock = std::chrono::steady_clock;

  std::string label;
  std::vector<std::string> names;                             // the prompts found, in order
  std::shared_ptr<const std::vector<std::int16_t>> sound;     // theirs one after the other, 8 kHz; null when none
  TClock::time_point start;
  std::chrono::milliseconds length{0};

  bool PlayingAt(TClock::time_point now) const { return sound != nullptr && now < start + length; }

  // The playback a request asks for, started now; a prompt the set lacks is skipped, its name in *missing.
  // Throws std::invalid_argument for a request that is neither.
  static TPromptPlayback FromRequest(const std::string& request, const TPromptSet* prompts,
                                     std::vector<std::string>* missing);
  // The request a line sends for the prompts under the label.
  static std::string Request(const std::string& label, const std::vector<std::string>& names);
};

}  // namespace vantrel::telephony
