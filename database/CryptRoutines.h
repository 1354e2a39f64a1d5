#pragma once

#include <string>
#include <string_view>

#include "BigInt.h"

namespace vantrel {

// The key pair of the protected connection string, built from the system's two seeds when the library loads.
struct TRsaKey {
  TBigInt P, Q, N, E, D;
};
const TRsaKey& ConnectionKey();

constexpr const char* kSecuredConnectionFileName = "SecuredConnection.rsa";
// The reader and the writer handle protected files of at most this many bytes.
constexpr std::size_t kSecuredConnectionMaxBytes = 1024;

// The encrypted text when encrypt is true, the decrypted text otherwise; both are byte strings.
std::string CryptConnectionText(std::string_view text, bool encrypt);

// The decrypted content of the protected file, or the empty text when it is absent. The file is looked for in
// the INI folder first (where it is written), then beside the host program. Throws when it cannot be read or is
// longer than the reader handles.
std::string ReadSecuredConnectionText(const std::string& iniFolder);
// Encrypts the text into the protected file in the INI folder. Refuses, writing nothing, a text whose encryption
// would be longer than the reader handles.
void WriteSecuredConnectionText(const std::string& iniFolder, std::string_view text);

}  // namespace vantrel
