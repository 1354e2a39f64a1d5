#include "PromptPlayback.h"

#include <sstream>
#include <stdexcept>

namespace vantrel::telephony {

TPromptPlayback TPromptPlayback::FromRequest(const std::string& request, const TPromptSet* prompts,
                                             std::vector<std::string>* missing) {
  std::istringstream lines(request);
  std::string verb;
  std::getline(lines, verb);
  TPromptPlayback playback;
  if (verb == "stop") return playback;
  if (verb != "play" || !std::getline(lines, playback.label) || playback.label.empty())
    throw std::invalid_argument("expected \"play\", a label and prompts, or \"stop\"");
  auto sound = std::make_shared<std::vector<std::int16_t>>();
  for (std::string name; std::getline(lines, name);) {
    if (name.empty()) continue;
    const TWavSound* found = prompts == nullptr ? nullptr : prompts->Find(name);
    if (found == nullptr) {
      if (missing != nullptr) missing->push_back(name);
      continue;
    }
    playback.names.push_back(name);
    sound->insert(sound->end(), found->samples.begin(), found->samples.end());
  }
  if (sound->empty()) return playback;
  playback.length = std::chrono::milliseconds(sound->size() * 1000 / 8000);
  playback.sound = std::move(sound);
  playback.start = TClock::now();
  return playback;
}

std::string TPromptPlayback::Request(const std::string& label, const std::vector<std::string>& names) {
  std::string request = "play\n" + label;
  for (const std::string& name : names) request += "\n" + name;
  return request;
}

}  // namespace vantrel::telephony
