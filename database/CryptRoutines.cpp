#include "CryptRoutines.h"

#include <unistd.h>

#include <climits>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "PrimeGeneration.h"
#include "RsaBlocks.h"
#include "support/AtomicFile.h"

namespace vantrel {

namespace {

namespace fs = std::filesystem;

// The system's seeds: P from 18 decimal digits, Q from 20 bytes read big-endian. Changing either makes
// every existing protected file unreadable.
constexpr const char kSeedP[] = "731940261853027749";
constexpr const char kSeedQ[] = "Vantrel-Seed-Q-2026!";
static_assert(sizeof kSeedP - 1 == 18 && sizeof kSeedQ - 1 == 20);

TRsaKey MakeKey() {
  TRsaKey key;
  key.P = NextProbablePrime(TBigInt::FromDecimal(kSeedP));
  key.Q = NextProbablePrime(TBigInt::FromBase256(kSeedQ));
  key.N = key.P * key.Q;
  const TBigInt phi = (key.P - 1) * (key.Q - 1);
  key.E = 65537;
  while (Gcd(key.E, phi) != TBigInt(1)) key.E = key.E + 2;
  key.D = ModInverse(key.E, phi);
  return key;
}

// Built while the library loads, before any export runs.
const TRsaKey loadedKey = MakeKey();

fs::path ExecutableFolder() {
  char path[PATH_MAX] = {};
  const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) return {};
  return fs::path(std::string(path, static_cast<std::size_t>(length))).parent_path();
}

}  // namespace

const TRsaKey& ConnectionKey() { return loadedKey; }

std::string CryptConnectionText(std::string_view text, bool encrypt) {
  const TRsaKey& key = ConnectionKey();
  return encrypt ? RsaEncryptBlocks(text, key.E, key.N) : RsaDecryptBlocks(text, key.D, key.N);
}

std::string ReadSecuredConnectionText(const std::string& iniFolder) {
  fs::path file = fs::path(iniFolder) / kSecuredConnectionFileName;
  if (!fs::exists(file)) file = ExecutableFolder() / kSecuredConnectionFileName;
  if (!fs::exists(file)) return {};
  std::ifstream input(file, std::ios::binary);
  if (!input) throw std::runtime_error("Cannot open file \"" + file.string() + "\"");
  std::ostringstream bytes;
  bytes << input.rdbuf();
  const std::string content = bytes.str();
  if (content.size() > kSecuredConnectionMaxBytes) {
    throw std::runtime_error("File \"" + file.string() + "\" is longer than " +
                             std::to_string(kSecuredConnectionMaxBytes) + " bytes");
  }
  return CryptConnectionText(content, false);
}

void WriteSecuredConnectionText(const std::string& iniFolder, std::string_view text) {
  const std::string encrypted = CryptConnectionText(text, true);
  if (encrypted.size() > kSecuredConnectionMaxBytes) {
    throw std::runtime_error("The connection string is too long to be protected: its encryption takes " +
                             std::to_string(encrypted.size()) + " bytes, at most " +
                             std::to_string(kSecuredConnectionMaxBytes) + " can be read back");
  }
  const fs::path file = fs::path(iniFolder) / kSecuredConnectionFileName;
  WriteFileAtomically(file.string(), encrypted);
}

}  // namespace vantrel
