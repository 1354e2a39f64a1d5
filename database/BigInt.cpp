#include "BigInt.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace vantrel {

namespace {
using Digits = std::vector<std::uint32_t>;
constexpr std::uint64_t kBase = 1ull << 32;
}  // namespace

TBigInt::TBigInt(std::int64_t value) {
  negative_ = value < 0;
  std::uint64_t magnitude = negative_ ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
  while (magnitude != 0) {
    digits_.push_back(static_cast<std::uint32_t>(magnitude));
    magnitude >>= 32;
  }
}

void TBigInt::Trim() {
  while (!digits_.empty() && digits_.back() == 0) digits_.pop_back();
  if (digits_.empty()) negative_ = false;
}

TBigInt TBigInt::FromWords(std::vector<std::uint32_t> words) {
  TBigInt result;
  result.digits_ = std::move(words);
  result.Trim();
  return result;
}

TBigInt TBigInt::FromDecimal(std::string_view text) {
  TBigInt result;
  for (const char c : text) {
    if (c < '0' || c > '9') throw std::invalid_argument("Not a decimal digit in number text");
    // result = result * 10 + digit, word by word
    std::uint64_t carry = static_cast<std::uint64_t>(c - '0');
    for (std::uint32_t& digit : result.digits_) {
      const std::uint64_t value = static_cast<std::uint64_t>(digit) * 10 + carry;
      digit = static_cast<std::uint32_t>(value);
      carry = value >> 32;
    }
    if (carry != 0) result.digits_.push_back(static_cast<std::uint32_t>(carry));
  }
  result.Trim();
  return result;
}

TBigInt TBigInt::FromBase256(std::string_view bytes) {
  TBigInt result;
  const std::size_t count = bytes.size();
  result.digits_.assign((count + 3) / 4, 0);
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t fromRight = count - 1 - i;
    result.digits_[fromRight / 4] |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i]))
                                     << (8 * (fromRight % 4));
  }
  result.Trim();
  return result;
}

TBigInt TBigInt::FromBinaryDigits(std::string_view text) {
  TBigInt result;
  const std::size_t count = text.size();
  result.digits_.assign((count + 31) / 32, 0);
  for (std::size_t i = 0; i < count; ++i) {
    const char c = text[i];
    if (c != '0' && c != '1') throw std::invalid_argument("Not a binary digit in number text");
    const std::size_t bit = count - 1 - i;
    if (c == '1') result.digits_[bit / 32] |= 1u << (bit % 32);
  }
  result.Trim();
  return result;
}

std::string TBigInt::ToDecimal() const {
  if (IsZero()) return "0";
  std::string text;
  Digits rest = digits_;
  while (!rest.empty()) {
    std::uint64_t remainder = 0;
    for (std::size_t i = rest.size(); i-- > 0;) {
      const std::uint64_t value = (remainder << 32) | rest[i];
      rest[i] = static_cast<std::uint32_t>(value / 1000000000u);
      remainder = value % 1000000000u;
    }
    while (!rest.empty() && rest.back() == 0) rest.pop_back();
    for (int i = 0; i < 9 && (remainder != 0 || !rest.empty()); ++i) {
      text.push_back(static_cast<char>('0' + remainder % 10));
      remainder /= 10;
    }
  }
  if (negative_) text.push_back('-');
  std::reverse(text.begin(), text.end());
  return text;
}

std::size_t TBigInt::BitLength() const {
  if (IsZero()) return 0;
  std::size_t bits = (digits_.size() - 1) * 32;
  for (std::uint32_t top = digits_.back(); top != 0; top >>= 1) ++bits;
  return bits;
}

bool TBigInt::TestBit(std::size_t bit) const {
  const std::size_t word = bit / 32;
  return word < digits_.size() && ((digits_[word] >> (bit % 32)) & 1u) != 0;
}

std::string TBigInt::ToBinaryDigits() const {
  if (IsZero()) return "0";
  const std::size_t bits = BitLength();
  std::string text(bits, '0');
  for (std::size_t i = 0; i < bits; ++i) {
    if (TestBit(bits - 1 - i)) text[i] = '1';
  }
  return text;
}

