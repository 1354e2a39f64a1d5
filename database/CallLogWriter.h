#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "CallLogJournal.h"
#include "CallLogRow.h"
#include "DataConnection.h"

namespace vantrel {

// Writes the call log on a thread of its own, so that no line ever waits for the database.
//
// Rows are written in the order they were accepted, many to a transaction. Each gets its EventOrder from a
// counter per call key kept here, seeded from the table the first time a key is seen (so a restart continues
// a call's numbering); this thread is the only writer of the table, which makes the counter exact.
//
// States: Writing (rows go straight to the database) and Journaling (the database took no rows: every row goes
// to the journal file first and is written from there, in order, once the database takes rows again). A row is
// never lost and never written twice: a commit whose outcome is unknown is marked in the journal and checked
// against the table before anything else is written.
class TCallLogWriter {
 public:
  enum class TState { Writing, Journaling };

  // The connection string is asked for before each batch, so a changed setting is followed; a relative SQLite
  // file is taken in baseFolder. beforeBatch (may be empty) runs on the writer's thread before each batch.
  // The journal of an earlier run is written before any new row.
  TCallLogWriter(std::string baseFolder, std::filesystem::path journalFile,
                 std::function<std::string()> connectionString, std::function<void()> beforeBatch = {});
  ~TCallLogWriter();
  TCallLogWriter(const TCallLogWriter&) = delete;
  TCallLogWriter& operator=(const TCallLogWriter&) = delete;

  // Takes the row and returns at once.
  void Append(TCallLogRow row);
  // Writes what is pending: to the database when it takes the rows before the deadline, the rest to the
  // journal. The thread ends; rows appended later are journaled at once.
  void Stop(std::chrono::milliseconds deadline);
  // Rows accepted (and left by an earlier run) that are not in the database yet.
  std::size_t Waiting() const;
  // Waits until every row accepted so far is in the database; false when the deadline passed first.
  bool WaitUntilWritten(std::chrono::milliseconds deadline);
  TState State() const;

  // The text of the rows' statements, exactly as the call log has always written them.
  static std::string InsertStatement(const TCallLogRow& row, int eventOrder);
  // The next EventOrder of the rows numbered together under the key (OrderKey).
  static std::string NextEventOrderStatement(const std::string& orderKey);
  // A call's rows are numbered together, and so are its queue rows, apart from them.
  static std::string OrderKey(const TCallLogRow& row);

 private:
  using TClock = std::chrono::steady_clock;

  void Run();
  void LoadJournal();
  void ReloadFromJournal();
  // The journal's outstanding rows become the backlog: the first ones in memory, the rest counted on disk.
  void TakeOutstanding(const std::deque<TCallLogRow>& outstanding);
  // Moves rows into the journal (and the backlog); a journal that cannot be written keeps them in memory.
  void Journal(std::vector<TCallLogRow> rows);
  // Writes the backlog batch by batch; false at the first failure.
  bool DrainBacklog();
  // Writes the rows straight to the database; the ones not written go to the journal. False on failure.
  bool WriteDirect(std::vector<TCallLogRow> rows);
  // One transaction. Sets committing when the statements were all issued and the commit was asked for;
  // beforeCommit (may be empty) learns the attempt just before.
  // The first earlierRows of them are an earlier run's: the calls that run left open are ended after them, in
  // the same transaction, before any row of this run.
  void Commit(const std::vector<TCallLogRow>& rows, std::size_t first, std::size_t count,
              TCallLogJournal::TAttempt& attempt, bool& committing,
              const std::function<void(const TCallLogJournal::TAttempt&)>& beforeCommit, std::size_t earlierRows = 0);
  // Ends the calls an earlier run left open when nothing else is to be written (else the next commit does).
  void EndCutCallsAlone();
  void ResolveUnknownAttempt();
  void UseCurrentConnectionString();
  void Failed(const std::string& reason);
  void Written(std::size_t rows, bool fromBacklog);
  void Transition(TState to, const std::string& reason);

  const std::function<std::string()> connectionString_;
  const std::function<void()> beforeBatch_;
  TDataConnection connection_;  // this thread's own, so the batches' transactions hold no one else's statements

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<TCallLogRow> queue_;    // guarded by mutex_: accepted, not yet taken by the thread
  std::uint64_t accepted_ = 0;        // guarded by mutex_
  std::uint64_t written_ = 0;         // guarded by mutex_: rows of this run in the database
  std::size_t leftByEarlierRun_ = 0;  // guarded by mutex_: rows of an earlier run not yet in the database
  TState state_ = TState::Writing;    // guarded by mutex_
  bool stopping_ = false;             // guarded by mutex_
  bool stopped_ = false;              // guarded by mutex_
  TClock::time_point stopDeadline_;   // guarded by mutex_

  // Only the writer's thread touches the rest.
  TCallLogJournal journal_;
  std::deque<TCallLogRow> backlog_;  // rows in the journal not yet in the database, in order (the first ones)
  std::size_t onDiskOnly_ = 0;       // further journaled rows, kept on disk only while the backlog is full
  bool journalWritable_ = true;      // false after a failed write, until the journal is empty again
  std::optional<TCallLogJournal::TAttempt> unknownAttempt_;
  std::unordered_map<std::string, int> lastEventOrder_;  // by call key; forgotten after any failure
  std::uint64_t queueTableOn_ = 0;  // the connection's open on which the queue log's table was made sure of
  std::uint64_t openCallTableOn_ = 0;  // ... and the open calls' table
  bool cutCallsPending_ = true;        // the calls an earlier run left open are not ended yet
  std::string startTime_;              // when this run began: the ending time of the calls it finds cut
  std::uint64_t countedOn_ = 0;     // the connection's open that lastEventOrder_ was read on
  std::chrono::milliseconds retryDelay_{0};
  TClock::time_point nextAttempt_;

  std::thread thread_;
};

const char* CallLogStateName(TCallLogWriter::TState state);

}  // namespace vantrel
