#include "RsaBlocks.h"

namespace vantrel {

namespace {

std::string BytesToBinaryDigits(std::string_view bytes) {
  std::string digits;
  digits.reserve(bytes.size() * 8);
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    for (int bit = 7; bit >= 0; --bit) digits.push_back(((byte >> bit) & 1) != 0 ? '1' : '0');
  }
  return digits;
}

void PadToMultiple(std::string& digits, std::size_t multiple) {
  if (const std::size_t rest = digits.size() % multiple; rest != 0) digits.insert(0, multiple - rest, '0');
}

void StripLeadingZeros(std::string& digits) {
  const std::size_t first = digits.find('1');
  digits.erase(0, first == std::string::npos ? digits.size() : first);
}

std::string BinaryDigitsToBytes(std::string digits) {
  PadToMultiple(digits, 8);
  std::string bytes;
  bytes.reserve(digits.size() / 8);
  for (std::size_t i = 0; i < digits.size(); i += 8) {
    unsigned char byte = 0;
    for (std::size_t bit = 0; bit < 8; ++bit) byte = static_cast<unsigned char>((byte << 1) | (digits[i + bit] == '1'));
    bytes.push_back(static_cast<char>(byte));
  }
  return bytes;
}

// Each block: read as a number, raised to the exponent (zero stays zero), written back padded to outBits.
std::string TransformBlocks(const std::string& digits, std::size_t inBits, std::size_t outBits, const TBigInt& exponent,
                            const TBigInt& modulus) {
  std::string output;
  for (std::size_t at = 0; at < digits.size(); at += inBits) {
    const TBigInt block = TBigInt::FromBinaryDigits(std::string_view(digits).substr(at, inBits));
    std::string result = block.IsZero() ? std::string("0") : ModPow(block, exponent, modulus).ToBinaryDigits();
    PadToMultiple(result, outBits);
    output += result;
  }
  return output;
}

}  // namespace

std::string RsaEncryptBlocks(std::string_view text, const TBigInt& exponent, const TBigInt& modulus) {
  const std::size_t modBits = modulus.BitLength();
  std::string digits = "111" + BytesToBinaryDigits(text);
  PadToMultiple(digits, modBits - 1);
  std::string output = TransformBlocks(digits, modBits - 1, modBits, exponent, modulus);
  StripLeadingZeros(output);
  if (output.empty()) output = "0";
  return BinaryDigitsToBytes(std::move(output));
}

std::string RsaDecryptBlocks(std::string_view text, const TBigInt& exponent, const TBigInt& modulus) {
  const std::size_t modBits = modulus.BitLength();
  std::string digits = BytesToBinaryDigits(text);
  StripLeadingZeros(digits);
  PadToMultiple(digits, modBits);
  std::string output = TransformBlocks(digits, modBits, modBits - 1, exponent, modulus);
  std::size_t start = 0;
  while (output.compare(start, 3, "111") != 0 && output.size() - start >= 4) ++start;
  start = std::min(output.size(), start + 3);
  return BinaryDigitsToBytes(output.substr(start));
}

}  // namespace vantrel