int TBigInt::CompareMagnitude(const Digits& a, const Digits& b) {
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  for (std::size_t i = a.size(); i-- > 0;) {
    if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
  }
  return 0;
}

Digits TBigInt::AddMagnitude(const Digits& a, const Digits& b) {
  const Digits& longer = a.size() >= b.size() ? a : b;
  const Digits& shorter = a.size() >= b.size() ? b : a;
  Digits sum(longer.size() + 1, 0);
  std::uint64_t carry = 0;
  for (std::size_t i = 0; i < longer.size(); ++i) {
    const std::uint64_t value = static_cast<std::uint64_t>(longer[i]) + (i < shorter.size() ? shorter[i] : 0) + carry;
    sum[i] = static_cast<std::uint32_t>(value);
    carry = value >> 32;
  }
  sum[longer.size()] = static_cast<std::uint32_t>(carry);
  return sum;
}

Digits TBigInt::SubtractMagnitude(const Digits& a, const Digits& b) {
  Digits difference(a.size(), 0);
  std::int64_t borrow = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    std::int64_t value = static_cast<std::int64_t>(a[i]) - (i < b.size() ? b[i] : 0) - borrow;
    borrow = value < 0 ? 1 : 0;
    if (value < 0) value += static_cast<std::int64_t>(kBase);
    difference[i] = static_cast<std::uint32_t>(value);
  }
  return difference;
}

TBigInt operator+(const TBigInt& a, const TBigInt& b) {
  TBigInt result;
  if (a.negative_ == b.negative_) {
    result.digits_ = TBigInt::AddMagnitude(a.digits_, b.digits_);
    result.negative_ = a.negative_;
  } else if (TBigInt::CompareMagnitude(a.digits_, b.digits_) >= 0) {
    result.digits_ = TBigInt::SubtractMagnitude(a.digits_, b.digits_);
    result.negative_ = a.negative_;
  } else {
    result.digits_ = TBigInt::SubtractMagnitude(b.digits_, a.digits_);
    result.negative_ = b.negative_;
  }
  result.Trim();
  return result;
}

TBigInt TBigInt::operator-() const {
  TBigInt result = *this;
  if (!result.IsZero()) result.negative_ = !negative_;
  return result;
}

TBigInt operator-(const TBigInt& a, const TBigInt& b) { return a + (-b); }

TBigInt operator*(const TBigInt& a, const TBigInt& b) {
  TBigInt result;
  if (a.IsZero() || b.IsZero()) return result;
  result.digits_.assign(a.digits_.size() + b.digits_.size(), 0);
  for (std::size_t i = 0; i < a.digits_.size(); ++i) {
    std::uint64_t carry = 0;
    for (std::size_t j = 0; j < b.digits_.size(); ++j) {
      const std::uint64_t value =
          static_cast<std::uint64_t>(a.digits_[i]) * b.digits_[j] + result.digits_[i + j] + carry;
      result.digits_[i + j] = static_cast<std::uint32_t>(value);
      carry = value >> 32;
    }
    result.digits_[i + b.digits_.size()] = static_cast<std::uint32_t>(carry);
  }
  result.negative_ = a.negative_ != b.negative_;
  result.Trim();
  return result;
}

std::strong_ordering operator<=>(const TBigInt& a, const TBigInt& b) {
  if (a.negative_ != b.negative_) return a.negative_ ? std::strong_ordering::less : std::strong_ordering::greater;
  const int magnitude = TBigInt::CompareMagnitude(a.digits_, b.digits_);
  const int signedResult = a.negative_ ? -magnitude : magnitude;
  return signedResult < 0 ? std::strong_ordering::less
                          : (signedResult > 0 ? std::strong_ordering::greater : std::strong_ordering::equal);
}

