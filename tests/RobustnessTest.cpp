// A running host against what real users and networks do to it: damaged files, garbage on its port,
// clients that go away in the middle of a call.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <thread>
#include <vector>

#include "HostProcess.h"
#include "RecordingLineEvents.h"
#include "Vantrel.hh"

using namespace std::chrono_literals;

namespace {

// Rules.ini with that many rules of no actions.
void WriteRules(const HostProcess& host, int count) {
  std::ofstream rules(host.IniFolder() / "Rules.ini");
  rules << "[Rules]\nName=Rules\nEnabled=1\n[Rules_Items]\nCount=" << count << "\nItemID=" << count << "\n";
  for (int i = 0; i < count; ++i) {
    rules << "[Rules_" << i << "]\nID=" << i + 1 << "\nOrder=" << i << "\nName=Rule " << i << "\nEnabled=1\n[Rules_"
          << i << "_Items]\nCount=0\nItemID=0\n";
  }
}

::Environment_ptr EnvironmentOf(const HostProcess& host) {
  return ::Environment::_narrow(CORBA::Object_var(TestORB()->string_to_object(host.Corbaloc().c_str())));
}

}  // namespace

TEST(Robustness, DamagedIniFilesAreReadAsFarAsTheyMakeSense) {
  HostProcess host;
  std::mt19937 random(7);
  std::string junk(4096, '\0');
  for (char& c : junk) c = static_cast<char>(random() % 256);
  std::ofstream(host.IniFolder() / "Rules.ini", std::ios::binary) << "[Rules_Items]\nCount=99999\nItemID=x\n" << junk;
  std::ofstream(host.IniFolder() / "Lines.ini", std::ios::binary) << "[Lines_Items]\nCount=-5\n[Lines_0\nID=";
  std::ofstream(host.IniFolder() / "Settings.ini", std::ios::binary) << junk;
  std::ofstream(host.IniFolder() / "Exchange.ini", std::ios::binary) << "[Exchange]\nTrunks=abc\n";
  ASSERT_TRUE(host.Start()) << host.ErrorOutput();
  EXPECT_TRUE(host.WaitForOutput("Loaded:") ||
              host.ErrorOutput().find("loading the configuration failed") != std::string::npos);
  ::Environment_var environment = EnvironmentOf(host);
  ::Lines_var lines = environment->GetLines();
  EXPECT_EQ(lines->GetItemsCount(), 4);  // one line per device, whatever the file said
  ::Rules_var rules = environment->GetRules();
  EXPECT_EQ(rules->GetItemsCount(), 0);  // a count without sections makes no rules
  CORBA::String_var name = environment->GetObjectName();
  EXPECT_EQ(host.Stop(), 0);
}

TEST(Robustness, GarbageOnTheIiopPortLeavesTheServerServing) {
  HostProcess host;
  ASSERT_TRUE(host.Start()) << host.ErrorOutput();
  ASSERT_TRUE(host.WaitForOutput("Loaded:"));
  std::mt19937 random(11);
  for (int round = 0; round < 20; ++round) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(host.Port()));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    std::string bytes(static_cast<std::size_t>(1 + random() % 3000), '\0');
    for (char& c : bytes) c = static_cast<char>(random() % 256);
    if (round % 4 == 0) bytes.replace(0, 4, "GIOP");  // a header that lies about what follows
    [[maybe_unused]] const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    ::close(fd);
  }
  ::Environment_var environment = EnvironmentOf(host);
  ::Lines_var lines = environment->GetLines();
  EXPECT_EQ(lines->GetItemsCount(), 4);
  EXPECT_EQ(host.Stop(), 0);
}

TEST(Robustness, AClientThatGoesAwayInTheMiddleOfACallLeavesTheLineWorking) {
  HostProcess host;
  ASSERT_TRUE(host.Start()) << host.ErrorOutput();
  ASSERT_TRUE(host.WaitForOutput("Loaded:"));
  ::Environment_var environment = EnvironmentOf(host);
  ::Lines_var lines = environment->GetLines();
  ::Line_var line = ::Line::_narrow(::ContainerItem_var(lines->GetItemByDevicePhoneNumber("102")));
  auto* listener = new RecordingLineEvents();
  PortableServer::ObjectId_var id = TestPOA()->activate_object(listener);
  listener->_remove_ref();
  line->SetLineEventsListener(
      ::LineEvents_var(::LineEvents::_narrow(CORBA::Object_var(TestPOA()->id_to_reference(id)))));
  ASSERT_EQ(host.RunExchange("call 102 from 5550700").first, 0);
  ASSERT_TRUE(WaitUntil([&] { return listener->SawAny(::Offering); }));
  const CORBA::Long call = listener->First(::Offering);
  TestPOA()->deactivate_object(id);  // the client is gone; its listener no longer exists
  line->Answer(call);
  EXPECT_TRUE(WaitUntil([&] { return line->GetCallIsConnected(call); }));
  ASSERT_EQ(host.RunExchange("hangup").first, 0);
  EXPECT_TRUE(WaitUntil([&] { return line->GetCallsCount() == 0; }));
  ASSERT_EQ(host.RunExchange("call 102 from 5550701").first, 0);
  EXPECT_TRUE(WaitUntil([&] { return line->GetOfferingCall() != 0; }));
  EXPECT_EQ(host.Stop(), 0);
}

