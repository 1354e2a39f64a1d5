// The call-log writer on its own, against the CRM backends: numbering, order, the journal while the database
// takes no rows, and a journal left by a run that was killed.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "CrmBackends.h"
#include "WaitUntil.h"
#include "database/CallLogWriter.h"

using namespace vantrel;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

TCallLogRow Row(const std::string& key, int type, const std::string& caller = "5550100") {
  TCallLogRow row;
  row.CallEventType = type;
  row.CallHandle = key;
  row.BeginTime = "2026-12-07 10:00:00";
  row.EndTime = "2026-12-07 10:00:01";
  row.LinePhoneNumber = "101";
  row.CallerPhoneNumber = caller;
  row.CalledPhoneNumber = "101";
  return row;
}

// A writer and a reader of the call log of one CRM backend, with the SQLite file in a fresh folder.
class CallLogWriterFixture : public ::testing::Test {
 protected:
  virtual crmtest::CrmBackend Backend() const = 0;
  void SetUp() override {
    if (crmtest::CrmConnectionString(Backend()).empty()) GTEST_SKIP() << crmtest::kNoPostgres;
    folder_ = fs::temp_directory_path() / ("vantrel-calllog-" + std::to_string(::getpid()));
    fs::remove_all(folder_);
    fs::create_directories(folder_);
    crmtest::ResetCrm(Backend(), folder_.string());
    reader_.SetBaseFolder(folder_.string());
    reader_.SetConnectionString(crmtest::CrmConnectionString(Backend()));
  }
  void TearDown() override { fs::remove_all(folder_); }
  std::unique_ptr<TCallLogWriter> NewWriter() {
    return std::make_unique<TCallLogWriter>(folder_.string(), Journal(),
                                            [this] { return crmtest::CrmConnectionString(Backend()); });
  }
  fs::path Journal() const { return folder_ / "CallLog.journal"; }
  // The call's rows as "type@order" in EventOrder order, e.g. "1@1 2@2 9@3".
  std::string RowsOf(const std::string& key) {
    std::string rows;
    for (int order = 1;; ++order) {
      const auto row =
          reader_.QueryFirstRow("select CallEventType, count(*) as N from tq_VantrelLog where CallHandle = '" + key +
                                    "' and EventOrder = " + std::to_string(order) + " group by CallEventType",
                                {"CallEventType", "N"});
      if (!row) return rows;
      rows += (rows.empty() ? "" : " ") + row->at(0) + "@" + std::to_string(order) +
              (row->at(1) == "1" ? "" : "x" + row->at(1));
    }
  }

  fs::path folder_;
  TDataConnection reader_;
};

class CallLogWriterOnCrm : public CallLogWriterFixture, public ::testing::WithParamInterface<crmtest::CrmBackend> {
 protected:
  crmtest::CrmBackend Backend() const override { return GetParam(); }
};

class CallLogWriterOnSqlite : public CallLogWriterFixture {
 protected:
  crmtest::CrmBackend Backend() const override { return crmtest::CrmBackend::SQLite; }
};

}  // namespace

TEST_P(CallLogWriterOnCrm, EachCallIsNumberedInTheOrderItsRowsCameAndARestartContinuesTheNumbering) {
  auto writer = NewWriter();
  for (int type : {1, 2, 6, 8, 9}) {
    writer->Append(Row("20261207100000-1", type));
    writer->Append(Row("20261207100000-2", type + 100));
  }
  writer->Append(Row("20261207100000-3", 1, "O'Brien\t\n"));
  ASSERT_TRUE(writer->WaitUntilWritten(10s));
  EXPECT_EQ(RowsOf("20261207100000-1"), "1@1 2@2 6@3 8@4 9@5");
  EXPECT_EQ(RowsOf("20261207100000-2"), "101@1 102@2 106@3 108@4 109@5");
  const auto caller = reader_.QueryFirstRow(
      "select CallerPhoneNumber from tq_VantrelLog where CallHandle = '20261207100000-3'", {"CallerPhoneNumber"});
  ASSERT_TRUE(caller);
  EXPECT_EQ(caller->front(), "O'Brien\t\n");
  writer.reset();
  // A client's task row after a restart takes the call's next number.
  writer = NewWriter();
  writer->Append(Row("20261207100000-1", 10));
  ASSERT_TRUE(writer->WaitUntilWritten(10s));
  EXPECT_EQ(RowsOf("20261207100000-1"), "1@1 2@2 6@3 8@4 9@5 10@6");
  EXPECT_FALSE(fs::exists(Journal()));
}

