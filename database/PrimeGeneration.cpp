#include "PrimeGeneration.h"

#include <random>
#include <vector>

namespace vantrel {

namespace {

const std::vector<std::uint32_t>& SmallOddPrimes() {
  static const std::vector<std::uint32_t> primes = [] {
    std::vector<bool> composite(10000, false);
    std::vector<std::uint32_t> result;
    for (std::uint32_t i = 2; i < 10000; ++i) {
      if (composite[i]) continue;
      if (i != 2) result.push_back(i);
      for (std::uint32_t j = i * i; j < 10000; j += i) composite[j] = true;
    }
    return result;
  }();
  return primes;
}

}  // namespace

bool RabinMillerTest(const TBigInt& candidate, int rounds) {
  if (candidate < TBigInt(4)) return candidate == TBigInt(2) || candidate == TBigInt(3);
  if (!candidate.IsOdd()) return false;
  const TBigInt minusOne = candidate - 1;
  std::size_t shifts = 0;
  while (!minusOne.TestBit(shifts)) ++shifts;
  const TBigInt odd = minusOne.ShiftedRight(shifts);
  // The bases come from a generator seeded by the candidate, so the key made from fixed seeds is the same
  // in every run: a protected file written today must decrypt tomorrow.
  std::seed_seq seed(candidate.Words().begin(), candidate.Words().end());
  std::mt19937_64 random(seed);
  const std::size_t bits = candidate.BitLength();
  for (int round = 0; round < rounds; ++round) {
    // A base in [2, candidate - 2].
    std::vector<std::uint32_t> words((bits + 31) / 32);
    for (auto& word : words) word = static_cast<std::uint32_t>(random());
    const TBigInt base = TBigInt::FromWords(words) % (candidate - 3) + 2;
    TBigInt x = ModPow(base, odd, candidate);
    if (x == TBigInt(1) || x == minusOne) continue;
    bool witness = true;
    for (std::size_t i = 1; i < shifts && witness; ++i) {
      x = (x * x) % candidate;
      if (x == minusOne) witness = false;
    }
    if (witness) return false;
  }
  return true;
}

bool IsProbablePrime(const TBigInt& candidate) {
  if (!candidate.IsOdd()) return false;
  for (const std::uint32_t prime : SmallOddPrimes()) {
    if (candidate.ModSmall(prime) == 0) return false;
  }
  return RabinMillerTest(candidate, 4);
}

TBigInt NextProbablePrime(TBigInt start) {
  if (!start.IsOdd()) start = start + 1;
  do {
    start = start + 2;
  } while (!IsProbablePrime(start));
  return start;
}

}  // namespace vantrel
