#include <gtest/gtest.h>

#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "HostProcess.h"
#include "Vantrel.hh"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

::Environment_ptr ResolveEnvironment(const HostProcess& host) {
  CORBA::Object_var object = TestORB()->string_to_object(host.Corbaloc().c_str());
  return ::Environment::_narrow(object);
}

// A client's BaseEvents listener, served by the test process.
class RecordingBaseEvents : public POA_BaseEvents {
 public:
  explicit RecordingBaseEvents(std::chrono::milliseconds delay = 0ms) : delay_(delay) {}
  void DoError(const char* text) override {
    std::this_thread::sleep_for(delay_);
    std::lock_guard lock(mutex_);
    errors_.push_back(text);
  }
  void DoChange() override {
    std::lock_guard lock(mutex_);
    ++changes_;
  }
  std::vector<std::string> Errors() {
    std::lock_guard lock(mutex_);
    return errors_;
  }

 private:
  const std::chrono::milliseconds delay_;
  std::mutex mutex_;
  std::vector<std::string> errors_;
  int changes_ = 0;
};

}  // namespace

TEST(HostEntry, ServesTheEnvironmentAtItsCorbalocAndStopsOnSigterm) {
  HostProcess host;
  ASSERT_TRUE(host.Start()) << host.Output() << host.ErrorOutput();
  EXPECT_NE(host.Output().find("Vantrel serving on 127.0.0.1:" + std::to_string(host.Port())), std::string::npos);
  EXPECT_NE(host.Output().find("Environment IOR: IOR:"), std::string::npos);

  ::Environment_var environment = ResolveEnvironment(host);
  ASSERT_FALSE(CORBA::is_nil(environment));
  EXPECT_EQ(environment->GetServerType(), ::Local);
  CORBA::String_var name = environment->GetObjectName();
  EXPECT_STREQ(name.in(), "Environment");
  CORBA::String_var path = environment->GetIniFilesPath();
  EXPECT_EQ(std::string(path.in()), host.IniFolder().string() + "/");

  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(host.Stop(), 0) << host.ErrorOutput();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
}

TEST(HostEntry, StartUpWritesItsStepsInOrder) {
  HostProcess host({"VANTREL_DEBUG=1"});
  ASSERT_TRUE(host.Start()) << host.ErrorOutput();
  ASSERT_EQ(host.Stop(), 0);
  // Lines before the log files exist reach only the debugger output.
  const std::string debug = host.ErrorOutput();
  const std::vector<std::string> steps = {"Ini files path = " + host.IniFolder().string(),
                                          "RunEnvironment: 127.0.0.1 : " + std::to_string(host.Port()),
                                          "Before ORB_Init",
                                          "After ORB_Init",
                                          "POA Founded",
                                          "TEnvironment_Impl.Create()",
                                          "Environment instance created",
                                          "Environment instance activated",
                                          "ORB thread started",
                                          "InitEnvironment"};
  std::size_t at = 0;
  for (const std::string& step : steps) {
    at = debug.find(step, at);
    ASSERT_NE(at, std::string::npos) << "missing or out of order: " << step << "\n" << debug;
  }
  const std::string info = ReadServerLog(host.IniFolder(), "Info");
  EXPECT_NE(info.find("Environment instance activated"), std::string::npos);
  EXPECT_EQ(info.find("Before ORB_Init"), std::string::npos);
}

TEST(HostEntry, ReportsWhatTheConfigurationHolds) {
  HostProcess host;
  {
    std::ofstream rules(host.IniFolder() / "Rules.ini");
    rules << "[TranslateRules_Items]\nCount=2\nItemID=2\n"
             "[TranslateRules_0]\nID=1\nOrder=1\nOldMask=8*\nNewMask=7*\nEnabled=1\n"
             "[TranslateRules_1]\nID=2\nOrder=2\nOldMask=9*\nNewMask=*\nEnabled=1\n";
  }
  ASSERT_TRUE(host.Start()) << host.ErrorOutput();
  EXPECT_TRUE(host.WaitForOutput("Loaded: 4 lines, 0 operators, 0 rules, 2 translate rules")) << host.Output();
  EXPECT_EQ(host.Stop(), 0);
}

