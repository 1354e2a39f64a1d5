#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "CrmBackends.h"
#include "database/ConnectionString.h"
#include "database/DataConnection.h"

using namespace vantrel;
namespace fs = std::filesystem;

TEST(ConnectionStrings, QuotedValuesKeepTheirSemicolonsAndKeysIgnoreCase) {
  const TConnectionString parsed("Provider=SQLOLEDB.1; Password='pa;ss''word' ;user id=sa;;Data Source = srv\\SQL");
  EXPECT_EQ(parsed.Value("password"), "pa;ss'word");
  EXPECT_EQ(parsed.Value("User ID"), "sa");
  EXPECT_EQ(parsed.Value("DATA SOURCE"), "srv\\SQL");
  EXPECT_FALSE(parsed.Value("Initial Catalog"));
  EXPECT_THROW(TConnectionString("Provider=SQLite;garbage"), std::invalid_argument);
  EXPECT_THROW(TConnectionString("Password='open"), std::invalid_argument);
}

TEST(ConnectionStrings, EachStringLeadsToItsBackendAndDialect) {
  const auto sqlite = ResolveConnectionString("Provider=SQLite;Data Source=crm.db", "/srv/ini");
  EXPECT_EQ(sqlite.backend, TConnectionTarget::Backend::SQLite);
  EXPECT_EQ(sqlite.target, "/srv/ini/crm.db");
  EXPECT_EQ(sqlite.dialect, TSqlDialect::SQLite);
  EXPECT_EQ(ResolveConnectionString("Provider=SQLite;Data Source=/data/crm.db", "/srv/ini").target, "/data/crm.db");

  const auto sqlServer = ResolveConnectionString(
      "Provider=SQLOLEDB.1;Password=p;Persist Security Info=True;User ID=sa;Initial Catalog=CRM;Data Source=db1", "");
  EXPECT_EQ(sqlServer.backend, TConnectionTarget::Backend::ODBC);
  EXPECT_EQ(sqlServer.target, "Driver=FreeTDS;Server=db1;Database=CRM;UID=sa;PWD=p");
  EXPECT_EQ(ResolveConnectionString("Provider=MSOLEDBSQL;Data Source=x;Password=a", "").target,
            "Driver=FreeTDS;Server=x;PWD=a");
  EXPECT_EQ(ResolveConnectionString("Provider=SQLNCLI11;Data Source=x;Password='a;b'", "").target,
            "Driver=FreeTDS;Server=x;PWD={a;b}");

  const auto postgres = ResolveConnectionString("Driver={PostgreSQL Unicode};Server=localhost;Database=crm", "");
  EXPECT_EQ(postgres.target, "Driver={PostgreSQL Unicode};Server=localhost;Database=crm");
  EXPECT_EQ(postgres.dialect, TSqlDialect::PostgreSQL);
  EXPECT_EQ(ResolveConnectionString("DSN=crm", "").dialect, TSqlDialect::SqlServer);
}

TEST(ConnectionStrings, ADriverGivenAsAFileOrAFileDsnIsRefused) {
  // A client's TestConnection would otherwise load a library of its choosing into the server.
  for (const char* text : {"Driver=/tmp/x.so;Server=a", "Driver={/tmp/x.so};Server=a", "Driver=..\\x.dll",
                           "DSN=crm;FILEDSN=/tmp/a.dsn", "Driver=FreeTDS;SAVEFILE=/tmp/a.dsn"}) {
    EXPECT_THROW(ResolveConnectionString(text, "/srv/ini"), std::invalid_argument) << text;
  }
  EXPECT_EQ(ResolveConnectionString("Driver={PostgreSQL Unicode};Server=localhost", "").backend,
            TConnectionTarget::Backend::ODBC);
}

TEST(ConnectionStrings, AnUnknownProviderIsNamedInTheError) {
  try {
    ResolveConnectionString("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=x.mdb", "");
    FAIL();
  } catch (const std::invalid_argument& error) {
    EXPECT_STREQ(error.what(), "Unknown database provider \"Microsoft.Jet.OLEDB.4.0\"");
  }
  EXPECT_THROW(ResolveConnectionString("Provider=SQLite", ""), std::invalid_argument);
}

namespace {
// A connection to an empty CRM of each backend, the SQLite file in a fresh folder.
class CrmDatabase : public ::testing::TestWithParam<crmtest::CrmBackend> {
 protected:
  void SetUp() override {
    if (crmtest::CrmConnectionString(GetParam()).empty()) GTEST_SKIP() << crmtest::kNoPostgres;
    folder_ = fs::temp_directory_path() / ("vantrel-crm-" + std::to_string(::getpid()));
    fs::remove_all(folder_);
    fs::create_directories(folder_);
    crmtest::ResetCrm(GetParam(), folder_.string());
    connection_ = std::make_unique<TDataConnection>(folder_.string());
    connection_->SetConnectionString(crmtest::CrmConnectionString(GetParam()));
    connection_->Open();
    for (const char* table : {"t_Person", "t"}) connection_->Execute(std::string("drop table if exists ") + table);
  }
  void TearDown() override {
    connection_.reset();
    fs::remove_all(folder_);
  }
  fs::path folder_;
  std::unique_ptr<TDataConnection> connection_;
};
}  // namespace

