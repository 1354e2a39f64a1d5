#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "database/BigInt.h"
#include "database/CryptRoutines.h"
#include "database/PrimeGeneration.h"

using namespace vantrel;
namespace fs = std::filesystem;

namespace {

TBigInt RandomNumber(std::mt19937& random, std::size_t maxWords, bool allowNegative) {
  std::vector<std::uint32_t> words(random() % (maxWords + 1));
  for (auto& word : words) word = random();
  TBigInt value = TBigInt::FromWords(words);
  return allowNegative && (random() & 1) != 0 ? -value : value;
}

// The obvious square-and-multiply with division, to check the Montgomery path against.
TBigInt ReferenceModPow(const TBigInt& base, const TBigInt& exponent, const TBigInt& modulus) {
  TBigInt result = 1;
  for (std::size_t i = exponent.BitLength(); i-- > 0;) {
    result = result * result % modulus;
    if (exponent.TestBit(i)) result = result * base % modulus;
  }
  return result % modulus;
}

}  // namespace

TEST(BigInt, ConversionsRoundTripAndRefuseForeignCharacters) {
  const TBigInt max128 = TBigInt::FromDecimal("340282366920938463463374607431768211455");
  EXPECT_EQ(max128, (TBigInt(1).ShiftedLeft(128) - 1));
  EXPECT_EQ(max128.ToDecimal(), "340282366920938463463374607431768211455");
  EXPECT_EQ(TBigInt::FromBase256(std::string("\x00\x01\x00", 3)), TBigInt(256));
  EXPECT_EQ(TBigInt::FromBinaryDigits("000101"), TBigInt(5));
  EXPECT_EQ(TBigInt(0).ToBinaryDigits(), "0");
  EXPECT_EQ(TBigInt(10).ToBinaryDigits(), "1010");
  EXPECT_EQ(TBigInt(-1234567890123LL).ToDecimal(), "-1234567890123");
  EXPECT_EQ(TBigInt::FromDecimal("1000000000").ToDecimal(), "1000000000");
  EXPECT_THROW(TBigInt::FromDecimal("12a"), std::invalid_argument);
  EXPECT_THROW(TBigInt::FromBinaryDigits("102"), std::invalid_argument);
}

TEST(BigInt, DivisionAgreesWithMultiplicationOnRandomNumbers) {
  std::mt19937 random(7);
  for (int round = 0; round < 2000; ++round) {
    const TBigInt a = RandomNumber(random, 8, true);
    TBigInt b = RandomNumber(random, 5, true);
    if (b.IsZero()) b = 3;
    TBigInt q, r;
    TBigInt::DivMod(a, b, q, r);
    ASSERT_EQ(q * b + r, a) << a.ToDecimal() << " / " << b.ToDecimal();
    const TBigInt magnitude = b.IsNegative() ? -b : b;
    ASSERT_LT(r.IsNegative() ? -r : r, magnitude);
    ASSERT_TRUE(r.IsZero() || r.IsNegative() == a.IsNegative());
    ASSERT_EQ((a + b) - b, a);
  }
  EXPECT_THROW(TBigInt(5) / TBigInt(0), std::domain_error);
}

TEST(BigInt, ModularPowerInverseAndGcdHoldTheirIdentities) {
  const TBigInt mersenne127 = TBigInt(1).ShiftedLeft(127) - 1;
  EXPECT_EQ(ModPow(3, mersenne127 - 1, mersenne127), TBigInt(1));  // Fermat on a known prime
  std::mt19937 random(11);
  for (int round = 0; round < 200; ++round) {
    TBigInt modulus = RandomNumber(random, 7, false) + 2;
    const TBigInt base = RandomNumber(random, 8, false);
    const TBigInt exponent = RandomNumber(random, 3, false);
    ASSERT_EQ(ModPow(base, exponent, modulus), ReferenceModPow(base % modulus, exponent, modulus));
    if (Gcd(base, modulus) == TBigInt(1)) {
      ASSERT_EQ(base * ModInverse(base, modulus) % modulus, TBigInt(1));
    } else {
      ASSERT_THROW(ModInverse(base, modulus), std::domain_error);
    }
  }
  EXPECT_EQ(Gcd(TBigInt(462), TBigInt(-1071)), TBigInt(21));
}

