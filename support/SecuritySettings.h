#pragma once

#include <string>
#include <vector>

namespace vantrel {

// What Settings.ini in the INI folder says under "[Security]": the folders beyond the INI folder that clients
// may name ("AllowedFolders", separated by ';'), whether clients may run SQL of their own ("ClientSQL", on
// unless 0; "ReadOnly": only what cannot write), and the files that turn IIOP over TLS on: the server's
// "CertificateFile" and "PrivateKeyFile" (PEM, with "PrivateKeyPassword" when the key is encrypted) and "ClientCAFile",
// the CA that signs the certificates of the clients let in. TLS is on when all three files are named.
inline constexpr const char* kSecuritySection = "Security";

struct TSecuritySettings {
  std::vector<std::string> allowedFolders;
  bool clientSQL = true;
  bool clientSQLReadOnly = false;  // "ClientSQL=ReadOnly"
  std::string certificateFile;
  std::string privateKeyFile;
  std::string privateKeyPassword;
  std::string clientCAFile;

  bool distributed = false;  // "[Server]" "Type=Distributed"

  bool TLS() const { return !certificateFile.empty() && !privateKeyFile.empty() && !clientCAFile.empty(); }

  // Relative file names are taken from the INI folder. A file that is missing or unreadable yields the
  // defaults, which keep everything as it was.
  static TSecuritySettings Load(const std::string& iniFolder);
};

}  // namespace vantrel