TEST_P(CrmDatabase, StatementsAndFirstRowQueriesReadFieldsByName) {
  connection_->Execute("create table t_Person (ID integer, Name varchar(100), Rate float, Note varchar(10))");
  connection_->Execute(
      "insert into t_Person values (7, 'O''Brien', 2.5, null); insert into t_Person values (3, 'Ann', 1, 'x')");
  const auto row =
      connection_->QueryFirstRow("select top 1 * from t_Person order by ID desc", {"name", "ID", "Note", "Rate"});
  ASSERT_TRUE(row);
  EXPECT_EQ(*row, (std::vector<std::string>{"O'Brien", "7", "", "2.5"}));
  const auto none = connection_->QueryFirstRow("select ID from t_Person where ID = 99", {"ID"});
  EXPECT_FALSE(none);
  const auto fallback = connection_->QueryFirstRow("select isnull(max(ID), 0) as M from t_Person where ID > 99", {"M"});
  EXPECT_EQ(fallback->at(0), "0");
  try {
    connection_->QueryFirstRow("select ID from t_Person", {"Missing"});
    FAIL();
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(),
                 "Item cannot be found in the collection corresponding to the requested name or ordinal.");
  }
  EXPECT_THROW(connection_->Execute("insert into nowhere values (1)"), std::runtime_error);
  EXPECT_THROW(connection_->QueryFirstRow("", {}), std::runtime_error);
}

TEST_P(CrmDatabase, AClosedConnectionOpensItselfWithTheStringItHolds) {
  TDataConnection fresh(folder_.string());
  EXPECT_THROW(fresh.Execute("select 1"), std::runtime_error);  // no string before the first open
  EXPECT_FALSE(fresh.IsOpen());

  connection_->Execute("create table t (a integer)");
  connection_->Close();
  EXPECT_FALSE(connection_->IsOpen());
  connection_->Execute("insert into t values (1)");
  EXPECT_TRUE(connection_->IsOpen());
  EXPECT_EQ(connection_->QueryFirstRow("select count(*) as C from t", {"C"})->at(0), "1");
}

TEST_P(CrmDatabase, ConcurrentStatementsAndQueriesAllLand) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 50; ++i) {
        connection_->Execute("insert into tq_VantrelLog (CallEventType, CallHandle, EventOrder) values (1, '" +
                             std::to_string(t) + "', " + std::to_string(i) + ")");
        connection_->QueryFirstRow("select max(EventOrder) as M from tq_VantrelLog", {"M"});
      }
    });
  }
  threads.emplace_back([&] {
    for (int i = 0; i < 20; ++i) {
      connection_->Close();
      connection_->Open();
    }
  });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(connection_->QueryFirstRow("select count(*) as C from tq_VantrelLog", {"C"})->at(0), "200");
}

TEST(OdbcConnection, AMissingDataSourceFailsWithTheDriverManagersMessage) {
  TDataConnection connection;
  connection.SetConnectionString("DSN=VantrelNoSuchSource");
  try {
    connection.Open();
    FAIL();
  } catch (const std::runtime_error& error) {
    EXPECT_NE(std::string(error.what()).find("Data source name not found"), std::string::npos) << error.what();
  }
  EXPECT_FALSE(connection.IsOpen());
}

TEST(SqliteFile, ANewFileGetsTheCrmTables) {
  const fs::path folder = fs::temp_directory_path() / ("vantrel-sqlite-" + std::to_string(::getpid()));
  fs::remove_all(folder);
  {
    TDataConnection connection(folder.string());
    connection.SetConnectionString("Provider=SQLite;Data Source=crm.db");
    EXPECT_THROW(connection.Open(), std::runtime_error);  // no folder to hold it
    fs::create_directories(folder);
    connection.Open();
    EXPECT_TRUE(fs::exists(folder / "crm.db"));
    EXPECT_EQ(connection.QueryFirstRow("select count(*) as C from tq_ContactInGroup", {"C"})->at(0), "0");
  }
  fs::remove_all(folder);
}

INSTANTIATE_TEST_SUITE_P(Crm, CrmDatabase,
                         ::testing::Values(crmtest::CrmBackend::SQLite, crmtest::CrmBackend::PostgreSQL),
                         crmtest::CrmBackendName);

TEST(EmbeddedCrm, StatementsCannotAttachOtherFiles) {
  const fs::path folder = fs::temp_directory_path() / ("vantrel-attach-" + std::to_string(::getpid()));
  fs::remove_all(folder);
  fs::create_directories(folder);
  TDataConnection connection(folder.string());
  connection.SetConnectionString("Provider=SQLite;Data Source=crm.sqlite3");
  const fs::path elsewhere = folder / "elsewhere.db";
  EXPECT_THROW(connection.Execute("attach database '" + elsewhere.string() + "' as elsewhere"), std::runtime_error);
  EXPECT_FALSE(fs::exists(elsewhere));
  EXPECT_THROW(connection.Execute("select load_extension('/tmp/x.so')"), std::runtime_error);
  connection.Execute("insert into tq_VantrelLog (CallEventType, CallHandle, EventOrder) values (1, 'k', 1)");
  fs::remove_all(folder);
}
