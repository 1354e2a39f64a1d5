#include "CallLogWriter.h"

#include <algorithm>
#include <stdexcept>

#include "CallLogCutCalls.h"
#include "CrmSchema.h"
#include "support/DateTime.h"
#include "support/ExceptionText.h"
#include "support/FormatText.h"
#include "support/VantrelCommonRoutines.h"

namespace vantrel {

namespace {

constexpr std::size_t kBatchRows = 512;
constexpr std::size_t kInsertsPerStatement = 64;
// Rows of the journal also held in memory; the rest is read back from the file as the backlog drains.
constexpr std::size_t kBacklogInMemory = 50000;
constexpr std::size_t kMaxCallKeys = 50000;
constexpr std::chrono::milliseconds kFirstRetry{200};
constexpr std::chrono::milliseconds kLastRetry{2000};

}  // namespace

const char* CallLogStateName(TCallLogWriter::TState state) {
  return state == TCallLogWriter::TState::Writing ? "Writing" : "Journaling";
}

namespace {
// Queue rows are numbered per call key apart from the call's own rows: their order keys carry this prefix;
// recordings' rows are numbered apart again.
constexpr std::string_view kQueueOrderKey = "queue:";
constexpr std::string_view kRecordingOrderKey = "recording:";
constexpr std::string_view kCallbackOrderKey = "callback:";

// The table rows of the order key go to, and the call key in it.
const char* TableOfOrderKey(const std::string& orderKey, std::string* callHandle) {
  for (const auto& [prefix, table] : {std::pair{kQueueOrderKey, "tq_VantrelQueueLog"},
                                      std::pair{kRecordingOrderKey, "tq_VantrelRecording"},
                                      std::pair{kCallbackOrderKey, "tq_VantrelCallback"}}) {
    if (orderKey.rfind(prefix, 0) == 0) {
      *callHandle = orderKey.substr(prefix.size());
      return table;
    }
  }
  *callHandle = orderKey;
  return "tq_VantrelLog";
}
}  // namespace

std::string TCallLogWriter::OrderKey(const TCallLogRow& row) {
  if (row.IsCallback()) return std::string(kCallbackOrderKey) + row.CallHandle;
  if (row.IsRecording()) return std::string(kRecordingOrderKey) + row.CallHandle;
  return row.QueueEvent == TQueueEvent::None ? row.CallHandle : std::string(kQueueOrderKey) + row.CallHandle;
}

std::string TCallLogWriter::InsertStatement(const TCallLogRow& row, int eventOrder) {
  if (row.IsCallback()) {
    // Each change of a callback is a row of its own: the one with the highest EventOrder says where it stands.
    return FormatText(
        "insert into tq_VantrelCallback (CallHandle, Rule_id, LinePhoneNumber, CallerPhoneNumber, RequestedAt, State, "
        "Attempts, NextAttempt, EventOrder) values (%s, %d, %s, %s, %s, %s, %d, %s, %d)",
        {SqlQuoted(row.CallHandle), row.Rule_id, SqlQuoted(row.LinePhoneNumber), SqlQuoted(row.CallerPhoneNumber),
         SqlQuoted(row.BeginTime), SqlQuoted(row.CallbackState), row.Reason,
         row.EndTime.empty() ? std::string("null") : SqlQuoted(row.EndTime), eventOrder});
  }
  if (row.IsRecording()) {
    return FormatText(
        "insert into tq_VantrelRecording (CallHandle, LinePhoneNumber, Operator_id, FileName, StartTime, Seconds, "
        "PausedSeconds, EventOrder) values (%s, %s, %d, %s, %s, %d, %d, %d)",
        {SqlQuoted(row.CallHandle), SqlQuoted(row.LinePhoneNumber), row.Operator_id, SqlQuoted(row.File),
         SqlQuoted(row.BeginTime), row.Seconds, row.PausedSeconds, eventOrder});
  }
  if (row.QueueEvent != TQueueEvent::None) {
    return FormatText(
        "insert into tq_VantrelQueueLog (QueueEventType, CallHandle, EventTime, Rule_id, LinePhoneNumber, "
        "CallerPhoneNumber, OperatorPhoneNumber, Operator_id, Seconds, Reason, EventOrder) values (%d, %s, %s, %d, %s, "
        "%s, %s, %d, %d, %d, %d)",
        {static_cast<int>(row.QueueEvent), SqlQuoted(row.CallHandle), SqlQuoted(row.BeginTime), row.Rule_id,
         SqlQuoted(row.LinePhoneNumber), SqlQuoted(row.CallerPhoneNumber), SqlQuoted(row.ConnectedPhoneNumber),
         row.Operator_id, row.Seconds, row.Reason, eventOrder});
  }
  return FormatText(
      "insert into tq_VantrelLog (CallEventType, CallHandle, BeginTime, EndTime, LinePhoneNumber, LineIsOuter, "
      "CallerPhoneNumber, CalledPhoneNumber, ConnectedPhoneNumber, Operator_id, Task_id, EventOrder, "
      "ParentCallHandle, ConsultCallHandle) values (%d, %s, %s, %s, %s, %d, %s, %s, %s, %d, %d, %d, %s, %s)",
      {row.CallEventType, SqlQuoted(row.CallHandle), SqlQuoted(row.BeginTime), SqlQuoted(row.EndTime),
       SqlQuoted(row.LinePhoneNumber), row.LineIsOuter, SqlQuoted(row.CallerPhoneNumber),
       SqlQuoted(row.CalledPhoneNumber), SqlQuoted(row.ConnectedPhoneNumber), row.Operator_id, row.Task_id, eventOrder,
       SqlQuoted(row.ParentCallHandle), SqlQuoted(row.ConsultCallHandle)});
}

std::string TCallLogWriter::NextEventOrderStatement(const std::string& orderKey) {
  std::string callHandle;
  const char* table = TableOfOrderKey(orderKey, &callHandle);
  return FormatText("select isnull(max(EventOrder), 0) + 1 as EventOrder from %s where CallHandle = %s",
                    {table, SqlQuoted(callHandle)});
}

TCallLogWriter::TCallLogWriter(std::string baseFolder, std::filesystem::path journalFile,
                               std::function<std::string()> connectionString, std::function<void()> beforeBatch)
    : connectionString_(std::move(connectionString)),
      beforeBatch_(std::move(beforeBatch)),
      connection_(std::move(baseFolder)),
      journal_(std::move(journalFile)),
      startTime_(DateTimeText(NowLocal(), false)) {
  // Before any row is taken: what an earlier run left is counted as waiting and written first.
  LoadJournal();
  thread_ = std::thread([this] { Run(); });
}

TCallLogWriter::~TCallLogWriter() { Stop(std::chrono::seconds(5)); }

void TCallLogWriter::Append(TCallLogRow row) {
  {
    std::lock_guard lock(mutex_);
    if (stopped_) {
      // Late rows after the stop: straight to the journal, written at the next start.
      ++accepted_;
      std::vector<TCallLogRow> late{std::move(row)};
      try {
        journal_.AppendRows(late);
      } catch (...) {
        LogErrorLine("Call log: a row after the stop could not be kept: " + ExceptionText(std::current_exception()));
      }
      return;
    }
    queue_.push_back(std::move(row));
    ++accepted_;
  }
  changed_.notify_all();
}

void TCallLogWriter::Stop(std::chrono::milliseconds deadline) {
  {
    std::lock_guard lock(mutex_);
    if (stopping_) {
      // Already stopping or stopped: just wait for the thread below.
    } else {
      stopping_ = true;
      stopDeadline_ = TClock::now() + deadline;
    }
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
}

std::size_t TCallLogWriter::Waiting() const {
  std::lock_guard lock(mutex_);
  return static_cast<std::size_t>(accepted_ - written_) + leftByEarlierRun_;
}

bool TCallLogWriter::WaitUntilWritten(std::chrono::milliseconds deadline) {
  std::unique_lock lock(mutex_);
  const std::uint64_t target = accepted_;
  return changed_.wait_for(lock, deadline, [&] { return written_ >= target && leftByEarlierRun_ == 0; });
}

TCallLogWriter::TState TCallLogWriter::State() const {
  std::lock_guard lock(mutex_);
  return state_;
}

void TCallLogWriter::Transition(TState to, const std::string& reason) {
  TState from;
  {
    std::lock_guard lock(mutex_);
    from = state_;
    state_ = to;
  }
  if (from == to) return;
  LogFormat("call log: %s -> %s (%s)", {CallLogStateName(from), CallLogStateName(to), reason});
}

void TCallLogWriter::Written(std::size_t rows, bool fromBacklog) {
  {
    std::lock_guard lock(mutex_);
    std::size_t earlier = 0;
    if (fromBacklog) {
      earlier = std::min(rows, leftByEarlierRun_);
      leftByEarlierRun_ -= earlier;
    }
    written_ += rows - earlier;
  }
  changed_.notify_all();
}

void TCallLogWriter::LoadJournal() {
  try {
    std::deque<TCallLogRow> outstanding;
    journal_.Load(outstanding, unknownAttempt_);
    if (outstanding.empty()) {
      journal_.Remove();
      unknownAttempt_.reset();
      return;
    }
    {
      std::lock_guard lock(mutex_);
      leftByEarlierRun_ = outstanding.size();
    }
    LogErrorLine(FormatText("Call log: %d rows of an earlier run wait in %s",
                            {static_cast<long>(outstanding.size()), journal_.FileName().string()}));
    TakeOutstanding(outstanding);
    Transition(TState::Journaling, "rows of an earlier run");
  } catch (...) {
    LogErrorLine("Call log: the journal of an earlier run cannot be read: " + ExceptionText(std::current_exception()));
  }
}

void TCallLogWriter::ReloadFromJournal() {
  std::deque<TCallLogRow> outstanding;
  std::optional<TCallLogJournal::TAttempt> attempt;
  journal_.Load(outstanding, attempt);
  TakeOutstanding(outstanding);
}

void TCallLogWriter::TakeOutstanding(const std::deque<TCallLogRow>& outstanding) {
  const std::size_t inMemory = std::min(outstanding.size(), kBacklogInMemory);
  backlog_.assign(outstanding.begin(), outstanding.begin() + static_cast<std::ptrdiff_t>(inMemory));
  onDiskOnly_ = outstanding.size() - inMemory;
}

void TCallLogWriter::Journal(std::vector<TCallLogRow> rows) {
  if (rows.empty()) return;
  try {
    if (journalWritable_) journal_.AppendRows(rows);
  } catch (...) {
    // Disk full or the folder gone: the rows stay in memory and are written when the database is back. The
    // journal takes nothing more until then, so the rows it holds stay the first ones of the backlog.
    LogErrorLine("Call log: the journal cannot be written: " + ExceptionText(std::current_exception()));
    journalWritable_ = false;
  }
  if (!journalWritable_) {
    for (TCallLogRow& row : rows) backlog_.push_back(std::move(row));
    return;
  }
  for (TCallLogRow& row : rows) {
    if (backlog_.size() < kBacklogInMemory && onDiskOnly_ == 0) {
      backlog_.push_back(std::move(row));
    } else {
      ++onDiskOnly_;
    }
  }
}

void TCallLogWriter::UseCurrentConnectionString() {
  if (beforeBatch_) beforeBatch_();
  const std::string wanted = connectionString_();
  if (wanted == connection_.ConnectionString()) return;
  connection_.Close();
  connection_.SetConnectionString(wanted);
}

void TCallLogWriter::Commit(const std::vector<TCallLogRow>& rows, std::size_t first, std::size_t count,
                            TCallLogJournal::TAttempt& attempt, bool& committing,
                            const std::function<void(const TCallLogJournal::TAttempt&)>& beforeCommit,
                            std::size_t earlierRows) {
  std::unordered_map<std::string, int> staged;
  attempt = {count, count > 0 ? OrderKey(rows[first]) : std::string(), 0};
  std::size_t earlierLeft = 0;
  {
    std::lock_guard lock(mutex_);
    earlierLeft = leftByEarlierRun_;
  }
  // The calls an earlier run left open are ended once every row of that run is in, before any row of this one.
  const bool endsCutCalls = cutCallsPending_ && earlierRows >= earlierLeft;
  std::vector<TCallLogRow> cutCalls;
  connection_.Transaction([&](TDataConnection::TTransaction& statements) {
    cutCalls.clear();
    if (connection_.Opens() != countedOn_) {
      // A new connection may reach another database (a CRM file made anew): its numbers are read again.
      lastEventOrder_.clear();
      countedOn_ = connection_.Opens();
    }
    // Also for a batch of call-log rows only: the reports' indexes are made on the first batch after a start.
    if (queueTableOn_ != connection_.Opens()) {
      for (const std::string& statement : CrmQueueLogStatements(connection_.Dialect())) statements.Execute(statement);
      queueTableOn_ = connection_.Opens();
    }
    if (openCallTableOn_ != connection_.Opens()) {
      for (const std::string& statement : CrmOpenCallStatements(connection_.Dialect())) statements.Execute(statement);
      for (const std::string& statement : CrmRecordingStatements(connection_.Dialect())) statements.Execute(statement);
      for (const std::string& statement : CrmCallbackStatements(connection_.Dialect())) statements.Execute(statement);
      openCallTableOn_ = connection_.Opens();
    }
    std::string inserts;
    std::size_t pending = 0;
    const auto flush = [&] {
      if (pending > 0) statements.Execute(inserts);
      inserts.clear();
      pending = 0;
    };
    const auto write = [&](const TCallLogRow& row, bool first) {
      const std::string key = OrderKey(row);
      auto order = staged.find(key);
      if (order == staged.end()) {
        const auto known = lastEventOrder_.find(key);
        int last = 0;
        if (known != lastEventOrder_.end()) {
          last = known->second;
        } else {
          const auto next = statements.QueryFirstRow(NextEventOrderStatement(key), {"EventOrder"});
          last = (next ? StrToIntDef(next->front(), 1) : 1) - 1;
        }
        order = staged.emplace(key, last).first;
      }
      const int eventOrder = ++order->second;
      if (first) attempt.eventOrder = eventOrder;
      // Several inserts to a round trip: a database server's latency is paid once for them.
      inserts += InsertStatement(row, eventOrder) + ";\n";
      const std::string opening = OpenCallStatement(row);
      if (!opening.empty()) inserts += opening + ";\n";
      if (++pending == kInsertsPerStatement) flush();
    };
    for (std::size_t i = first; i < first + count; ++i) {
      if (endsCutCalls && i == first + earlierRows) {
        flush();
        cutCalls = TakeCutCalls(statements, startTime_);
        for (const TCallLogRow& row : cutCalls) write(row, false);
      }
      write(rows[i], i == first);
    }
    if (endsCutCalls && earlierRows >= count) {
      flush();
      cutCalls = TakeCutCalls(statements, startTime_);
      for (const TCallLogRow& row : cutCalls) write(row, false);
    }
    flush();
    if (beforeCommit) beforeCommit(attempt);
    committing = true;
  });
  if (lastEventOrder_.size() > kMaxCallKeys) lastEventOrder_.clear();  // seeded again from the table when needed
  for (const auto& [key, order] : staged) lastEventOrder_[key] = order;
  if (!endsCutCalls) return;
  cutCallsPending_ = false;
  for (const TCallLogRow& row : cutCalls) {
    LogErrorLine(
        FormatText("Call log: call %s at line %s was cut off by the server's end; its ending row is "
                   "written with the time of the restart, %s",
                   {row.CallHandle, row.LinePhoneNumber, row.EndTime}));
  }
}

void TCallLogWriter::EndCutCallsAlone() {
  if (!cutCallsPending_) return;
  TCallLogJournal::TAttempt attempt;
  bool committing = false;
  try {
    UseCurrentConnectionString();
    if (connection_.ConnectionString().empty()) return;  // no database yet: the first rows will do it
    Commit({}, 0, 0, attempt, committing, nullptr);
  } catch (...) {
    // Nothing else was in the transaction: committed or not, the table of open calls tells the next commit,
    // which does it before its rows.
    connection_.Close();
    LogFormat("call log: the calls an earlier run left open wait for the database: %s",
              {ExceptionText(std::current_exception())});
  }
}

void TCallLogWriter::ResolveUnknownAttempt() {
  if (!unknownAttempt_) return;
  const TCallLogJournal::TAttempt attempt = *unknownAttempt_;
  std::string callHandle;
  const char* table = TableOfOrderKey(attempt.callHandle, &callHandle);
  const auto found = connection_.QueryFirstRow(
      FormatText("select count(*) as Found from %s where CallHandle = %s and EventOrder = %d",
                 {table, SqlQuoted(callHandle), attempt.eventOrder}),
      {"Found"});
  const bool committed = found && StrToIntDef(found->front(), 0) > 0;
  LogFormat("call log: the batch of %d rows whose commit was not confirmed is %s",
            {static_cast<long>(attempt.count), committed ? "in the database" : "not in the database"});
  if (committed) {
    if (journalWritable_) journal_.MarkCommitted(attempt.count);
    const std::size_t fromMemory = std::min(attempt.count, backlog_.size());
    backlog_.erase(backlog_.begin(), backlog_.begin() + static_cast<std::ptrdiff_t>(fromMemory));
    Written(attempt.count, true);
  }
  unknownAttempt_.reset();
}

void TCallLogWriter::Failed(const std::string& reason) {
  lastEventOrder_.clear();
  connection_.Close();
  retryDelay_ = std::clamp(retryDelay_ * 2, kFirstRetry, kLastRetry);
  nextAttempt_ = TClock::now() + retryDelay_;
  if (State() == TState::Writing) {
    const std::size_t waiting = Waiting();
    LogErrorLine(FormatText("Call log: the database takes no rows: %s; %d rows wait in %s",
                            {reason, static_cast<long>(waiting), journal_.FileName().string()}));
    Transition(TState::Journaling, reason);
  }
}

bool TCallLogWriter::DrainBacklog() {
  bool resumed = false;
  while (!backlog_.empty() || onDiskOnly_ > 0) {
    TCallLogJournal::TAttempt attempt;
    bool committing = false;
    std::size_t count = 0;
    try {
      UseCurrentConnectionString();
      ResolveUnknownAttempt();
      if (backlog_.empty() && onDiskOnly_ > 0) ReloadFromJournal();
      if (backlog_.empty()) break;
      count = std::min(backlog_.size(), kBatchRows);
      const std::vector<TCallLogRow> batch(backlog_.begin(), backlog_.begin() + static_cast<std::ptrdiff_t>(count));
      // The marker is on disk before the commit: a kill during the commit is resolved from it at the next start.
      std::size_t earlier = 0;
      {
        std::lock_guard lock(mutex_);
        earlier = std::min(count, leftByEarlierRun_);
      }
      Commit(
          batch, 0, count, attempt, committing,
          [&](const TCallLogJournal::TAttempt& planned) {
            if (journalWritable_) journal_.MarkAttempt(planned);
          },
          earlier);
    } catch (...) {
      if (committing) unknownAttempt_ = attempt;
      Failed(ExceptionText(std::current_exception()));
      return false;
    }
    if (!resumed) {
      resumed = true;
      LogErrorLine(FormatText("Call log: the database takes rows again; %d rows waiting",
                              {static_cast<long>(backlog_.size() + onDiskOnly_)}));
    }
    if (journalWritable_) {
      try {
        journal_.MarkCommitted(count);
      } catch (...) {
        journalWritable_ = false;
      }
    }
    backlog_.erase(backlog_.begin(), backlog_.begin() + static_cast<std::ptrdiff_t>(count));
    // Everything the journal held is in the database: it goes before anyone is told.
    if (backlog_.empty() && onDiskOnly_ == 0) journal_.Remove();
    Written(count, true);
  }
  EndCutCallsAlone();
  journal_.Remove();
  journalWritable_ = true;
  retryDelay_ = std::chrono::milliseconds(0);
  Transition(TState::Writing, "the rows that waited are written");
  return true;
}

bool TCallLogWriter::WriteDirect(std::vector<TCallLogRow> rows) {
  for (std::size_t first = 0; first < rows.size(); first += kBatchRows) {
    const std::size_t count = std::min(kBatchRows, rows.size() - first);
    TCallLogJournal::TAttempt attempt;
    bool committing = false;
    try {
      UseCurrentConnectionString();
      Commit(rows, first, count, attempt, committing, nullptr);
    } catch (...) {
      const std::string reason = ExceptionText(std::current_exception());
      // The journal is empty in this state: the rows not written are its first rows.
      Journal(std::vector<TCallLogRow>(std::make_move_iterator(rows.begin() + static_cast<std::ptrdiff_t>(first)),
                                       std::make_move_iterator(rows.end())));
      if (committing) {
        unknownAttempt_ = attempt;
        if (journalWritable_) {
          try {
            journal_.MarkAttempt(attempt);
          } catch (...) {
            journalWritable_ = false;
          }
        }
      }
      Failed(reason);
      return false;
    }
    Written(count, false);
  }
  return true;
}

void TCallLogWriter::Run() {
  if (State() == TState::Writing) EndCutCallsAlone();  // else after the earlier run's rows, as they drain
  for (;;) {
    std::vector<TCallLogRow> incoming;
    bool stopping = false;
    TClock::time_point stopDeadline;
    {
      std::unique_lock lock(mutex_);
      const bool waitingToRetry = state_ == TState::Journaling;
      const auto ready = [&] {
        return !queue_.empty() || stopping_ || (waitingToRetry && TClock::now() >= nextAttempt_);
      };
      if (waitingToRetry) {
        changed_.wait_until(lock, nextAttempt_, ready);
      } else {
        changed_.wait(lock, ready);
      }
      incoming.swap(queue_);
      stopping = stopping_;
      stopDeadline = stopDeadline_;
    }
    const bool pastDeadline = stopping && TClock::now() >= stopDeadline;
    if (State() == TState::Journaling || pastDeadline) {
      Journal(std::move(incoming));
      incoming.clear();
      if (!pastDeadline && TClock::now() >= nextAttempt_) DrainBacklog();
    } else {
      WriteDirect(std::move(incoming));
    }
    if (stopping) {
      std::unique_lock lock(mutex_);
      const bool done = queue_.empty() && state_ == TState::Writing;
      if (done || TClock::now() >= stopDeadline) {
        if (!queue_.empty()) {
          std::vector<TCallLogRow> rest;
          rest.swap(queue_);
          lock.unlock();
          Journal(std::move(rest));
          lock.lock();
        }
        stopped_ = true;
        break;
      }
      if (state_ == TState::Journaling) {
        // Try again soon, but not past the deadline.
        nextAttempt_ = std::min(nextAttempt_, stopDeadline);
      }
    }
  }
  connection_.Close();
  changed_.notify_all();
}

}  // namespace vantrel