TEST_P(CallLogWriterOnCrm, AJournalOfAKilledRunIsWrittenFirstAndACommitItFinishedIsNotWrittenAgain) {
  // A run that had committed its batch when it was killed, before it could mark it: its rows are in the table.
  for (int order = 1; order <= 2; ++order) {
    reader_.Execute(TCallLogWriter::InsertStatement(Row("20261207100000-7", order), order));
  }
  {
    TCallLogJournal journal(Journal());
    journal.AppendRows({Row("20261207100000-7", 1), Row("20261207100000-7", 2)});
    journal.MarkAttempt({2, "20261207100000-7", 1});
    journal.MarkCommitted(2);  // a batch that was marked: not outstanding any more
  }
  {
    TCallLogJournal journal(Journal());
    journal.AppendRows({Row("20261207100000-7", 3), Row("20261207100000-8", 1)});
    journal.MarkAttempt({2, "20261207100000-7", 3});  // committed, then killed
    reader_.Execute(TCallLogWriter::InsertStatement(Row("20261207100000-7", 3), 3));
    reader_.Execute(TCallLogWriter::InsertStatement(Row("20261207100000-8", 1), 1));
    journal.AppendRows({Row("20261207100000-8", 2), Row("20261207100000-9", 1)});  // not written yet
  }
  {
    std::ofstream torn(Journal(), std::ios::app);
    torn << "R\t20261207100000-9\t2026";  // a write the kill cut short
  }
  auto writer = NewWriter();
  writer->Append(Row("20261207100500-1", 1));
  ASSERT_TRUE(writer->WaitUntilWritten(10s));
  EXPECT_EQ(RowsOf("20261207100000-7"), "1@1 2@2 3@3");
  EXPECT_EQ(RowsOf("20261207100000-8"), "1@1 2@2");
  // The killed run's call that its journal opened is ended by the restart, after its rows, before the new ones.
  EXPECT_EQ(RowsOf("20261207100000-9"), "1@1 9@2");
  EXPECT_EQ(RowsOf("20261207100500-1"), "1@1");
  EXPECT_EQ(writer->Waiting(), 0u);
  EXPECT_TRUE(WaitUntil([&] { return !fs::exists(Journal()); }, 10s));
}

INSTANTIATE_TEST_SUITE_P(Crm, CallLogWriterOnCrm,
                         ::testing::Values(crmtest::CrmBackend::SQLite, crmtest::CrmBackend::PostgreSQL),
                         crmtest::CrmBackendName);

namespace {
// Another process's lock on the embedded CRM file, as long as it lives.
class SqliteLock {
 public:
  explicit SqliteLock(const fs::path& file) {
    sqlite3_open(file.c_str(), &database_);
    EXPECT_EQ(sqlite3_exec(database_, "begin exclusive", nullptr, nullptr, nullptr), SQLITE_OK);
  }
  ~SqliteLock() { sqlite3_close_v2(database_); }
  void Release() { sqlite3_exec(database_, "commit", nullptr, nullptr, nullptr); }

 private:
  sqlite3* database_ = nullptr;
};

}  // namespace

TEST_F(CallLogWriterOnSqlite, RowsTheDatabaseCannotTakeWaitInTheJournalAndFollowInOrderWhenItTakesThemAgain) {
  auto writer = NewWriter();
  writer->Append(Row("20261207100000-1", 1));
  ASSERT_TRUE(writer->WaitUntilWritten(10s));
  SqliteLock lock(folder_ / "crm.sqlite3");
  writer->Append(Row("20261207100000-1", 2));
  writer->Append(Row("20261207100000-2", 1));
  ASSERT_TRUE(WaitUntil([&] { return writer->State() == TCallLogWriter::TState::Journaling; }, 15s))
      << "the writer never gave up on the locked database";
  EXPECT_TRUE(fs::exists(Journal()));
  // Rows keep coming while the database is locked: after the journal's rows, in order.
  for (int type : {6, 8, 9}) writer->Append(Row("20261207100000-1", type));
  writer->Append(Row("20261207100000-2", 9));
  EXPECT_EQ(writer->Waiting(), 6u);
  lock.Release();
  ASSERT_TRUE(writer->WaitUntilWritten(20s));
  EXPECT_EQ(RowsOf("20261207100000-1"), "1@1 2@2 6@3 8@4 9@5");
  EXPECT_EQ(RowsOf("20261207100000-2"), "1@1 9@2");
  // The writer turns back to writing, and lets the journal go, just after the last rows that waited.
  EXPECT_TRUE(WaitUntil([&] { return writer->State() == TCallLogWriter::TState::Writing; }, 10s));
  EXPECT_TRUE(WaitUntil([&] { return !fs::exists(Journal()); }, 10s));
}

