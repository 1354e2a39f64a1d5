// A stranger on the machine against a running host: what a client may name, run and reach, and who may connect
// at all once TLS is on.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "../host/TlsContext.h"
#include "HostClient.h"
#include "Vantrel.hh"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

void Write(const fs::path& file, const std::string& text) { std::ofstream(file) << text; }

std::string Read(const fs::path& file) {
  std::ifstream stream(file);
  std::ostringstream text;
  text << stream.rdbuf();
  return text.str();
}

class StrangerClient : public ::testing::Test {
 protected:
  void Start(const std::string& security, const std::string& connection = "Provider=SQLite;Data Source=crm.sqlite3") {
    Write(host_.IniFolder() / "Settings.ini",
          "[Connection]\nCryptConnectionString=0\nConnectionString=" + connection + "\n[Security]\n" + security);
    const std::string crm = std::string(VANTREL_CRM_PATH) + " --connection '" + connection + "'" + " --base '" +
                            host_.IniFolder().string() + "' --sample > /dev/null";
    ASSERT_EQ(std::system(crm.c_str()), 0);
    ASSERT_TRUE(host_.Start()) << host_.ErrorOutput();
    ASSERT_TRUE(host_.WaitForOutput("Loaded:")) << host_.Output();
    environment_ = ::Environment::_narrow(CORBA::Object_var(TestORB()->string_to_object(host_.Corbaloc().c_str())));
  }
  void TearDown() override {
    if (!IsSkipped()) EXPECT_EQ(host_.Stop(), 0);
    fs::remove_all(outside_);
  }
  std::string LastError(::Base_ptr object) { return CORBA::String_var(object->GetLastError()).in(); }

  HostProcess host_;
  ::Environment_var environment_;
  const fs::path outside_ = fs::temp_directory_path() / ("vantrel-outside-" + std::to_string(::getpid()));
};

}  // namespace

TEST_F(StrangerClient, PathsOutsideTheIniFolderAndTheAllowedOnesAreRefusedAndNothingIsWritten) {
  const fs::path allowed = host_.IniFolder().string() + "-allowed";
  Start("AllowedFolders=" + allowed.string() + "\n");
  fs::create_directories(outside_);
  fs::create_symlink(outside_, host_.IniFolder() / "link");
  ::Rules_var rules = environment_->GetRules();
  const std::string ini = host_.IniFolder().string();
  const std::string refused = "lies outside the INI folder";

  for (const std::string& path : {(outside_ / "rules.ini").string(), ini + "/../escape.ini", ini + "/link/rules.ini"}) {
    EXPECT_FALSE(rules->SaveToIniFile(path.c_str(), "Rules")) << path;
    EXPECT_NE(LastError(rules).find(refused), std::string::npos) << LastError(rules);
    EXPECT_FALSE(fs::exists(path)) << path;
  }
  EXPECT_FALSE(fs::exists(host_.IniFolder().parent_path() / "escape.ini"));
  EXPECT_FALSE(rules->LoadFromIniFile("/etc/passwd", "root"));
  EXPECT_FALSE(environment_->SaveToIniFiles((outside_ / "saved").c_str()));
  EXPECT_FALSE(fs::exists(outside_ / "saved"));
  environment_->SetIniFilesPath(outside_.c_str());
  EXPECT_EQ(std::string(CORBA::String_var(environment_->GetIniFilesPath()).in()), ini + "/");
  EXPECT_FALSE(fs::exists(outside_ / "Logs"));
  ::Database_var database = environment_->GetDatabase();
  const std::string sqlite = "Provider=SQLite;Data Source=" + (outside_ / "made.sqlite3").string();
  CORBA::String_var why = CORBA::string_dup("");
  EXPECT_FALSE(database->TestConnection(sqlite.c_str(), why.inout()));
  EXPECT_NE(std::string(why.in()).find(refused), std::string::npos) << why.in();
  EXPECT_FALSE(fs::exists(outside_ / "made.sqlite3"));

  // Inside the INI folder and in the folder Settings.ini allows, saving works as before.
  EXPECT_TRUE(rules->SaveToIniFile((ini + "/copy.ini").c_str(), "Rules"));
  EXPECT_TRUE(environment_->SaveToIniFiles(allowed.c_str()));
  EXPECT_TRUE(fs::exists(allowed / "Rules.ini"));
  fs::remove_all(allowed);

  // Nor can a save through the tree erase or change what Settings.ini says of security.
  rules->SaveToIniFile((ini + "/Settings.ini").c_str(), "Security");
  EXPECT_NE(Read(host_.IniFolder() / "Settings.ini").find("AllowedFolders=" + allowed.string()), std::string::npos);
  EXPECT_EQ(Read(host_.IniFolder() / "Settings.ini").find("Name=Rules"), std::string::npos);

  // A section name cannot carry lines of its own into a file.
  EXPECT_FALSE(rules->SaveToIniFile((ini + "/copy.ini").c_str(), "Rules]\r\nInjected=1\r\n[Tail"));
  EXPECT_EQ(Read(host_.IniFolder() / "copy.ini").find("Injected"), std::string::npos);
}