TEST(HostEntry, TheExchangeIsPlayedFromOutsideThroughItsControlSocket) {
  HostProcess host;
  { std::ofstream(host.IniFolder() / "Exchange.ini") << "[Stations]\n201=Sales\n202=Support\n"; }
  ASSERT_TRUE(host.Start()) << host.ErrorOutput();
  ASSERT_TRUE(host.WaitForOutput("Loaded:")) << host.Output();
  EXPECT_TRUE(fs::exists(host.IniFolder() / "exchange.sock"));

  auto [code, text] = host.RunExchange("call 201 from 5551234");
  EXPECT_EQ(code, 0) << text;
  const std::string farEnd = text.substr(0, text.find('\n'));
  EXPECT_FALSE(farEnd.empty());
  std::tie(code, text) = host.RunExchange("status");
  EXPECT_EQ(code, 0);
  EXPECT_NE(text.find(farEnd + " outside 5551234 RINGBACK with 201"), std::string::npos) << text;
  EXPECT_NE(text.find("station 201 OFFERING with 5551234"), std::string::npos) << text;

  std::tie(code, text) = host.RunExchange("call 101 from 5551234");  // not a station of this exchange
  EXPECT_EQ(code, 1);
  EXPECT_EQ(text, "No station 101\n");
  std::tie(code, text) = host.RunExchange("answer");  // only far ends that a station calls can answer
  EXPECT_EQ(code, 1);
  EXPECT_EQ(text, "No far end is RINGING\n");
  std::tie(code, text) = host.RunExchange("", "ring 201\nhangup " + farEnd + "\nstatus\n");
  EXPECT_EQ(code, 1);
  EXPECT_EQ(text.substr(0, text.find('\n') + 1), "Unknown command \"ring\"; see help\n");
  EXPECT_EQ(text.find("outside"), std::string::npos) << text;  // the caller hung up

  EXPECT_EQ(host.Stop(), 0);
  EXPECT_FALSE(fs::exists(host.IniFolder() / "exchange.sock"));
  std::tie(code, text) = host.RunExchange("status");
  EXPECT_EQ(code, 2);
  EXPECT_NE(text.find("Cannot reach the exchange"), std::string::npos);
}

TEST(HostEntry, AWrongExchangeFileFailsTheLoadAndSaysWhy) {
  HostProcess host;
  { std::ofstream(host.IniFolder() / "Exchange.ini") << "[Stations]\n20x=Sales\n"; }
  ASSERT_TRUE(host.Start()) << host.ErrorOutput();
  EXPECT_TRUE(WaitUntil([&] {
    return host.ErrorOutput().find("loading the configuration failed") != std::string::npos;
  })) << host.ErrorOutput();
  EXPECT_EQ(host.Stop(), 0);
  EXPECT_NE(ReadServerLog(host.IniFolder(), "Info").find("Exchange configuration error: "), std::string::npos);
}

TEST(HostEntry, APortInUseIsReportedAndTheHostExitsWithAnError) {
  HostProcess first;
  ASSERT_TRUE(first.Start());
  HostProcess second({"VANTREL_DEBUG=1"});
  EXPECT_FALSE(second.Start(first.Port()));
  EXPECT_EQ(second.WaitForExit(5s), 1);
  EXPECT_NE(second.ErrorOutput().find("RunEnvironment error: "), std::string::npos) << second.ErrorOutput();
  EXPECT_NE(second.ErrorOutput().find("could not start on 127.0.0.1:" + std::to_string(first.Port())),
            std::string::npos);
  // Without debug output the user reads one line that names the cause; the ORB's own lines are not on it.
  HostProcess third;
  EXPECT_FALSE(third.Start(first.Port()));
  EXPECT_EQ(third.WaitForExit(5s), 1);
  EXPECT_EQ(third.ErrorOutput(),
            "vantrel-host: the server could not start on 127.0.0.1:" + std::to_string(first.Port()) + ": port " +
                std::to_string(first.Port()) + " is in use on 127.0.0.1\n");
  EXPECT_EQ(first.Stop(), 0);
}