TEST_F(CallLogWriterOnSqlite, AStopWhileTheDatabaseTakesNoRowsKeepsThemForTheNextStart) {
  {
    SqliteLock lock(folder_ / "crm.sqlite3");
    auto writer = NewWriter();
    for (int type : {1, 2, 9}) writer->Append(Row("20261207100000-4", type));
    const auto before = std::chrono::steady_clock::now();
    writer->Stop(1s);
    // The database's own busy wait may run out first; the stop is bounded all the same.
    EXPECT_LT(std::chrono::steady_clock::now() - before, 8s);
    writer->Append(Row("20261207100000-4", 10));  // a late row: journaled at once
    EXPECT_TRUE(fs::exists(Journal()));
  }
  auto writer = NewWriter();
  ASSERT_TRUE(writer->WaitUntilWritten(20s));
  EXPECT_EQ(RowsOf("20261207100000-4"), "1@1 2@2 9@3 10@4");
  EXPECT_TRUE(WaitUntil([&] { return !fs::exists(Journal()); }, 10s));
}

TEST_P(CallLogWriterOnCrm, QueueRowsAreNumberedApartFromTheCallsRowsAndTheirTableIsMadeWhenACrmLacksIt) {
  reader_.Execute("drop table if exists tq_VantrelQueueLog");  // a CRM made before the queue log
  TCallLogRow entered = Row("20261207100000-5", 0);
  entered.QueueEvent = TQueueEvent::Entered;
  entered.Rule_id = 3;
  TCallLogRow abandoned = entered;
  abandoned.QueueEvent = TQueueEvent::Abandoned;
  abandoned.Seconds = 42;
  abandoned.CallerPhoneNumber = "O'Brien\t";
  {
    TCallLogJournal journal(Journal());  // what a killed run left
    journal.AppendRows({Row("20261207100000-5", 1), entered});
  }
  auto writer = NewWriter();
  writer->Append(abandoned);
  ASSERT_TRUE(writer->WaitUntilWritten(20s));
  EXPECT_EQ(RowsOf("20261207100000-5"), "1@1 9@2");  // the call the killed run left open ends at the restart
  std::string queue;
  for (int order = 1; order <= 3; ++order) {
    const auto row = reader_.QueryFirstRow(
        "select QueueEventType, Rule_id, Seconds, CallerPhoneNumber from tq_VantrelQueueLog where CallHandle = "
        "'20261207100000-5' and EventOrder = " +
            std::to_string(order),
        {"QueueEventType", "Rule_id", "Seconds", "CallerPhoneNumber"});
    if (row) queue += row->at(0) + "/" + row->at(1) + "/" + row->at(2) + "/" + row->at(3) + " ";
  }
  EXPECT_EQ(queue, "1/3/0/5550100 3/3/42/O'Brien\t ");
}

