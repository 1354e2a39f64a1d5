#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace vantrel {

// Sound as the exchange plays it: 16-bit linear PCM, one channel, at a sample rate.
struct TWavSound {
  int rate = 0;
  std::vector<std::int16_t> samples;
};

// A RIFF/WAVE file's sound: 16-bit PCM, one channel, any rate. Throws std::runtime_error saying what is wrong
// ("is not a WAV file", "is not 16-bit mono PCM", ...), without the file's name.
TWavSound ParseWav(std::string_view bytes);
// A sound file that cannot be played: what() names the file, reason() says only what is wrong with it.
class TSoundFileError : public std::runtime_error {
 public:
  TSoundFileError(const std::string& fileName, std::string reason)
      : std::runtime_error("Sound file " + fileName + " " + reason), reason_(std::move(reason)) {}
  const std::string& reason() const { return reason_; }

 private:
  std::string reason_;
};

// The file's sound, which must be 8 kHz 16-bit mono PCM (what telephone calls carry); anything else throws
// TSoundFileError naming the file: "Sound file /path/x.wav is not 8 kHz 16-bit mono PCM".
TWavSound ReadTelephoneWav(const std::string& fileName);
// The sound at another rate: a windowed-sinc low-pass at the lower of the two Nyquist frequencies, so that a
// 22 kHz voice comes down to 8 kHz without aliasing.
std::vector<std::int16_t> Resample(const std::vector<std::int16_t>& samples, int fromRate, int toRate);
// A WAV file's bytes for the sound.
std::string WavBytes(const TWavSound& sound);

}  // namespace vantrel
