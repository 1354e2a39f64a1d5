#include "SipRegistrationStore.h"

#include <charconv>
#include <fstream>
#include <sstream>

#include "support/AtomicFile.h"
#include "telephony/sip/TabFields.h"

namespace vantrel::telephony {

namespace {

using TSystemClock = std::chrono::system_clock;

// Contacts come from the network: a field that would break the file's lines is not kept (the phone's next
// registration brings it back after a restart).
bool Storable(const std::string& text) { return !text.empty() && text.find_first_of("\t\r\n") == std::string::npos; }

}  // namespace

TSipRegistrationStore::TSipRegistrationStore(std::filesystem::path fileName) : fileName_(std::move(fileName)) {}

TSipRegistrationStore::TContacts TSipRegistrationStore::Load(std::size_t* skipped) {
  TContacts contacts;
  std::size_t bad = 0;
  std::ifstream file(fileName_);
  const auto systemNow = TSystemClock::now();
  const auto steadyNow = TSipRegistrar::TClock::now();
  for (std::string line; std::getline(file, line);) {
    if (line.empty()) continue;
    const std::vector<std::string> fields = SplitTabs(line);
    long long expiry = 0;
    const std::string& seconds = fields.back();
    const auto [end, error] = std::from_chars(seconds.data(), seconds.data() + seconds.size(), expiry);
    if (fields.size() != 5 || error != std::errc() || end != seconds.data() + seconds.size() || !Storable(fields[0]) ||
        !Storable(fields[1])) {
      ++bad;
      continue;
    }
    const auto expires = TSystemClock::time_point(std::chrono::seconds(expiry));
    if (expires <= systemNow) continue;  // lapsed while the server was down
    auto& list = contacts[fields[0]];
    if (list.size() >= TSipRegistrar::kMaxContacts) continue;
    list.push_back({fields[1], fields[2], fields[3],
                    steadyNow + std::chrono::duration_cast<TSipRegistrar::TClock::duration>(expires - systemNow)});
  }
  if (skipped != nullptr) *skipped = bad;
  written_.clear();  // the next save writes the file anew, without what lapsed
  return contacts;
}

void TSipRegistrationStore::Save(const TContacts& contacts) {
  const auto systemNow = TSystemClock::now();
  const auto steadyNow = TSipRegistrar::TClock::now();
  std::ostringstream text;
  for (const auto& [station, list] : contacts) {
    for (const TSipRegistrar::TContact& contact : list) {
      if (!Storable(station) || !Storable(contact.uri) || contact.source.find_first_of("\t\r\n") != std::string::npos ||
          contact.callId.find_first_of("\t\r\n") != std::string::npos || contact.expires <= steadyNow)
        continue;
      const auto expires = systemNow + std::chrono::duration_cast<TSystemClock::duration>(contact.expires - steadyNow);
      text << station << '\t' << contact.uri << '\t' << contact.source << '\t' << contact.callId << '\t'
           << std::chrono::duration_cast<std::chrono::seconds>(expires.time_since_epoch()).count() << '\n';
    }
  }
  if (text.str() == written_) return;
  WriteFileAtomically(fileName_.string(), text.str());
  written_ = text.str();
}

}  // namespace vantrel::telephony