TEST_F(StrangerClient, SettingsCanSwitchClientSqlOffWhileTheServersOwnReadsGoOn) {
  Start("ClientSQL=0\n");
  const auto memberships = [&] {
    return CrmFile(host_.IniFolder() / "crm.sqlite3").Text("select count(*) from tq_ContactInGroup");
  };
  const std::string before = memberships();
  ::Database_var database = environment_->GetDatabase();
  EXPECT_FALSE(database->ExecuteSQL("delete from tq_ContactInGroup"));
  EXPECT_NE(LastError(database).find("SQL from clients is switched off in Settings.ini"), std::string::npos);
  CORBA::String_var value;
  EXPECT_FALSE(database->GetFieldValue("select Group_id from tq_ContactInGroup", "Group_id", value.out()));
  ::StringSeq names;
  names.length(1);
  names[0] = "Group_id";
  ::StringSeq_var values;
  EXPECT_FALSE(database->GetFieldValues("select Group_id from tq_ContactInGroup", names, values.out()));
  // The sample CRM puts contact 1 in group 100: an operator's group check reads it on the server's behalf.
  ::Operators_var operators = environment_->GetOperators();
  ::Operator_var anna = ::Operator::_narrow(::ContainerItem_var(operators->CreateItem(true)));
  anna->SetID(1);
  EXPECT_TRUE(anna->GetIsInGroup(100));
  EXPECT_EQ(memberships(), before);
}

// Under ClientSQL=ReadOnly a client reads the CRM as before, and whatever would write is refused, in one statement
// or hidden behind a read.
void ExpectClientSqlOnlyReads(::Database_ptr database) {
  CORBA::String_var error = CORBA::string_dup("");
  ASSERT_TRUE(database->SetConnected(true, error.inout())) << error.in();
  const auto memberships = [&] {
    CORBA::String_var count;
    EXPECT_TRUE(database->GetFieldValue("select count(*) as Members from tq_ContactInGroup", "Members", count.out()));
    return std::string(count.in());
  };
  const auto lastError = [&] { return std::string(CORBA::String_var(database->GetLastError()).in()); };
  const std::string before = memberships();
  EXPECT_NE(before, "0");
  EXPECT_FALSE(database->ExecuteSQL("delete from tq_VantrelLog"));
  EXPECT_NE(lastError().find("SQL from clients may only read (Settings.ini: [Security] ClientSQL=ReadOnly)"),
            std::string::npos)
      << lastError();
  EXPECT_FALSE(database->ExecuteSQL("delete from tq_ContactInGroup"));
  EXPECT_NE(lastError().find("may only read"), std::string::npos) << lastError();
  // A second statement could end the read-only transaction first.
  EXPECT_FALSE(database->ExecuteSQL("select 1; delete from tq_ContactInGroup"));
  EXPECT_NE(lastError().find("Only one statement at a time"), std::string::npos) << lastError();
  CORBA::String_var value;
  EXPECT_FALSE(database->GetFieldValue("select 1 as One; delete from tq_ContactInGroup", "One", value.out()));
  EXPECT_TRUE(database->ExecuteSQL("select count(*) from tq_ContactInGroup;"));
  EXPECT_EQ(memberships(), before);
}

