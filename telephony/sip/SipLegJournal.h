#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

struct sip_msg;

namespace vantrel::telephony {

// What it takes to end a SIP dialog without the stack that made it: a BYE needs the dialog's identity (Call-ID
// and both tags), both parties' URIs, where to send it (the remote target and the route set, RFC 3261 12.2.1.1)
// and a CSeq above every one the dialog used.
struct TSipDialogRecord {
  std::string callId, localTag, remoteTag;
  std::string localUri, remoteUri;
  std::string target;               // the party's Contact
  std::vector<std::string> routes;  // the route set, in the order requests take it (each "<uri...>")
  std::uint32_t cseq = 0;           // the last local CSeq known when it was recorded

  std::string Key() const { return callId + "\t" + localTag; }
  // A dialog whose identity and target are known (and fit the journal's lines).
  bool Complete() const;
};

// The dialog an incoming INVITE begins (we are its server; our tag is not known until the ACK), and the one
// the 2xx to our INVITE confirms.
TSipDialogRecord DialogOfIncomingInvite(const sip_msg* invite);
TSipDialogRecord DialogOfAnswerToOurInvite(const sip_msg* answer);

// The BYE that ends a recorded dialog: its headers after the request line and Via, which the stack adds.
std::string ByeHeadersFor(const TSipDialogRecord& dialog);

// The dialogs of answered SIP calls (and of our INVITEs that ring), kept in an append-only file of the INI folder (the server user's alone)
// while they last, so that the next start sends BYE for every leg a killed run left: phones stop talking to a
// dead relay and the trunk frees its channels at once. Lines: "+" and the record's fields, or "-", Call-ID and
// local tag, tab-separated. A kill loses nothing the kernel took; the file is rewritten with the live dialogs
// when it has grown well past them. Used on the SIP thread only.
class TSipLegJournal {
 public:
  explicit TSipLegJournal(std::filesystem::path fileName);
  ~TSipLegJournal();
  TSipLegJournal(const TSipLegJournal&) = delete;
  TSipLegJournal& operator=(const TSipLegJournal&) = delete;

  const std::filesystem::path& FileName() const { return fileName_; }
  // The dialogs an earlier run left open; the journal starts afresh after it.
  std::vector<TSipDialogRecord> TakeLeftOpen();
  void Opened(const TSipDialogRecord& dialog);
  void Closed(const std::string& key);
  std::size_t OpenCount() const { return open_.size(); }

 private:
  void Append(const std::string& line);
  void Rewrite();
  void OpenForAppending();

  std::filesystem::path fileName_;
  int file_ = -1;
  std::map<std::string, TSipDialogRecord> open_;
  std::size_t lines_ = 0;  // in the file now
  bool failed_ = false;    // said once in the log
};

}  // namespace vantrel::telephony