TBigInt TBigInt::ShiftedLeft(std::size_t bits) const {
  if (IsZero()) return *this;
  TBigInt result;
  result.negative_ = negative_;
  const std::size_t words = bits / 32, shift = bits % 32;
  result.digits_.assign(digits_.size() + words + 1, 0);
  for (std::size_t i = 0; i < digits_.size(); ++i) {
    const std::uint64_t value = static_cast<std::uint64_t>(digits_[i]) << shift;
    result.digits_[i + words] |= static_cast<std::uint32_t>(value);
    result.digits_[i + words + 1] |= static_cast<std::uint32_t>(value >> 32);
  }
  result.Trim();
  return result;
}

TBigInt TBigInt::ShiftedRight(std::size_t bits) const {
  const std::size_t words = bits / 32, shift = bits % 32;
  TBigInt result;
  if (words >= digits_.size()) return result;
  result.negative_ = negative_;
  result.digits_.assign(digits_.size() - words, 0);
  for (std::size_t i = 0; i < result.digits_.size(); ++i) {
    std::uint64_t value = digits_[i + words];
    if (i + words + 1 < digits_.size()) value |= static_cast<std::uint64_t>(digits_[i + words + 1]) << 32;
    result.digits_[i] = static_cast<std::uint32_t>(value >> shift);
  }
  result.Trim();
  return result;
}

std::uint32_t TBigInt::ModSmall(std::uint32_t divisor) const {
  if (divisor == 0) throw std::domain_error("Division by zero");
  std::uint64_t remainder = 0;
  for (std::size_t i = digits_.size(); i-- > 0;) remainder = ((remainder << 32) | digits_[i]) % divisor;
  return static_cast<std::uint32_t>(remainder);
}

// Binary long division of the magnitudes: simple, and quick enough for numbers of a few hundred bits.
void TBigInt::DivMod(const TBigInt& dividend, const TBigInt& divisor, TBigInt& quotient, TBigInt& remainder) {
  if (divisor.IsZero()) throw std::domain_error("Division by zero");
  TBigInt q, r;
  const TBigInt magnitude = divisor.negative_ ? -divisor : divisor;
  const std::size_t bits = dividend.BitLength();
  q.digits_.assign((bits + 31) / 32, 0);
  for (std::size_t i = bits; i-- > 0;) {
    r = r.ShiftedLeft(1);
    if (dividend.TestBit(i)) {
      if (r.digits_.empty()) r.digits_.push_back(0);
      r.digits_[0] |= 1u;
    }
    if (CompareMagnitude(r.digits_, magnitude.digits_) >= 0) {
      r.digits_ = SubtractMagnitude(r.digits_, magnitude.digits_);
      r.Trim();
      q.digits_[i / 32] |= 1u << (i % 32);
    }
  }
  q.negative_ = dividend.negative_ != divisor.negative_;
  q.Trim();
  r.negative_ = dividend.negative_;
  r.Trim();
  quotient = std::move(q);
  remainder = std::move(r);
}

TBigInt operator/(const TBigInt& a, const TBigInt& b) {
  TBigInt quotient, remainder;
  TBigInt::DivMod(a, b, quotient, remainder);
  return quotient;
}

TBigInt operator%(const TBigInt& a, const TBigInt& b) {
  TBigInt quotient, remainder;
  TBigInt::DivMod(a, b, quotient, remainder);
  return remainder;
}

TBigInt Gcd(TBigInt a, TBigInt b) {
  if (a.IsNegative()) a = -a;
  if (b.IsNegative()) b = -b;
  while (!b.IsZero()) {
    TBigInt rest = a % b;
    a = std::move(b);
    b = std::move(rest);
  }
  return a;
}

TBigInt ModInverse(const TBigInt& a, const TBigInt& m) {
  // Extended Euclid on (a mod m, m), keeping only the coefficient of a.
  TBigInt oldR = ((a % m) + m) % m, r = m;
  TBigInt oldS = 1, s = 0;
  while (!r.IsZero()) {
    TBigInt quotient, remainder;
    TBigInt::DivMod(oldR, r, quotient, remainder);
    oldR = std::exchange(r, remainder);
    oldS = std::exchange(s, oldS - quotient * s);
  }
  if (oldR != TBigInt(1)) throw std::domain_error("No modular inverse: the numbers are not coprime");
  return ((oldS % m) + m) % m;
}