TEST_P(CallLogWriterOnCrm, ACallTheServersEndCutOffGetsItsEndingRowOnceAtTheNextStart) {
  auto writer = NewWriter();
  TCallLogRow talking = Row("20261207100000-21", 1, "5550121");
  talking.ConnectedPhoneNumber = "103";
  talking.Operator_id = 2;
  writer->Append(talking);
  talking.CallEventType = 2;
  writer->Append(talking);
  TCallLogRow atTheSeat = Row("20261207100000-22", 1, "5550121");
  atTheSeat.LinePhoneNumber = "103";
  writer->Append(atTheSeat);
  writer->Append(Row("20261207100000-23", 3));
  writer->Append(Row("20261207100000-23", 9));  // ended before the server did
  ASSERT_TRUE(writer->WaitUntilWritten(10s));
  writer.reset();  // the server's end: whatever cut the calls, their last rows are all there is

  writer = NewWriter();
  ASSERT_TRUE(WaitUntil([&] { return RowsOf("20261207100000-21") == "1@1 2@2 9@3"; }, 10s))
      << RowsOf("20261207100000-21");
  ASSERT_TRUE(WaitUntil([&] { return RowsOf("20261207100000-22") == "1@1 9@2"; }, 10s)) << RowsOf("20261207100000-22");
  EXPECT_EQ(RowsOf("20261207100000-23"), "3@1 9@2");
  // The ending row is the call's last one at its line, ended at the time of the restart.
  const auto ending = reader_.QueryFirstRow(
      "select LinePhoneNumber, CallerPhoneNumber, ConnectedPhoneNumber, Operator_id, EndTime from tq_VantrelLog "
      "where CallHandle = '20261207100000-21' and EventOrder = 3",
      {"LinePhoneNumber", "CallerPhoneNumber", "ConnectedPhoneNumber", "Operator_id", "EndTime"});
  ASSERT_TRUE(ending);
  EXPECT_EQ(ending->at(0), "101");
  EXPECT_EQ(ending->at(1), "5550121");
  EXPECT_EQ(ending->at(2), "103");
  EXPECT_EQ(ending->at(3), "2");
  EXPECT_NE(ending->at(4).substr(0, 16), "2026-12-07 10:00");

  // Another start ends nothing twice.
  writer.reset();
  writer = NewWriter();
  writer->Append(Row("20261207100500-24", 1));
  ASSERT_TRUE(writer->WaitUntilWritten(10s));
  EXPECT_EQ(RowsOf("20261207100000-21"), "1@1 2@2 9@3");
  EXPECT_EQ(RowsOf("20261207100000-22"), "1@1 9@2");
  EXPECT_EQ(RowsOf("20261207100500-24"), "1@1");
}

