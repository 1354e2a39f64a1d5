#pragma once

#include <string>
#include <string_view>

#include "BigInt.h"

namespace vantrel {

// The block scheme of the protected connection string: texts are binary-digit strings cut into blocks one bit
// shorter than the modulus, each block raised to the key's exponent. Any byte value may appear on either side.
std::string RsaEncryptBlocks(std::string_view text, const TBigInt& exponent, const TBigInt& modulus);
std::string RsaDecryptBlocks(std::string_view text, const TBigInt& exponent, const TBigInt& modulus);

}  // namespace vantrel
