#pragma once

#include <string>

namespace vantrel {

// The files of one side of IIOP over TLS, in PEM: its own certificate (chain) and private key, and the CA whose
// signature it requires of the other side. Server and clients alike present a certificate; a peer without one
// signed by the CA cannot connect.
struct TTlsFiles {
  std::string certificateFile;
  std::string privateKeyFile;
  std::string privateKeyPassword;
  std::string caFile;
};

// Makes omniORB's SSL transport use these files; call before ORB_init, and use "giop:ssl" endpoints. Throws
// std::runtime_error naming a file that cannot be read.
void UseTls(const TTlsFiles& files);

}  // namespace vantrel