TEST(Primes, SmallPrimesCountAsCompositeAndTheSearchStepsByTwo) {
  EXPECT_FALSE(IsProbablePrime(3));
  EXPECT_FALSE(IsProbablePrime(9973));
  EXPECT_TRUE(IsProbablePrime(10007));
  EXPECT_FALSE(IsProbablePrime(TBigInt(10007) * TBigInt(10009)));
  EXPECT_TRUE(IsProbablePrime(TBigInt(1).ShiftedLeft(127) - 1));
  EXPECT_EQ(NextProbablePrime(10000), TBigInt(10007));
  EXPECT_EQ(NextProbablePrime(10007), TBigInt(10009));  // the start itself is never tested
}

TEST(ConnectionKey, IsARealKeyPairOfTheStatedSize) {
  const TRsaKey& key = ConnectionKey();
  EXPECT_TRUE(RabinMillerTest(key.P, 40));
  EXPECT_TRUE(RabinMillerTest(key.Q, 40));
  EXPECT_EQ(key.N, key.P * key.Q);
  EXPECT_EQ(key.E * key.D % ((key.P - 1) * (key.Q - 1)), TBigInt(1));
  EXPECT_GT(key.N.BitLength(), 200u);
  EXPECT_LE(key.N.BitLength(), 222u);
}

TEST(ConnectionText, AnyByteStringRoundTrips) {
  std::mt19937 random(99);
  std::vector<std::size_t> lengths = {0, 1, 2, 27, 28, 700};
  for (int i = 0; i < 60; ++i) lengths.push_back(random() % 701);
  for (const std::size_t length : lengths) {
    std::string text(length, '\0');
    for (char& c : text) c = static_cast<char>(random());
    if (length > 3 && (random() & 1) != 0) text[0] = text[1] = '\0';  // leading zero bytes
    const std::string encrypted = CryptConnectionText(text, true);
    ASSERT_EQ(CryptConnectionText(encrypted, false), text) << "length " << length;
    // Every block takes exactly ModBits digits: the text grows only by the marker, the blocks and the padding.
    const std::size_t modBits = ConnectionKey().N.BitLength();
    const std::size_t blocks = (8 * length + 3 + modBits - 2) / (modBits - 1);
    EXPECT_LE(encrypted.size(), (blocks * modBits + 7) / 8);
    EXPECT_GE(encrypted.size() + (modBits + 7) / 8, (blocks * modBits + 7) / 8);
  }
}

TEST(ConnectionText, TheEmptyTextEncryptsToSomething) {
  EXPECT_FALSE(CryptConnectionText("", true).empty());
  EXPECT_EQ(CryptConnectionText("", false), "");
  EXPECT_EQ(CryptConnectionText(std::string(40, '\0'), false), "");
}

namespace {
class SecuredFileFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = fs::temp_directory_path() / ("vantrel-secured-" + std::to_string(::getpid()));
    fs::remove_all(folder_);
    fs::create_directories(folder_);
  }
  void TearDown() override { fs::remove_all(folder_); }
  fs::path folder_;
};
}  // namespace

TEST_F(SecuredFileFolder, WrittenTextReadsBackFromTheIniFolder) {
  const std::string connection = "Provider=SQLite;Data Source=crm.db;Password=it's 'secret'";
  WriteSecuredConnectionText(folder_.string(), connection);
  EXPECT_EQ(ReadSecuredConnectionText(folder_.string()), connection);
}

TEST_F(SecuredFileFolder, AbsentEmptyOrZeroFilesGiveTheEmptyText) {
  EXPECT_EQ(ReadSecuredConnectionText(folder_.string()), "");
  std::ofstream(folder_ / "SecuredConnection.rsa", std::ios::binary).close();
  EXPECT_EQ(ReadSecuredConnectionText(folder_.string()), "");
  std::ofstream(folder_ / "SecuredConnection.rsa", std::ios::binary) << std::string(16, '\0');
  EXPECT_EQ(ReadSecuredConnectionText(folder_.string()), "");
}

TEST_F(SecuredFileFolder, TooLongATextIsRefusedAndNothingIsWritten) {
  EXPECT_THROW(WriteSecuredConnectionText(folder_.string(), std::string(1100, 'x')), std::runtime_error);
  EXPECT_FALSE(fs::exists(folder_ / "SecuredConnection.rsa"));
  std::ofstream(folder_ / "SecuredConnection.rsa", std::ios::binary) << std::string(1025, '\1');
  EXPECT_THROW(ReadSecuredConnectionText(folder_.string()), std::runtime_error);
}