TEST(CallLogJournalFile, RowsComeBackAsTheyWereWrittenWhateverTheirText) {
  const fs::path file = fs::temp_directory_path() / ("vantrel-journal-" + std::to_string(::getpid()));
  fs::remove(file);
  TCallLogRow odd = Row("k-1", 3, "a\\b\tc\nd\re'");
  odd.Operator_id = -7;
  odd.Task_id = 2147483647;
  odd.ParentCallHandle = "k-0";
  {
    TCallLogJournal journal(file);
    journal.AppendRows({odd, Row("k-2", 1)});
    journal.MarkCommitted(1);
    journal.AppendRows({Row("k-3", 2)});
    journal.MarkAttempt({2, "k-2", 1});
  }
  EXPECT_EQ(fs::status(file).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
  std::deque<TCallLogRow> outstanding;
  std::optional<TCallLogJournal::TAttempt> attempt;
  {
    TCallLogJournal journal(file);
    journal.Load(outstanding, attempt);
  }
  ASSERT_EQ(outstanding.size(), 2u);
  EXPECT_EQ(outstanding[0], Row("k-2", 1));
  ASSERT_TRUE(attempt);
  EXPECT_EQ(attempt->count, 2u);
  EXPECT_EQ(attempt->callHandle, "k-2");
  {
    TCallLogJournal journal(file);
    journal.MarkCommitted(0);
    journal.AppendRows({odd});
    outstanding.clear();
    journal.Load(outstanding, attempt);
  }
  ASSERT_EQ(outstanding.size(), 3u);
  EXPECT_EQ(outstanding[2], odd);
  EXPECT_FALSE(attempt);  // a commit mark settles the attempt
  fs::remove(file);
}

TEST_F(CallLogWriterOnSqlite, ACrmFileDeletedAndMadeAgainIsWrittenWithoutARestart) {
  auto writer = NewWriter();
  writer->Append(Row("20261207100000-5", 1));
  ASSERT_TRUE(writer->WaitUntilWritten(10s));
  for (const char* file : {"crm.sqlite3", "crm.sqlite3-wal", "crm.sqlite3-shm"}) fs::remove(folder_ / file);
  crmtest::ResetCrm(Backend(), folder_.string());  // an administrator makes the CRM anew
  writer->Append(Row("20261207100000-5", 9));
  writer->Append(Row("20261207100000-6", 1));
  ASSERT_TRUE(writer->WaitUntilWritten(10s));
  EXPECT_EQ(RowsOf("20261207100000-5"), "9@1");  // the new file starts the call's numbering afresh
  EXPECT_EQ(RowsOf("20261207100000-6"), "1@1");
}

TEST_P(CallLogWriterOnCrm, RecordingRowsGoToTheirOwnTableMadeWhenACrmLacksItAndAJournaledOneIsWrittenOnce) {
  reader_.Execute("drop table if exists tq_VantrelRecording");  // a CRM made before recordings
  TCallLogRow recording;
  recording.CallHandle = "20261207100000-31";
  recording.BeginTime = "2026-12-07 10:00:02";
  recording.LinePhoneNumber = "103";
  recording.Operator_id = 2;
  recording.File = "2026-12-07/20261207100000-31.wav";
  recording.Seconds = 63;
  recording.PausedSeconds = 7;
  {
    TCallLogJournal journal(Journal());  // what a killed run left, its commit unconfirmed
    journal.AppendRows({recording});
  }
  std::deque<TCallLogRow> outstanding;
  std::optional<TCallLogJournal::TAttempt> attempt;
  TCallLogJournal(Journal()).Load(outstanding, attempt);
  ASSERT_EQ(outstanding.size(), 1u);
  EXPECT_EQ(outstanding[0], recording);  // a row of its own kind in the journal
  auto writer = NewWriter();
  TCallLogRow call = Row("20261207100000-31", 1);
  call.LinePhoneNumber = "103";
  writer->Append(call);
  ASSERT_TRUE(writer->WaitUntilWritten(20s));
  const auto row = reader_.QueryFirstRow(
      "select LinePhoneNumber, Operator_id, FileName, StartTime, Seconds, PausedSeconds, EventOrder, count(*) as N "
      "from tq_VantrelRecording where CallHandle = '20261207100000-31' group by LinePhoneNumber, Operator_id, "
      "FileName, StartTime, Seconds, PausedSeconds, EventOrder",
      {"LinePhoneNumber", "Operator_id", "FileName", "StartTime", "Seconds", "PausedSeconds", "EventOrder", "N"});
  ASSERT_TRUE(row);
  EXPECT_EQ(row->at(0), "103");
  EXPECT_EQ(row->at(1), "2");
  EXPECT_EQ(row->at(2), "2026-12-07/20261207100000-31.wav");
  EXPECT_EQ(row->at(3).substr(0, 19), "2026-12-07 10:00:02");
  EXPECT_EQ(row->at(4), "63");
  EXPECT_EQ(row->at(5), "7");
  EXPECT_EQ(row->at(6), "1");
  EXPECT_EQ(row->at(7), "1");
  EXPECT_EQ(RowsOf("20261207100000-31"), "1@1");  // numbered apart from the call's own rows
}

TEST_P(CallLogWriterOnCrm, CallbackRowsGoToTheirOwnTableMadeWhenACrmLacksItAndAJournaledOneIsWrittenOnce) {
  reader_.Execute("drop table if exists tq_VantrelCallback");  // a CRM made before callbacks
  TCallLogRow waiting;
  waiting.CallbackState = "Waiting";
  waiting.CallHandle = "20261208100000-41";
  waiting.Rule_id = 1;
  waiting.LinePhoneNumber = "101";
  waiting.CallerPhoneNumber = "5550001";
  waiting.BeginTime = "2026-12-08 10:00:05";
  TCallLogRow retrying = waiting;
  retrying.CallbackState = "Retrying";
  retrying.Reason = 1;
  retrying.EndTime = "2026-12-08 10:03:00";
  {
    TCallLogJournal journal(Journal());  // what a killed run left, its commit unconfirmed
    journal.AppendRows({waiting, retrying});
  }
  std::deque<TCallLogRow> outstanding;
  std::optional<TCallLogJournal::TAttempt> attempt;
  TCallLogJournal(Journal()).Load(outstanding, attempt);
  ASSERT_EQ(outstanding.size(), 2u);
  EXPECT_EQ(outstanding[0], waiting);  // rows of their own kind in the journal
  EXPECT_EQ(outstanding[1], retrying);
  auto writer = NewWriter();
  ASSERT_TRUE(writer->WaitUntilWritten(20s));
  const auto rows = reader_.QueryRows(
      "select State, Attempts, EventOrder, Rule_id, CallerPhoneNumber, NextAttempt from tq_VantrelCallback "
      "where CallHandle = '20261208100000-41' order by EventOrder");
  ASSERT_EQ(rows.size(), 2u);  // each once
  EXPECT_EQ(rows[0][0] + " " + rows[0][1] + " " + rows[0][2], "Waiting 0 1");
  EXPECT_EQ(rows[1][0] + " " + rows[1][1] + " " + rows[1][2], "Retrying 1 2");
  EXPECT_EQ(rows[1][3] + " " + rows[1][4], "1 5550001");
  EXPECT_EQ(rows[1][5].substr(0, 19), "2026-12-08 10:03:00");
  EXPECT_EQ(rows[0][5], "");  // no next attempt while waiting
}