TEST(Environment, SetIniFilesPathAddsTheSeparatorAndStartsNewLogFiles) {
  HostProcess host;
  ASSERT_TRUE(host.Start());
  ::Environment_var environment = ResolveEnvironment(host);
  const fs::path other = host.IniFolder() / "other";
  environment->SetIniFilesPath(other.string().c_str());
  CORBA::String_var path = environment->GetIniFilesPath();
  EXPECT_EQ(std::string(path.in()), other.string() + "/");
  EXPECT_TRUE(WaitUntil([&] { return fs::is_directory(other / "Logs"); }));
  EXPECT_TRUE(environment->GetIsDirectoryExists(other.string().c_str()));
  EXPECT_FALSE(environment->GetIsDirectoryExists((other / "none").string().c_str()));
  EXPECT_FALSE(environment->SaveToIniFiles(""));
  EXPECT_EQ(host.Stop(), 0);
}

TEST(BaseObject, DoErrorIsRecordedLoggedAndSentToTheListener) {
  HostProcess host;
  ASSERT_TRUE(host.Start());
  ::Environment_var environment = ResolveEnvironment(host);
  auto* listener = new RecordingBaseEvents();
  PortableServer::ObjectId_var id = TestPOA()->activate_object(listener);
  CORBA::Object_var reference = TestPOA()->id_to_reference(id);
  ::BaseEvents_var events = ::BaseEvents::_narrow(reference);
  environment->SetBaseEventsListener(events);

  environment->DoError("Client.Check", "it broke with 100% certainty");
  const std::string expected = "METHOD ERROR Client.Check [Environment] : it broke with 100% certainty";
  CORBA::String_var last = environment->GetLastError();
  EXPECT_EQ(std::string(last.in()), expected);
  ASSERT_TRUE(WaitUntil([&] { return !listener->Errors().empty(); }));
  ASSERT_EQ(listener->Errors().size(), 1u);
  EXPECT_EQ(listener->Errors()[0], expected);

  TestPOA()->deactivate_object(id);
  listener->_remove_ref();
  EXPECT_EQ(host.Stop(), 0);
}

TEST(BaseObject, ADeadOrStuckListenerDoesNotHangTheServer) {
  HostProcess host;
  ASSERT_TRUE(host.Start());
  ::Environment_var environment = ResolveEnvironment(host);

  // A client that is gone: nothing listens on its port any more.
  const std::string dead = "corbaloc::127.0.0.1:" + std::to_string(FreeLoopbackPort()) + "/Gone";
  CORBA::Object_var deadObject = TestORB()->string_to_object(dead.c_str());
  environment->SetBaseEventsListener(::BaseEvents::_unchecked_narrow(deadObject));
  auto start = std::chrono::steady_clock::now();
  environment->DoError("Client.Dead", "listener gone");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);

  // A client that hangs in its listener: the server's call times out and the server goes on.
  auto* stuck = new RecordingBaseEvents(10s);
  PortableServer::ObjectId_var id = TestPOA()->activate_object(stuck);
  CORBA::Object_var reference = TestPOA()->id_to_reference(id);
  environment->SetBaseEventsListener(::BaseEvents::_narrow(reference));
  start = std::chrono::steady_clock::now();
  environment->DoError("Client.Stuck", "listener stuck");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 8s);
  CORBA::String_var last = environment->GetLastError();
  EXPECT_EQ(std::string(last.in()), "METHOD ERROR Client.Stuck [Environment] : listener stuck");

  environment->SetBaseEventsListener(::BaseEvents::_nil());
  EXPECT_EQ(host.Stop(), 0);
  TestPOA()->deactivate_object(id);
  stuck->_remove_ref();
}