TEST_F(StrangerClient, UnderReadOnlyClientSqlReadsButADeleteIsRefusedOnSqlite) {
  Start("ClientSQL=ReadOnly\n");
  ::Database_var database = environment_->GetDatabase();
  ExpectClientSqlOnlyReads(database);
  // Nor can the statement lift the read-only mode, and the mode ends with the statement.
  EXPECT_FALSE(database->ExecuteSQL("pragma query_only=0"));
  CORBA::String_var mode;
  EXPECT_TRUE(database->GetFieldValue("pragma query_only", "query_only", mode.out()));
  EXPECT_STREQ(mode.in(), "1");  // read inside the client's read-only statement
  EXPECT_EQ(CrmFile(host_.IniFolder() / "crm.sqlite3").Text("select count(*) from tq_VantrelLog"), "0");
  // The server's own reads go on: an operator's group check.
  ::Operators_var operators = environment_->GetOperators();
  ::Operator_var anna = ::Operator::_narrow(::ContainerItem_var(operators->CreateItem(true)));
  anna->SetID(1);
  EXPECT_TRUE(anna->GetIsInGroup(100));
}

TEST_F(StrangerClient, UnderReadOnlyClientSqlReadsButADeleteIsRefusedOnPostgreSQL) {
  const char* postgres = std::getenv("VANTREL_TEST_POSTGRES");
  if (postgres == nullptr) GTEST_SKIP() << "VANTREL_TEST_POSTGRES is not set: no PostgreSQL server to use";
  Start("ClientSQL=ReadOnly\n", postgres);
  ::Database_var database = environment_->GetDatabase();
  ExpectClientSqlOnlyReads(database);
  // The transaction cannot be made writable from inside, and a new one is read-only again.
  EXPECT_FALSE(database->ExecuteSQL("set transaction read write"));
  EXPECT_FALSE(database->ExecuteSQL("delete from tq_ContactInGroup"));
  CORBA::String_var readOnly;
  EXPECT_TRUE(database->GetFieldValue("show transaction_read_only", "transaction_read_only", readOnly.out()));
  EXPECT_STREQ(readOnly.in(), "on");
}

