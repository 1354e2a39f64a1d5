#include "WavSound.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <numbers>
#include <stdexcept>

namespace vantrel {

namespace {

constexpr std::size_t kMaxWavBytes = 16 * 1024 * 1024;

std::uint32_t ReadLittle(std::string_view bytes, std::size_t at, int size) {
  std::uint32_t value = 0;
  for (int i = size - 1; i >= 0; --i) value = (value << 8) | static_cast<std::uint8_t>(bytes[at + i]);
  return value;
}

void AppendLittle(std::string& out, std::uint32_t value, int size) {
  for (int i = 0; i < size; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

}  // namespace

TWavSound ParseWav(std::string_view bytes) {
  const auto refuse = [](const char* why) { throw std::runtime_error(why); };
  if (bytes.size() < 12 || bytes.substr(0, 4) != "RIFF" || bytes.substr(8, 4) != "WAVE") refuse("is not a WAV file");
  TWavSound sound;
  for (std::size_t at = 12; at + 8 <= bytes.size();) {
    std::uint32_t size = ReadLittle(bytes, at + 4, 4);
    const std::size_t body = at + 8;
    const std::string_view id = bytes.substr(at, 4);
    // Programs that write to a pipe (espeak-ng --stdout) cannot go back to fill in the data size: they write a
    // huge one, and the data runs to the end of the file.
    if (id == "data" && size >= 0x7f000000 && size > bytes.size() - body) size = (bytes.size() - body) & ~std::size_t{1};
    if (size > bytes.size() - body) refuse("has a chunk longer than the file");
    if (id == "fmt ") {
      if (size < 16) refuse("has a short format chunk");
      const bool pcm = ReadLittle(bytes, body, 2) == 1;
      const bool mono = ReadLittle(bytes, body + 2, 2) == 1;
      const bool bits = ReadLittle(bytes, body + 14, 2) == 16;
      if (!pcm || !mono || !bits) refuse("is not 16-bit mono PCM");
      sound.rate = static_cast<int>(ReadLittle(bytes, body + 4, 4));
      if (sound.rate < 1000 || sound.rate > 192000) refuse("has no usable sample rate");
    } else if (id == "data") {
      if (sound.rate == 0) refuse("has its data before its format");
      sound.samples.resize(size / 2);
      for (std::size_t i = 0; i < sound.samples.size(); ++i)
        sound.samples[i] = static_cast<std::int16_t>(ReadLittle(bytes, body + 2 * i, 2));
      return sound;
    }
    at = body + size + (size & 1);
  }
  refuse("has no sound data");
  return sound;
}

TWavSound ReadTelephoneWav(const std::string& fileName) {
  const auto refuse = [&](const std::string& why) { throw TSoundFileError(fileName, why); };
  std::ifstream file(fileName, std::ios::binary);
  if (!file) refuse("cannot be read");
  std::string bytes;
  char chunk[4096];
  while (file.read(chunk, sizeof chunk) || file.gcount() > 0) {
    bytes.append(chunk, static_cast<std::size_t>(file.gcount()));
    if (bytes.size() > kMaxWavBytes) refuse("is larger than 16 MiB");
  }
  TWavSound sound;
  try {
    sound = ParseWav(bytes);
  } catch (const std::runtime_error& bad) {
    refuse(bad.what() == std::string_view("is not 16-bit mono PCM") ? "is not 8 kHz 16-bit mono PCM" : bad.what());
  }
  if (sound.rate != 8000) refuse("is not 8 kHz 16-bit mono PCM");
  if (sound.samples.size() < 160) refuse("holds less than 20 ms of sound");
  return sound;
}

std::vector<std::int16_t> Resample(const std::vector<std::int16_t>& samples, int fromRate, int toRate) {
  if (fromRate <= 0 || toRate <= 0) throw std::invalid_argument("sample rates must be positive");
  if (fromRate == toRate || samples.empty()) return samples;
  const double step = static_cast<double>(fromRate) / toRate;  // input samples per output sample
  const double cutoff = std::min(1.0, 1.0 / step) * 0.9;       // of the input's Nyquist frequency, with a margin
  constexpr int kHalfTaps = 16;                                 // zero crossings of the sinc each side
  const double reach = kHalfTaps / cutoff;                      // input samples each side
  const auto outCount = static_cast<std::size_t>(std::floor(samples.size() / step));
  std::vector<std::int16_t> out(outCount);
  for (std::size_t n = 0; n < outCount; ++n) {
    const double centre = n * step;
    const auto first = static_cast<long>(std::ceil(centre - reach));
    const auto last = static_cast<long>(std::floor(centre + reach));
    double sum = 0;
    for (long k = std::max(0L, first); k <= std::min<long>(last, static_cast<long>(samples.size()) - 1); ++k) {
      const double x = k - centre;
      const double arg = std::numbers::pi * cutoff * x;
      const double sinc = x == 0 ? 1.0 : std::sin(arg) / arg;
      const double window = 0.5 + 0.5 * std::cos(std::numbers::pi * x / reach);  // Hann
      sum += samples[k] * cutoff * sinc * window;
    }
    out[n] = static_cast<std::int16_t>(std::clamp(std::lround(sum), -32768L, 32767L));
  }
  return out;
}

std::string WavBytes(const TWavSound& sound) {
  const auto dataSize = static_cast<std::uint32_t>(sound.samples.size() * 2);
  std::string out = "RIFF";
  AppendLittle(out, 36 + dataSize, 4);
  out += "WAVEfmt ";
  AppendLittle(out, 16, 4);
  AppendLittle(out, 1, 2);  // PCM
  AppendLittle(out, 1, 2);  // mono
  AppendLittle(out, static_cast<std::uint32_t>(sound.rate), 4);
  AppendLittle(out, static_cast<std::uint32_t>(sound.rate) * 2, 4);
  AppendLittle(out, 2, 2);
  AppendLittle(out, 16, 2);
  out += "data";
  AppendLittle(out, dataSize, 4);
  for (const std::int16_t sample : sound.samples) AppendLittle(out, static_cast<std::uint16_t>(sample), 2);
  return out;
}

}  // namespace vantrel
