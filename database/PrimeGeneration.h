#pragma once

#include "BigInt.h"

namespace vantrel {

// Even numbers fail; so does any number with a zero remainder by an odd prime from 3 to 9973 (those primes
// themselves included); the rest go through 4 Rabin-Miller rounds.
bool IsProbablePrime(const TBigInt& candidate);
// The start made odd, then the first probable prime above it in steps of 2.
TBigInt NextProbablePrime(TBigInt start);
bool RabinMillerTest(const TBigInt& candidate, int rounds);

}  // namespace vantrel