TEST(Environment, RegistryRoundTripRestoresTheIniFolder) {
  const fs::path store =
      fs::temp_directory_path() / ("vantrel-registry-" + std::to_string(::getpid())) / "registry.ini";
  fs::remove_all(store.parent_path());
  const std::string setting = "VANTREL_REGISTRY_FILE=" + store.string();
  const fs::path chosen = fs::temp_directory_path() / ("vantrel-registry-ini-" + std::to_string(::getpid()));
  // A folder outside the INI folder is the server's only where Settings.ini allows it.
  const auto allowChosen = [&](const HostProcess& host) {
    std::ofstream(host.IniFolder() / "Settings.ini") << "[Security]\nAllowedFolders=" << chosen.string() << "\n";
  };
  {
    HostProcess host({setting});
    allowChosen(host);
    ASSERT_TRUE(host.Start());
    ::Environment_var environment = ResolveEnvironment(host);
    // No key yet: it is made empty, and the folder stays as it is.
    EXPECT_TRUE(environment->LoadFromRegistry());
    CORBA::String_var unchanged = environment->GetIniFilesPath();
    EXPECT_EQ(std::string(unchanged.in()), host.IniFolder().string() + "/");
    EXPECT_TRUE(fs::exists(store));
    environment->SetIniFilesPath(chosen.string().c_str());
    EXPECT_TRUE(environment->SaveToRegistry());
    EXPECT_EQ(host.Stop(), 0);
  }
  HostProcess again({setting});
  allowChosen(again);
  ASSERT_TRUE(again.Start());
  ::Environment_var environment = ResolveEnvironment(again);
  EXPECT_TRUE(environment->LoadFromRegistry());
  CORBA::String_var restored = environment->GetIniFilesPath();
  EXPECT_EQ(std::string(restored.in()), chosen.string() + "/");
  EXPECT_TRUE(fs::is_directory(chosen / "Logs"));
  EXPECT_EQ(again.Stop(), 0);
  fs::remove_all(store.parent_path());
  fs::remove_all(chosen);
}

TEST(BaseObject, AListenerSilentForLongerThanTheStalePeriodIsDroppedUnheardUnlessNeverContacted) {
  // Two servers wait side by side: one client keeps alive once and then goes silent, the other never calls. The
  // period is a second here instead of the server's fifteen.
  HostProcess silentHost({kQuickStaleness}), neverHost({kQuickStaleness});
  ASSERT_TRUE(silentHost.Start());
  ASSERT_TRUE(neverHost.Start());
  ::Environment_var silent = ResolveEnvironment(silentHost);
  ::Environment_var never = ResolveEnvironment(neverHost);
  auto* silentListener = new RecordingBaseEvents();
  auto* neverListener = new RecordingBaseEvents();
  PortableServer::ObjectId_var silentId = TestPOA()->activate_object(silentListener);
  PortableServer::ObjectId_var neverId = TestPOA()->activate_object(neverListener);
  CORBA::Object_var silentReference = TestPOA()->id_to_reference(silentId);
  CORBA::Object_var neverReference = TestPOA()->id_to_reference(neverId);
  silent->SetBaseEventsListener(::BaseEvents::_narrow(silentReference));
  never->SetBaseEventsListener(::BaseEvents::_narrow(neverReference));

  silent->ChangeBaseEventLastContact();
  const auto contacted = std::chrono::steady_clock::now();
  silent->DoError("Client.Check", "while alive");
  ASSERT_TRUE(WaitUntil([&] { return !silentListener->Errors().empty(); }));
  ASSERT_TRUE(WaitUntil([&] { return std::chrono::steady_clock::now() - contacted > 1200ms; }));
  silent->DoError("Client.Check", "after silence");
  never->DoError("Client.Check", "after silence");
  ASSERT_TRUE(WaitUntil([&] { return !neverListener->Errors().empty(); }));

  EXPECT_EQ(silentListener->Errors(),
            (std::vector<std::string>{"METHOD ERROR Client.Check [Environment] : while alive"}));
  ::BaseEvents_var dropped = silent->GetBaseEventsListener();
  EXPECT_TRUE(CORBA::is_nil(dropped));
  CORBA::String_var last = silent->GetLastError();
  EXPECT_EQ(std::string(last.in()), "METHOD ERROR Client.Check [Environment] : while alive");
  EXPECT_EQ(neverListener->Errors(),
            (std::vector<std::string>{"METHOD ERROR Client.Check [Environment] : after silence"}));

  EXPECT_EQ(silentHost.Stop(), 0);
  EXPECT_EQ(neverHost.Stop(), 0);
  TestPOA()->deactivate_object(silentId);
  TestPOA()->deactivate_object(neverId);
  silentListener->_remove_ref();
  neverListener->_remove_ref();
}