TEST(Robustness, FiftyClientsHammeringTheTreeWhileCallsFlowNeitherCrashNorDeadlock) {
  HostProcess host;
  ASSERT_TRUE(host.Start()) << host.ErrorOutput();
  ASSERT_TRUE(host.WaitForOutput("Loaded:"));
  std::atomic<bool> stop{false};
  std::atomic<long> calls{0};
  std::atomic<long> failures{0};
  std::vector<std::thread> clients;
  for (int t = 0; t < 50; ++t) {
    clients.emplace_back([&, t] {
      try {
        ::Environment_var environment = EnvironmentOf(host);
        ::Lines_var lines = environment->GetLines();
        ::Operators_var operators = environment->GetOperators();
        ::Line_var line = ::Line::_narrow(::ContainerItem_var(lines->GetItem(t % 4)));
        while (!stop) {
          ::LineItemSeq_var items = lines->GetItemsArray();
          const CORBA::Long call = line->GetOfferingCall() != 0 ? line->GetOfferingCall() : line->GetActiveCall();
          line->GetCallState(call);
          line->SetCallNote(call, "Client", std::to_string(t).c_str());
          CORBA::String_var note = line->GetCallNote(call, "Client");
          ::OperatorItemSeq_var people = operators->GetOperatorsArray();
          if (t % 10 == 0 && call != 0) line->Answer(call);
          ++calls;
        }
      } catch (const CORBA::Exception&) {
        ++failures;
      }
    });
  }
  for (int i = 0; i < 8; ++i) {
    host.RunExchange("call " + std::to_string(101 + i % 4) + " from 55507" + std::to_string(i));
    std::this_thread::sleep_for(200ms);
    host.RunExchange("hangup");
  }
  stop = true;
  for (auto& client : clients) client.join();
  EXPECT_EQ(failures, 0);
  EXPECT_GT(calls, 500);
  ::Environment_var environment = EnvironmentOf(host);
  EXPECT_EQ(::Lines_var(environment->GetLines())->GetItemsCount(), 4);
  EXPECT_EQ(host.Stop(), 0);
}

TEST(Robustness, StoppingWhileClientsAreCallingEndsCleanly) {
  HostProcess host;
  ASSERT_TRUE(host.Start()) << host.ErrorOutput();
  ASSERT_TRUE(host.WaitForOutput("Loaded:"));
  std::atomic<bool> stop{false};
  std::atomic<long> answered{0};
  std::vector<std::thread> clients;
  for (int t = 0; t < 20; ++t) {
    clients.emplace_back([&, t] {
      try {
        ::Environment_var environment = EnvironmentOf(host);
        ::Lines_var lines = environment->GetLines();
        ::Line_var line = ::Line::_narrow(::ContainerItem_var(lines->GetItem(t % 4)));
        while (!stop) {
          line->GetCallsCount();  // each of these waits for the telephony thread
          ++answered;
        }
      } catch (const CORBA::Exception&) {
        // the server went away under it: expected
      }
    });
  }
  EXPECT_TRUE(WaitUntil([&] { return answered > 200; }));  // every client is well under way
  EXPECT_EQ(host.Stop(std::chrono::seconds(20)), 0);       // generous: a loaded machine stops slowly, not wrongly
  stop = true;
  for (auto& client : clients) client.join();
}

TEST(Robustness, ASaveAtTheFirstAnswerWhileThousandsOfRulesLoadKeepsEveryRule) {
  HostProcess host;
  WriteRules(host, 3000);
  ASSERT_TRUE(host.Start()) << host.ErrorOutput();  // the ORB serves; the configuration may still be loading
  CORBA::Object_var object = TestORB()->string_to_object(host.Corbaloc().c_str());
  ::Environment_var environment = ::Environment::_narrow(object);
  const std::string folder = host.IniFolder().string();
  ASSERT_TRUE(WaitUntil(
      [&] {
        try {
          return static_cast<bool>(environment->SaveToIniFiles(folder.c_str()));
        } catch (const CORBA::TRANSIENT&) {
          return false;
        }
      },
      std::chrono::seconds(30)));
  ASSERT_TRUE(host.WaitForOutput("3000 rules", std::chrono::seconds(30))) << host.Output();
  EXPECT_EQ(::Rules_var(environment->GetRules())->GetItemsCount(), 3000);
  // And on disk: the save came after the load, not in the middle of it.
  std::ifstream saved(host.IniFolder() / "Rules.ini");
  int sections = 0;
  for (std::string line; std::getline(saved, line);) {
    if (line.rfind("[Rules_", 0) == 0 && line.find("_Items") == std::string::npos &&
        line.find('_', 7) == std::string::npos) {
      ++sections;
    }
  }
  EXPECT_EQ(sections, 3000);
  EXPECT_EQ(host.Stop(), 0);
}