TEST_F(StrangerClient, FilesTheServerMakesAreItsUsersAlone) {
  Start("");
  ::Rules_var rules = environment_->GetRules();
  ASSERT_TRUE(environment_->SaveToIniFiles(host_.IniFolder().c_str()));
  ASSERT_TRUE(environment_->SaveToIniFiles((host_.IniFolder() / "sub").c_str()));
  for (const fs::path& made : {host_.IniFolder() / "Rules.ini", host_.IniFolder() / "Logs", host_.IniFolder() / "sub",
                               host_.IniFolder() / "sub" / "Lines.ini"}) {
    struct stat status {};
    ASSERT_EQ(::stat(made.c_str(), &status), 0) << made;
    EXPECT_EQ(status.st_mode & 077, 0u) << made;
  }
  for (const auto& log : fs::directory_iterator(host_.IniFolder() / "Logs")) {
    struct stat status {};
    ASSERT_EQ(::stat(log.path().c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 077, 0u) << log.path();
  }
}

TEST_F(StrangerClient, TemporaryFilesOfAWriterThatDiedAreRemovedAtStart) {
  // One left by a process that is gone (pid 0x7ffffffe cannot run), one by a live one (this test).
  Write(host_.IniFolder() / "Rules.ini.tmp-2147483646", "[Rules]\n");
  const fs::path live = host_.IniFolder() / ("Lines.ini.tmp-" + std::to_string(::getpid()));
  Write(live, "[Lines]\n");
  Start("");
  EXPECT_FALSE(fs::exists(host_.IniFolder() / "Rules.ini.tmp-2147483646"));
  EXPECT_TRUE(fs::exists(live));
}

// The test binary as a client with a certificate: it listens to line 102 over TLS and prints each event
// ("event TYPE CALL"), or "refused NAME" when the server does not let it in.
int ServeAsTlsClient(const std::string& corbaloc, const std::string& certificate, const std::string& key,
                     const std::string& ca) {
  vantrel::UseTls({certificate, key, "", ca});
  const char* options[][2] = {{"endPoint", "giop:ssl:127.0.0.1:"}, {nullptr, nullptr}};
  int argc = 0;
  CORBA::ORB_var orb = CORBA::ORB_init(argc, nullptr, "omniORB4", options);
  PortableServer::POA_var poa =
      PortableServer::POA::_narrow(CORBA::Object_var(orb->resolve_initial_references("RootPOA")));
  PortableServer::POAManager_var(poa->the_POAManager())->activate();
  struct PrintingLineEvents : POA_LineEvents {
    void DoCallEvent(::CallEventType type, CORBA::Long call) override {
      std::printf("event %d %d\n", static_cast<int>(type), static_cast<int>(call));
      std::fflush(stdout);
    }
  };
  try {
    ::Environment_var environment = ::Environment::_narrow(CORBA::Object_var(orb->string_to_object(corbaloc.c_str())));
    ::Lines_var lines = environment->GetLines();
    ::Line_var line = ::Line::_narrow(::ContainerItem_var(lines->GetItemByDevicePhoneNumber("102")));
    auto* listener = new PrintingLineEvents();
    PortableServer::ObjectId_var id = poa->activate_object(listener);
    listener->_remove_ref();
    line->SetLineEventsListener(::LineEvents_var(::LineEvents::_narrow(CORBA::Object_var(poa->id_to_reference(id)))));
    line->ChangeLineEventLastContact();
    std::printf("listening\n");
  } catch (const CORBA::Exception& e) {
    std::printf("refused %s\n", e._name());
  }
  std::fflush(stdout);
  std::this_thread::sleep_for(30s);  // the parent kills it long before
  return 0;
}

TEST(Tls, OnlyClientsWithACertificateFromTheConfiguredCAGetInAndHearTheirEvents) {
  HostProcess host;
  const std::string make = std::string(VANTREL_SOURCE_DIR) + "/scripts/make-test-ca.sh ";
  ASSERT_EQ(std::system((make + "'" + (host.IniFolder() / "tls").string() + "' > /dev/null").c_str()), 0);
  ASSERT_EQ(std::system((make + "'" + (host.IniFolder() / "stranger").string() + "' > /dev/null").c_str()), 0);
  Write(host.IniFolder() / "Exchange.ini", "[Exchange]\nTrunks=2\n[Stations]\n102=Seat 102\n");
  Write(host.IniFolder() / "Settings.ini",
        "[Security]\nCertificateFile=tls/server.pem\nPrivateKeyFile=tls/server.key\nClientCAFile=tls/ca.pem\n");
  ASSERT_TRUE(host.Start()) << host.ErrorOutput();
  ASSERT_TRUE(host.WaitForOutput("Loaded:")) << host.Output();
  const std::string tls = (host.IniFolder() / "tls").string();
  const std::string corbaloc = "corbaloc:ssliop:127.0.0.1:" + std::to_string(host.Port()) + "/EnvironmentInstance";

  // Plain IIOP: nothing answers.
  CORBA::Object_var plain = TestORB()->string_to_object(host.Corbaloc().c_str());
  EXPECT_THROW(::Environment_var(::Environment::_narrow(plain))->GetLines(), CORBA::SystemException);
  // A certificate from another CA.
  const std::string stranger = (host.IniFolder() / "stranger").string();
  ChildProcess outsider(
      {"--tls-client", corbaloc, stranger + "/client.pem", stranger + "/client.key", tls + "/ca.pem"});
  EXPECT_EQ(outsider.ReadLine(15s).rfind("refused ", 0), 0u);
  // The CA's own client: in, and its line's events reach it over TLS.
  ChildProcess client({"--tls-client", corbaloc, tls + "/client.pem", tls + "/client.key", tls + "/ca.pem"});
  ASSERT_EQ(client.ReadLine(15s), "listening");
  host.RunExchange("call 102 from 5550001");
  bool offered = false;
  for (std::string line = client.ReadLine(10s); !line.empty() && !offered; line = client.ReadLine(10s)) {
    offered = line.rfind("event " + std::to_string(static_cast<int>(::Offering)) + " ", 0) == 0;
  }
  EXPECT_TRUE(offered);
  EXPECT_EQ(host.Stop(), 0);
}
