#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace vantrel::telephony {

// Prompts played once into a leg, one 20 ms frame at a time (8 kHz linear samples, as THoldSound's frames).
// While it plays the leg hears nothing else: no partner's media and no hold sound. Only the relay's thread and
// its lock touch it.
class TPromptPlayer {
 public:
  static constexpr std::size_t kFrameSamples = 160;
  using TSound = std::shared_ptr<const std::vector<std::int16_t>>;

  // Starts the sound from its beginning unless it is the one already given (null: stops).
  void Play(TSound sound);
  bool Playing() const { return sound_ != nullptr && position_ < sound_->size(); }
  // The next frame (the last one filled up with silence); only while Playing.
  const std::int16_t* NextFrame();

 private:
  TSound sound_;
  std::size_t position_ = 0;
  std::array<std::int16_t, kFrameSamples> last_{};
};

}  // namespace vantrel::telephony
