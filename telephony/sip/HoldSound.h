#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vantrel::telephony {

// What a caller held by the server, or waiting in a queue, hears: a WAV file (8 kHz, 16-bit, mono PCM) when
// one is given and readable, else a generated tone. Played in a loop, one 20 ms frame at a time.
class THoldSound {
 public:
  static constexpr std::size_t kFrameSamples = 160;

  // The file's sound, or the tone when the path is empty or the file does not suit (the reason in *problem).
  static THoldSound Load(const std::string& wavPath, std::string* problem);
  static THoldSound Tone();

  // The frame at the position, which advances and wraps.
  const std::int16_t* Frame(std::size_t& position) const;
  bool FromFile() const { return fromFile_; }

 private:
  std::vector<std::int16_t> samples_;  // a whole number of frames
  bool fromFile_ = false;
};

}  // namespace vantrel::telephony
