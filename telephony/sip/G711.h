#pragma once

#include <cstddef>
#include <cstdint>

namespace vantrel::telephony {

// G.711 companding (ITU-T G.711), the two laws phones and trunks speak at 8 kHz.
constexpr int kPayloadPcmu = 0;
constexpr int kPayloadPcma = 8;

std::uint8_t LinearToUlaw(std::int16_t sample);
std::int16_t UlawToLinear(std::uint8_t code);
std::uint8_t LinearToAlaw(std::int16_t sample);
std::int16_t AlawToLinear(std::uint8_t code);

// Rewrites the payload from one law to the other in place (same length, one byte a sample).
void Transcode(std::uint8_t* payload, std::size_t size, int fromPayloadType, int toPayloadType);
// Encodes linear samples with the law of the payload type.
void Encode(const std::int16_t* samples, std::size_t count, int payloadType, std::uint8_t* out);
// Decodes a payload of the law of the payload type (by table: a mixer decodes every packet it takes).
void Decode(const std::uint8_t* payload, std::size_t count, int payloadType, std::int16_t* out);

}  // namespace vantrel::telephony
