#pragma once

#include <cstddef>
#include <deque>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "CallLogRow.h"

namespace vantrel {

// The append-only file that keeps call-log rows the database could not take, so none is lost.
// Lines, each ended by a line break (a torn last line is a write a kill cut short and is ignored):
//   "R" and the thirteen fields of a row, tab-separated, with \\ \t \n \r escaped;
//   "B" count key order: the first count outstanding rows are about to be committed, the first of them as
//       EventOrder order of call key (written before the commit, so a kill during it can be resolved);
//   "C" count: the first count outstanding rows are in the database.
// Not thread-safe: the call-log writer's thread alone uses it.
class TCallLogJournal {
 public:
  struct TAttempt {
    std::size_t count = 0;
    std::string callHandle;
    int eventOrder = 0;
  };

  explicit TCallLogJournal(std::filesystem::path fileName);
  ~TCallLogJournal();
  TCallLogJournal(const TCallLogJournal&) = delete;
  TCallLogJournal& operator=(const TCallLogJournal&) = delete;

  const std::filesystem::path& FileName() const { return fileName_; }
  // What a previous run left: the rows still outstanding, in order, and an attempt whose outcome is unknown.
  // A torn last line is cut off the file. Throws when the file exists but cannot be read.
  void Load(std::deque<TCallLogRow>& outstanding, std::optional<TAttempt>& unresolved);

  // Each call is one write, flushed to the disk before it returns; throws when the file cannot be written.
  void AppendRows(const std::vector<TCallLogRow>& rows);
  void MarkAttempt(const TAttempt& attempt);
  void MarkCommitted(std::size_t count);
  // Nothing is outstanding any more: the file goes.
  void Remove();

 private:
  void AppendText(const std::string& text);

  std::filesystem::path fileName_;
  int file_ = -1;  // open for appending once something was written
};

}  // namespace vantrel
