#include "PromptPlayer.h"

#include <algorithm>

namespace vantrel::telephony {

void TPromptPlayer::Play(TSound sound) {
  if (sound == sound_) return;
  sound_ = std::move(sound);
  position_ = 0;
}

const std::int16_t* TPromptPlayer::NextFrame() {
  const std::size_t left = sound_->size() - position_;
  const std::int16_t* at = sound_->data() + position_;
  position_ += std::min(left, kFrameSamples);
  if (left >= kFrameSamples) return at;
  std::fill(std::copy(at, at + left, last_.begin()), last_.end(), std::int16_t{0});
  return last_.data();
}

}  // namespace vantrel::telephony
