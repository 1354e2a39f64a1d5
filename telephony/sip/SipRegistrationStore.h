#pragma once

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "telephony/sip/SipRegistrar.h"

namespace vantrel::telephony {

// Where the phones were, kept across restarts: the registrar's contacts in a file of the INI folder, so that a
// restarted server reaches every phone at once instead of after each phone's next registration (up to an hour).
// The file is the server user's alone and replaced whole at each change; what has expired by the next start is
// dropped there. One line per contact, tab-separated: station, contact URI, source, Call-ID, expiry (seconds
// since the epoch). Used on the SIP thread only.
class TSipRegistrationStore {
 public:
  using TContacts = std::map<std::string, std::vector<TSipRegistrar::TContact>>;

  explicit TSipRegistrationStore(std::filesystem::path fileName);

  const std::filesystem::path& FileName() const { return fileName_; }
  // The contacts still live now; lines that do not read as a contact are skipped (counted in *skipped).
  TContacts Load(std::size_t* skipped = nullptr);
  // Writes the file when the contacts differ from what it holds; throws std::runtime_error when it cannot be
  // written (the previous content is then untouched).
  void Save(const TContacts& contacts);

 private:
  std::filesystem::path fileName_;
  std::string written_;  // the file's content as last loaded or saved
};

}  // namespace vantrel::telephony
