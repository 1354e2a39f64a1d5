#pragma once

#include <compare>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vantrel {

// A signed arbitrary-precision integer: sign and magnitude, 32-bit digits, least significant first.
class TBigInt {
 public:
  TBigInt() = default;
  TBigInt(std::int64_t value);  // NOLINT: numbers convert implicitly, as in arithmetic

  // Throws std::invalid_argument on a character outside the digit set; the empty text is zero.
  static TBigInt FromDecimal(std::string_view digits);
  static TBigInt FromBase256(std::string_view bytes);  // unsigned, big-endian
  static TBigInt FromBinaryDigits(std::string_view digits);

  std::string ToDecimal() const;
  std::string ToBinaryDigits() const;  // "0" for zero, no leading zeros otherwise; magnitude only
  std::size_t BitLength() const;
  bool IsZero() const { return digits_.empty(); }
  bool IsNegative() const { return negative_; }
  bool IsOdd() const { return !digits_.empty() && (digits_[0] & 1u) != 0; }
  bool TestBit(std::size_t bit) const;

  friend TBigInt operator+(const TBigInt& a, const TBigInt& b);
  friend TBigInt operator-(const TBigInt& a, const TBigInt& b);
  friend TBigInt operator*(const TBigInt& a, const TBigInt& b);
  // Truncating division, as C++ integers: the remainder takes the sign of the dividend.
  friend TBigInt operator/(const TBigInt& a, const TBigInt& b);
  friend TBigInt operator%(const TBigInt& a, const TBigInt& b);
  TBigInt operator-() const;
  friend bool operator==(const TBigInt& a, const TBigInt& b) = default;
  friend std::strong_ordering operator<=>(const TBigInt& a, const TBigInt& b);

  // The remainder of the magnitude by a small divisor (not 0).
  std::uint32_t ModSmall(std::uint32_t divisor) const;
  TBigInt ShiftedLeft(std::size_t bits) const;
  TBigInt ShiftedRight(std::size_t bits) const;

  // The magnitude's 32-bit digits, least significant first, and the non-negative number made of such digits.
  const std::vector<std::uint32_t>& Words() const { return digits_; }
  static TBigInt FromWords(std::vector<std::uint32_t> words);

  static void DivMod(const TBigInt& dividend, const TBigInt& divisor, TBigInt& quotient, TBigInt& remainder);

 private:
  void Trim();
  static int CompareMagnitude(const std::vector<std::uint32_t>& a, const std::vector<std::uint32_t>& b);
  static std::vector<std::uint32_t> AddMagnitude(const std::vector<std::uint32_t>& a,
                                                 const std::vector<std::uint32_t>& b);
  // a - b for |a| >= |b|
  static std::vector<std::uint32_t> SubtractMagnitude(const std::vector<std::uint32_t>& a,
                                                      const std::vector<std::uint32_t>& b);

  bool negative_ = false;              // never set for zero
  std::vector<std::uint32_t> digits_;  // no leading zero digits
};

TBigInt Gcd(TBigInt a, TBigInt b);
// The inverse of a modulo m (m > 1); throws std::domain_error when gcd(a, m) is not 1.
TBigInt ModInverse(const TBigInt& a, const TBigInt& m);
// base^exponent mod modulus for exponent >= 0 and modulus > 0; an odd modulus goes through Montgomery multiplication.
TBigInt ModPow(const TBigInt& base, const TBigInt& exponent, const TBigInt& modulus);

}  // namespace vantrel
