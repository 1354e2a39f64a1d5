#include "SipLegJournal.h"

extern "C" {
#include <re.h>
}

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "support/AtomicFile.h"
#include "telephony/sip/TabFields.h"
#include "support/VantrelCommonRoutines.h"
#include "telephony/sip/SipText.h"

namespace vantrel::telephony {

namespace {

constexpr std::size_t kLeastLinesBeforeRewrite = 1024;
// A dialog may have sent requests after it was recorded (NOTIFY after a transfer, a re-INVITE); any CSeq above
// them is right (RFC 3261 12.2.1.1 asks only that it grow), so the BYE takes a wide step.
constexpr std::uint32_t kCSeqStep = 1000;

bool Plain(const std::string& text) { return text.find_first_of("\t\r\n") == std::string::npos; }

std::string ContactOf(const sip_msg* msg) {
  const sip_hdr* header = sip_msg_hdr(msg, SIP_HDR_CONTACT);
  if (header == nullptr) return {};
  sip_addr address{};
  if (sip_addr_decode(&address, &header->val) != 0) return {};
  return Text(address.auri);
}

bool CollectRecordRoute(const sip_hdr* header, const sip_msg*, void* arg) {
  auto& list = *static_cast<std::vector<std::string>*>(arg);
  const std::string value = Text(header->val);
  std::size_t start = 0;
  while (start < value.size()) {
    const std::size_t open = value.find('<', start);
    const std::size_t close = open == std::string::npos ? std::string::npos : value.find('>', open);
    if (close == std::string::npos) break;
    list.push_back(value.substr(open, close - open + 1));
    start = close + 1;
  }
  return false;
}

// Record-Route values in message order; one header may carry several, comma-separated.
std::vector<std::string> RecordRoutesOf(const sip_msg* msg) {
  std::vector<std::string> routes;
  sip_msg_hdr_apply(msg, true, SIP_HDR_RECORD_ROUTE, CollectRecordRoute, &routes);
  return routes;
}

std::string LineOf(const TSipDialogRecord& dialog) {
  std::string routes;
  for (const std::string& route : dialog.routes) routes += (routes.empty() ? "" : ",") + route;
  return "+\t" + dialog.callId + "\t" + dialog.localTag + "\t" + dialog.remoteTag + "\t" + dialog.localUri + "\t" +
         dialog.remoteUri + "\t" + dialog.target + "\t" + routes + "\t" + std::to_string(dialog.cseq) + "\n";
}

}  // namespace

bool TSipDialogRecord::Complete() const {
  if (callId.empty() || localTag.empty() || remoteTag.empty() || localUri.empty() || remoteUri.empty() ||
      target.empty())
    return false;
  for (const std::string* field : {&callId, &localTag, &remoteTag, &localUri, &remoteUri, &target}) {
    if (!Plain(*field)) return false;
  }
  return std::all_of(routes.begin(), routes.end(),
                     [](const std::string& route) { return Plain(route) && route.find(',') == std::string::npos; });
}

TSipDialogRecord DialogOfIncomingInvite(const sip_msg* invite) {
  TSipDialogRecord dialog;
  dialog.callId = Text(invite->callid);
  dialog.remoteTag = Text(invite->from.tag);
  dialog.remoteUri = Text(invite->from.auri);
  dialog.localUri = Text(invite->to.auri);
  dialog.target = ContactOf(invite);
  dialog.routes = RecordRoutesOf(invite);  // the server keeps their order (RFC 3261 12.1.1)
  return dialog;
}

TSipDialogRecord DialogOfAnswerToOurInvite(const sip_msg* answer) {
  TSipDialogRecord dialog;
  dialog.callId = Text(answer->callid);
  dialog.localTag = Text(answer->from.tag);
  dialog.localUri = Text(answer->from.auri);
  dialog.remoteTag = Text(answer->to.tag);
  dialog.remoteUri = Text(answer->to.auri);
  dialog.target = ContactOf(answer);
  dialog.routes = RecordRoutesOf(answer);
  std::reverse(dialog.routes.begin(), dialog.routes.end());  // the client reverses them (RFC 3261 12.1.2)
  dialog.cseq = answer->cseq.num;
  return dialog;
}

std::string ByeHeadersFor(const TSipDialogRecord& dialog) {
  std::string headers = "To: <" + dialog.remoteUri + ">;tag=" + dialog.remoteTag + "\r\nFrom: <" + dialog.localUri +
                        ">;tag=" + dialog.localTag + "\r\nCall-ID: " + dialog.callId +
                        "\r\nCSeq: " + std::to_string(dialog.cseq + kCSeqStep) + " BYE\r\nMax-Forwards: 70\r\n";
  for (const std::string& route : dialog.routes) headers += "Route: " + route + "\r\n";
  headers += "Content-Length: 0\r\n\r\n";
  return headers;
}

TSipLegJournal::TSipLegJournal(std::filesystem::path fileName) : fileName_(std::move(fileName)) {}

TSipLegJournal::~TSipLegJournal() {
  if (file_ >= 0) ::close(file_);
}

std::vector<TSipDialogRecord> TSipLegJournal::TakeLeftOpen() {
  std::map<std::string, TSipDialogRecord> left;
  {
    std::ifstream file(fileName_);
    for (std::string line; std::getline(file, line);) {
      // A line without its break is one a kill cut short: it is not taken.
      if (file.eof()) break;
      const std::vector<std::string> fields = SplitTabs(line);
      if (fields.size() == 3 && fields[0] == "-") {
        left.erase(fields[1] + "\t" + fields[2]);
      } else if (fields.size() == 9 && fields[0] == "+") {
        TSipDialogRecord dialog{fields[1], fields[2], fields[3], fields[4], fields[5], fields[6], {}, 0};
        for (std::size_t start = 0; start < fields[7].size();) {
          const std::size_t comma = fields[7].find(',', start);
          dialog.routes.push_back(
              fields[7].substr(start, comma == std::string::npos ? std::string::npos : comma - start));
          start = comma == std::string::npos ? fields[7].size() : comma + 1;
        }
        dialog.cseq = static_cast<std::uint32_t>(std::strtoul(fields[8].c_str(), nullptr, 10));
        if (dialog.Complete()) left[dialog.Key()] = std::move(dialog);
      }
    }
  }
  open_.clear();
  Rewrite();
  std::vector<TSipDialogRecord> result;
  for (auto& [key, dialog] : left) result.push_back(std::move(dialog));
  return result;
}

void TSipLegJournal::Opened(const TSipDialogRecord& dialog) {
  if (!dialog.Complete()) return;
  open_[dialog.Key()] = dialog;
  Append(LineOf(dialog));
}

void TSipLegJournal::Closed(const std::string& key) {
  if (open_.erase(key) == 0) return;
  Append("-\t" + key + "\n");
  if (lines_ >= kLeastLinesBeforeRewrite && lines_ > 4 * open_.size()) Rewrite();
}

void TSipLegJournal::OpenForAppending() {
  if (file_ >= 0) ::close(file_);
  file_ = ::open(fileName_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (file_ < 0 && !failed_) {
    failed_ = true;
    LogFormat("SIP: the calls' journal %s cannot be written: %s; calls a crash cuts will not get their BYE",
              {fileName_.string(), std::string(std::strerror(errno))});
  }
}

void TSipLegJournal::Append(const std::string& line) {
  if (file_ < 0) OpenForAppending();
  if (file_ < 0) return;
  // One write per line: a kill leaves whole lines, or a last one without its break, which is not read.
  if (::write(file_, line.data(), line.size()) != static_cast<ssize_t>(line.size()) && !failed_) {
    failed_ = true;
    LogFormat("SIP: the calls' journal %s cannot be written: %s",
              {fileName_.string(), std::string(std::strerror(errno))});
  }
  ++lines_;
}

void TSipLegJournal::Rewrite() {
  std::string text;
  for (const auto& [key, dialog] : open_) text += LineOf(dialog);
  try {
    WriteFileAtomically(fileName_.string(), text);
    lines_ = open_.size();
  } catch (const std::exception& error) {
    if (!failed_) {
      failed_ = true;
      LogFormat("SIP: the calls' journal %s cannot be written: %s", {fileName_.string(), std::string(error.what())});
    }
  }
  OpenForAppending();
}

}  // namespace vantrel::telephony
