#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <vector>

// Test tones at 8 kHz and how strongly a frequency is present in a stretch of sound (Goertzel's algorithm).
class ToneSource {
 public:
  explicit ToneSource(double hertz, double amplitude = 6000) : hertz_(hertz), amplitude_(amplitude) {}
  // The next samples of the tone, continuing where the last call stopped.
  std::vector<std::int16_t> Next(std::size_t count) {
    std::vector<std::int16_t> samples(count);
    for (auto& sample : samples)
      sample = static_cast<std::int16_t>(amplitude_ * std::sin(2 * M_PI * hertz_ * static_cast<double>(n_++) / 8000));
    return samples;
  }

 private:
  double hertz_;
  double amplitude_;
  std::size_t n_ = 0;
};

// The amplitude of the frequency in the samples (a pure tone of amplitude A gives about A).
inline double ToneLevel(const std::vector<std::int16_t>& samples, double hertz) {
  if (samples.empty()) return 0;
  const double coefficient = 2 * std::cos(2 * M_PI * hertz / 8000);
  double previous = 0, beforePrevious = 0;
  for (std::int16_t sample : samples) {
    const double current = sample + coefficient * previous - beforePrevious;
    beforePrevious = previous;
    previous = current;
  }
  const double power = previous * previous + beforePrevious * beforePrevious - coefficient * previous * beforePrevious;
  return 2 * std::sqrt(std::max(power, 0.0)) / static_cast<double>(samples.size());
}

// A WAV file (8 kHz, 16-bit mono) of the tone for the seconds: what a softphone plays as its microphone.
inline void WriteToneWav(const std::filesystem::path& path, double hertz, std::uint32_t seconds,
                         double amplitude = 3000) {
  std::ofstream wav(path, std::ios::binary);
  const auto little = [&](std::uint32_t value, int size) {
    for (int i = 0; i < size; ++i) wav.put(static_cast<char>(value >> (8 * i)));
  };
  const std::uint32_t samples = 8000 * seconds;
  wav << "RIFF";
  little(36 + 2 * samples, 4);
  wav << "WAVEfmt ";
  for (const auto& [value, size] :
       std::vector<std::pair<std::uint32_t, int>>{{16, 4}, {1, 2}, {1, 2}, {8000, 4}, {16000, 4}, {2, 2}, {16, 2}})
    little(value, size);
  wav << "data";
  little(2 * samples, 4);
  ToneSource tone(hertz, amplitude);
  for (std::int16_t sample : tone.Next(samples)) little(static_cast<std::uint16_t>(sample), 2);
}
