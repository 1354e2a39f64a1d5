#include "HoldSound.h"

#include <cmath>
#include <numbers>

#include "support/WavSound.h"

namespace vantrel::telephony {

THoldSound THoldSound::Tone() {
  // 425 Hz, a second on and a second off, soft: the European hold tone's pitch.
  THoldSound sound;
  constexpr int kRate = 8000;
  sound.samples_.resize(2 * kRate);
  for (int i = 0; i < kRate; ++i)
    sound.samples_[i] = static_cast<std::int16_t>(4000 * std::sin(2 * std::numbers::pi * 425 * i / kRate));
  return sound;
}

THoldSound THoldSound::Load(const std::string& wavPath, std::string* problem) {
  if (wavPath.empty()) return Tone();
  try {
    THoldSound sound;
    sound.samples_ = ReadTelephoneWav(wavPath).samples;
    sound.samples_.resize(sound.samples_.size() / kFrameSamples * kFrameSamples);
    sound.fromFile_ = true;
    return sound;
  } catch (const TSoundFileError& bad) {
    if (problem != nullptr) *problem = bad.reason();
    return Tone();
  }
}

const std::int16_t* THoldSound::Frame(std::size_t& position) const {
  if (position + kFrameSamples > samples_.size()) position = 0;
  const std::int16_t* frame = samples_.data() + position;
  position += kFrameSamples;
  return frame;
}

}  // namespace vantrel::telephony