TEST(Robustness, ClientsSavingAndLoadingTheSameFileAtOnceKeepItWhole) {
  HostProcess host;
  WriteRules(host, 200);
  ASSERT_TRUE(host.Start()) << host.ErrorOutput();
  ASSERT_TRUE(host.WaitForOutput("200 rules")) << host.Output();
  const std::string file = (host.IniFolder() / "Rules.ini").string();
  std::atomic<long> refused{0};
  std::vector<std::thread> clients;
  for (int t = 0; t < 6; ++t) {
    clients.emplace_back([&, t] {
      try {
        ::Rules_var rules = ::Environment_var(EnvironmentOf(host))->GetRules();
        for (int i = 0; i < 15; ++i) {
          const bool done =
              t % 2 == 0 ? rules->SaveToIniFile(file.c_str(), "Rules") : rules->LoadFromIniFile(file.c_str(), "Rules");
          if (!done) ++refused;
        }
      } catch (const CORBA::Exception&) {
        ++refused;  // the server went down under them
      }
    });
  }
  for (auto& client : clients) client.join();
  EXPECT_EQ(refused, 0) << host.ErrorOutput();
  ::Environment_var environment = EnvironmentOf(host);
  EXPECT_EQ(::Rules_var(environment->GetRules())->GetItemsCount(), 200);
  EXPECT_EQ(host.Stop(), 0);
  HostProcess again;
  std::filesystem::copy_file(file, again.IniFolder() / "Rules.ini");
  ASSERT_TRUE(again.Start()) << again.ErrorOutput();
  EXPECT_TRUE(again.WaitForOutput("200 rules")) << again.Output();
  EXPECT_EQ(again.Stop(), 0);
}

namespace {
// Seconds of processor the process has used, from /proc.
double ProcessorSeconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  long long user = 0, system = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) user = std::stoll(field);
    if (i == 15) system = std::stoll(field);
  }
  return static_cast<double>(user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}
std::size_t OpenDescriptorCount(pid_t pid) {
  std::error_code error;
  std::size_t count = 0;
  for (std::filesystem::directory_iterator entry("/proc/" + std::to_string(pid) + "/fd", error), end;
       !error && entry != end; entry.increment(error)) {
    ++count;
  }
  return count;
}
}  // namespace

TEST(Robustness, ConnectionsHeldPastTheDescriptorLimitAreRefusedWithoutSpinningAndClientsGetInOnceTheyGo) {
  HostProcess host;
  ASSERT_TRUE(host.Start()) << host.ErrorOutput();
  ASSERT_TRUE(host.WaitForOutput("Loaded:")) << host.Output();
  // A limit of 256 for the running server, then 400 connections that say nothing and stay.
  const std::string lower = "prlimit --pid " + std::to_string(host.Pid()) + " --nofile=256:256";
  ASSERT_EQ(std::system(lower.c_str()), 0);
  // They arrive while the server is stopped, so it meets all of them at once when it runs again, as on a machine
  // too busy to keep up with the flood.
  ASSERT_EQ(::kill(host.Pid(), SIGSTOP), 0);
  std::vector<int> held;
  for (int i = 0; i < 400; ++i) {
    const int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    ASSERT_GE(socket, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(host.Port()));
    ::connect(socket, reinterpret_cast<sockaddr*>(&address), sizeof address);
    held.push_back(socket);
  }
  // The server never comes to its limit, where every accept would fail and be retried at once.
  std::atomic<std::size_t> most{0};
  std::atomic<bool> watching{true};
  std::thread watcher([&] {
    while (watching) most = std::max(most.load(), OpenDescriptorCount(host.Pid()));
  });
  ASSERT_EQ(::kill(host.Pid(), SIGCONT), 0);
  // The connections the listener turns away retry as TCP does, so the refusal comes within a few rounds.
  EXPECT_TRUE(WaitUntil(
      [&] { return ReadServerLog(host.IniFolder(), "Error").find("IIOP connections refused") != std::string::npos; },
      30s))
      << ReadServerLog(host.IniFolder(), "Error");
  // Over a measured two seconds with the connections held, the server idles, and its control socket answers.
  const double before = ProcessorSeconds(host.Pid());
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(host.RunExchange("status").first, 0);
  std::this_thread::sleep_until(start + 2s);
  EXPECT_LT(ProcessorSeconds(host.Pid()) - before, 0.4) << "seconds of processor in two";
  watching = false;
  watcher.join();
  EXPECT_LT(most.load(), 256u);
  for (const int socket : held) ::close(socket);
  // Once they go, a client that connects now is served.
  EXPECT_TRUE(WaitUntil(
      [&] {
        try {
          ::Environment_var environment = EnvironmentOf(host);
          return !CORBA::is_nil(environment) && ::Lines_var(environment->GetLines())->GetItemsCount() > 0;
        } catch (const CORBA::Exception&) {
          return false;
        }
      },
      15s)) << ReadServerLog(host.IniFolder(), "Info");
  EXPECT_EQ(host.Stop(), 0);
}
