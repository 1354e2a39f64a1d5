// What the SIP port keeps across a restart, and what it does with it at the next start.
#include "telephony/sip/SipPort.h"

extern "C" {
#include <re.h>
}

#include <cstring>
#include <filesystem>

#include "support/VantrelCommonRoutines.h"
#include "telephony/sip/SipText.h"

namespace vantrel::telephony {

namespace {

constexpr const char* kRegistrationsFile = "sip-registrations.txt";
constexpr const char* kLegJournalFile = "sip-calls.journal";
// BYEs the earlier run's parties send after the restart are answered for this many of its calls at most.
constexpr std::size_t kMaxEarlierCallIds = 4096;

}  // namespace

void TSipPort::RestoreRegistrations() {
  if (config_.stateFolder.empty()) return;
  registrationStore_ =
      std::make_unique<TSipRegistrationStore>(std::filesystem::path(config_.stateFolder) / kRegistrationsFile);
  std::size_t skipped = 0;
  std::size_t restored = 0;
  for (auto& [station, contacts] : registrationStore_->Load(&skipped)) {
    if (!IsSipStation(station)) continue;  // no longer a SIP station: its phones register again if it becomes one
    for (TSipRegistrar::TContact& contact : contacts) restored += registrar_.Bind(station, std::move(contact)) ? 1 : 0;
  }
  if (restored > 0 || skipped > 0)
    LogFormat("SIP: %d registrations of the earlier run restored from %s%s",
              {static_cast<int>(restored), registrationStore_->FileName().string(),
               skipped > 0 ? ", " + std::to_string(skipped) + " unreadable lines skipped" : std::string()});
  SaveRegistrations();  // without what lapsed while the server was down
}

void TSipPort::SaveRegistrations() {
  if (!registrationStore_) return;
  try {
    registrationStore_->Save(registrar_.Snapshot());
  } catch (const std::exception& error) {
    LogFormat("SIP: the registrations cannot be kept in %s: %s",
              {registrationStore_->FileName().string(), std::string(error.what())});
  }
}

void TSipPort::EndEarlierRunsCalls() {
  if (config_.stateFolder.empty()) return;
  legJournal_ = std::make_unique<TSipLegJournal>(std::filesystem::path(config_.stateFolder) / kLegJournalFile);
  const std::vector<TSipDialogRecord> left = legJournal_->TakeLeftOpen();
  if (left.empty()) return;
  LogFormat("SIP: the earlier run left %d calls; each gets a BYE", {static_cast<int>(left.size())});
  for (const TSipDialogRecord& dialog : left) {
    if (earlierRunsCallIds_.size() < kMaxEarlierCallIds) earlierRunsCallIds_.insert(dialog.callId);
    uri route{};
    pl routeText{};
    std::string firstRoute;
    if (!dialog.routes.empty()) {
      // The first route is where the request goes (loose routing): its URI without the angle brackets.
      firstRoute = dialog.routes.front().substr(1, dialog.routes.front().size() - 2);
      pl_set_str(&routeText, firstRoute.c_str());
      if (uri_decode(&route, &routeText) != 0) firstRoute.clear();
    }
    const int error = sip_requestf(
        nullptr, sip_, true, "BYE", dialog.target.c_str(), firstRoute.empty() ? nullptr : &route, nullptr, nullptr,
        [](int failure, const sip_msg* reply, void*) {
          if (reply != nullptr && reply->scode >= 200)
            LogFormat("SIP: BYE for call %s of the earlier run: %d",
                      {Text(reply->callid), static_cast<int>(reply->scode)});
          else if (failure != 0)
            LogFormat("SIP: BYE for a call of the earlier run not answered: %s", {std::string(std::strerror(failure))});
        },
        nullptr, "%s", ByeHeadersFor(dialog).c_str());
    if (error != 0)
      LogFormat("SIP: no BYE could be sent for call %s of the earlier run to %s: %s",
                {dialog.callId, dialog.target, std::string(std::strerror(error))});
  }
}

bool TSipPort::AnswerEarlierRunsBye(const sip_msg* msg) {
  if (earlierRunsCallIds_.empty() || pl_strcmp(&msg->met, "BYE") != 0) return false;
  if (earlierRunsCallIds_.count(Text(msg->callid)) == 0) return false;
  sip_reply(sip_, msg, 200, "OK");
  return true;
}

}  // namespace vantrel::telephony
