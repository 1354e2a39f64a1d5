#include "G711.h"

#include <array>

namespace vantrel::telephony {

namespace {

constexpr int kUlawBias = 0x84;
constexpr int kUlawClip = 32635;

struct TLawTables {
  std::array<std::uint8_t, 256> ulawToAlaw{};
  std::array<std::uint8_t, 256> alawToUlaw{};
  std::array<std::int16_t, 256> ulawLinear{};
  std::array<std::int16_t, 256> alawLinear{};
  // Every 16-bit sample's code: a mixer encodes each frame of every party.
  std::array<std::uint8_t, 65536> ulawOf{};
  std::array<std::uint8_t, 65536> alawOf{};
  TLawTables() {
    for (int sample = INT16_MIN; sample <= INT16_MAX; ++sample) {
      ulawOf[static_cast<std::uint16_t>(sample)] = LinearToUlaw(static_cast<std::int16_t>(sample));
      alawOf[static_cast<std::uint16_t>(sample)] = LinearToAlaw(static_cast<std::int16_t>(sample));
    }
    for (int code = 0; code < 256; ++code) {
      ulawLinear[code] = UlawToLinear(static_cast<std::uint8_t>(code));
      alawLinear[code] = AlawToLinear(static_cast<std::uint8_t>(code));
      ulawToAlaw[code] = LinearToAlaw(UlawToLinear(static_cast<std::uint8_t>(code)));
      alawToUlaw[code] = LinearToUlaw(AlawToLinear(static_cast<std::uint8_t>(code)));
    }
  }
};

const TLawTables& Tables() {
  static const TLawTables tables;
  return tables;
}

int SegmentOf(int magnitude, int firstLimit) {
  int segment = 0;
  for (int limit = firstLimit; segment < 8 && magnitude > limit; limit = limit * 2 + 1) ++segment;
  return segment;
}

}  // namespace

std::uint8_t LinearToUlaw(std::int16_t sample) {
  int magnitude = sample;
  const int sign = magnitude < 0 ? 0x80 : 0;
  if (magnitude < 0) magnitude = -magnitude;
  if (magnitude > kUlawClip) magnitude = kUlawClip;
  magnitude += kUlawBias;
  int exponent = 7;
  for (int mask = 0x4000; exponent > 0 && (magnitude & mask) == 0; mask >>= 1) --exponent;
  const int mantissa = (magnitude >> (exponent + 3)) & 0x0F;
  return static_cast<std::uint8_t>(~(sign | (exponent << 4) | mantissa));
}

std::int16_t UlawToLinear(std::uint8_t code) {
  code = static_cast<std::uint8_t>(~code);
  const int exponent = (code >> 4) & 0x07;
  const int mantissa = code & 0x0F;
  const int magnitude = (((mantissa << 3) + kUlawBias) << exponent) - kUlawBias;
  return static_cast<std::int16_t>((code & 0x80) != 0 ? -magnitude : magnitude);
}

std::uint8_t LinearToAlaw(std::int16_t sample) {
  int value = sample >> 3;  // 13 significant bits
  int mask = 0xD5;
  if (value < 0) {
    mask = 0x55;
    value = -value - 1;
  }
  const int segment = SegmentOf(value, 0x1F);
  if (segment >= 8) return static_cast<std::uint8_t>(0x7F ^ mask);
  int code = segment << 4;
  code |= segment < 2 ? (value >> 1) & 0x0F : (value >> segment) & 0x0F;
  return static_cast<std::uint8_t>(code ^ mask);
}

std::int16_t AlawToLinear(std::uint8_t code) {
  code ^= 0x55;
  int magnitude = (code & 0x0F) << 4;
  const int segment = (code & 0x70) >> 4;
  if (segment == 0)
    magnitude += 8;
  else if (segment == 1)
    magnitude += 0x108;
  else
    magnitude = (magnitude + 0x108) << (segment - 1);
  return static_cast<std::int16_t>((code & 0x80) != 0 ? magnitude : -magnitude);
}

void Transcode(std::uint8_t* payload, std::size_t size, int fromPayloadType, int toPayloadType) {
  if (fromPayloadType == toPayloadType) return;
  const auto& table = fromPayloadType == kPayloadPcmu ? Tables().ulawToAlaw : Tables().alawToUlaw;
  for (std::size_t i = 0; i < size; ++i) payload[i] = table[payload[i]];
}

void Encode(const std::int16_t* samples, std::size_t count, int payloadType, std::uint8_t* out) {
  const auto& table = payloadType == kPayloadPcmu ? Tables().ulawOf : Tables().alawOf;
  for (std::size_t i = 0; i < count; ++i) out[i] = table[static_cast<std::uint16_t>(samples[i])];
}

void Decode(const std::uint8_t* payload, std::size_t count, int payloadType, std::int16_t* out) {
  const auto& table = payloadType == kPayloadPcmu ? Tables().ulawLinear : Tables().alawLinear;
  for (std::size_t i = 0; i < count; ++i) out[i] = table[payload[i]];
}

}  // namespace vantrel::telephony