namespace {

// Montgomery arithmetic modulo an odd n of k words: numbers are kept as x * R mod n with R = 2^(32k).
class TMontgomery {
 public:
  explicit TMontgomery(const TBigInt& modulus) : modulus_(modulus) {
    words_ = (modulus.BitLength() + 31) / 32;
    n_ = Words(modulus);
    // n' = -n^-1 mod 2^32 by Newton iteration on the lowest word.
    std::uint32_t inverse = 1;
    for (int i = 0; i < 5; ++i) inverse *= 2 - n_[0] * inverse;
    nPrime_ = 0 - inverse;
  }

  TBigInt ToMontgomery(const TBigInt& x) const { return (x % modulus_).ShiftedLeft(32 * words_) % modulus_; }
  TBigInt FromMontgomery(const TBigInt& x) const { return Multiply(x, TBigInt(1)); }

  TBigInt Multiply(const TBigInt& a, const TBigInt& b) const {
    const Digits x = Words(a), y = Words(b);
    Digits t(words_ + 2, 0);
    for (std::size_t i = 0; i < words_; ++i) {
      std::uint64_t carry = 0;
      for (std::size_t j = 0; j < words_; ++j) {
        const std::uint64_t value = t[j] + static_cast<std::uint64_t>(x[j]) * y[i] + carry;
        t[j] = static_cast<std::uint32_t>(value);
        carry = value >> 32;
      }
      std::uint64_t value = static_cast<std::uint64_t>(t[words_]) + carry;
      t[words_] = static_cast<std::uint32_t>(value);
      t[words_ + 1] = static_cast<std::uint32_t>(value >> 32);
      const std::uint32_t m = t[0] * nPrime_;
      carry = (t[0] + static_cast<std::uint64_t>(m) * n_[0]) >> 32;
      for (std::size_t j = 1; j < words_; ++j) {
        value = t[j] + static_cast<std::uint64_t>(m) * n_[j] + carry;
        t[j - 1] = static_cast<std::uint32_t>(value);
        carry = value >> 32;
      }
      value = static_cast<std::uint64_t>(t[words_]) + carry;
      t[words_ - 1] = static_cast<std::uint32_t>(value);
      t[words_] = t[words_ + 1] + static_cast<std::uint32_t>(value >> 32);
      t[words_ + 1] = 0;
    }
    TBigInt result = TBigInt::FromWords(std::move(t));
    if (result >= modulus_) result = result - modulus_;
    return result;
  }

 private:
  // x (below the modulus) as exactly k words.
  Digits Words(const TBigInt& x) const {
    Digits words = x.Words();
    words.resize(words_, 0);
    return words;
  }

  TBigInt modulus_;
  std::size_t words_ = 0;
  Digits n_;
  std::uint32_t nPrime_ = 0;
};

}  // namespace

TBigInt ModPow(const TBigInt& base, const TBigInt& exponent, const TBigInt& modulus) {
  if (modulus <= TBigInt(0)) throw std::domain_error("Modulus must be positive");
  if (exponent.IsNegative()) throw std::domain_error("Negative exponent");
  if (modulus == TBigInt(1)) return 0;
  const TBigInt reduced = ((base % modulus) + modulus) % modulus;
  if (!modulus.IsOdd()) {
    TBigInt result = 1;
    for (std::size_t i = exponent.BitLength(); i-- > 0;) {
      result = (result * result) % modulus;
      if (exponent.TestBit(i)) result = (result * reduced) % modulus;
    }
    return result;
  }
  const TMontgomery montgomery(modulus);
  const TBigInt montgomeryBase = montgomery.ToMontgomery(reduced);
  TBigInt result = montgomery.ToMontgomery(1);
  for (std::size_t i = exponent.BitLength(); i-- > 0;) {
    result = montgomery.Multiply(result, result);
    if (exponent.TestBit(i)) result = montgomery.Multiply(result, montgomeryBase);
  }
  return montgomery.FromMontgomery(result);
}

}  // namespace vantrel
