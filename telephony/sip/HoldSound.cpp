#include "HoldSound.h"

#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <numbers>

namespace vantrel::telephony {

namespace {

constexpr std::size_t kMaxWavBytes = 16 * 1024 * 1024;

std::uint32_t ReadLittle(const std::vector<char>& bytes, std::size_t at, int size) {
  std::uint32_t value = 0;
  for (int i = size - 1; i >= 0; --i) value = (value << 8) | static_cast<std::uint8_t>(bytes[at + i]);
  return value;
}

}  // namespace

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
  std::ifstream file(wavPath, std::ios::binary);
  if (!file) {
    if (problem != nullptr) *problem = "cannot be read";
    return Tone();
  }
  std::vector<char> bytes;
  bytes.reserve(4096);
  char chunk[4096];
  while (file.read(chunk, sizeof chunk) || file.gcount() > 0) {
    bytes.insert(bytes.end(), chunk, chunk + file.gcount());
    if (bytes.size() > kMaxWavBytes) {
      if (problem != nullptr) *problem = "is larger than 16 MiB";
      return Tone();
    }
  }
  const auto refuse = [&](const char* why) {
    if (problem != nullptr) *problem = why;
    return Tone();
  };
  if (bytes.size() < 12 || std::memcmp(bytes.data(), "RIFF", 4) != 0 || std::memcmp(bytes.data() + 8, "WAVE", 4) != 0)
    return refuse("is not a WAV file");
  bool formatSeen = false;
  for (std::size_t at = 12; at + 8 <= bytes.size();) {
    const std::uint32_t size = ReadLittle(bytes, at + 4, 4);
    const std::size_t body = at + 8;
    if (size > bytes.size() - body) return refuse("has a chunk longer than the file");
    if (std::memcmp(bytes.data() + at, "fmt ", 4) == 0) {
      if (size < 16) return refuse("has a short format chunk");
      const bool pcm = ReadLittle(bytes, body, 2) == 1;
      const bool mono = ReadLittle(bytes, body + 2, 2) == 1;
      const bool rate = ReadLittle(bytes, body + 4, 4) == 8000;
      const bool bits = ReadLittle(bytes, body + 14, 2) == 16;
      if (!pcm || !mono || !rate || !bits) return refuse("is not 8 kHz 16-bit mono PCM");
      formatSeen = true;
    } else if (std::memcmp(bytes.data() + at, "data", 4) == 0) {
      if (!formatSeen) return refuse("has its data before its format");
      THoldSound sound;
      const std::size_t frames = size / 2 / kFrameSamples;
      if (frames == 0) return refuse("holds less than 20 ms of sound");
      sound.samples_.resize(frames * kFrameSamples);
      for (std::size_t i = 0; i < sound.samples_.size(); ++i)
        sound.samples_[i] = static_cast<std::int16_t>(ReadLittle(bytes, body + 2 * i, 2));
      sound.fromFile_ = true;
      return sound;
    }
    at = body + size + (size & 1);
  }
  return refuse("has no sound data");
}

const std::int16_t* THoldSound::Frame(std::size_t& position) const {
  if (position + kFrameSamples > samples_.size()) position = 0;
  const std::int16_t* frame = samples_.data() + position;
  position += kFrameSamples;
  return frame;
}

}  // namespace vantrel::telephony
