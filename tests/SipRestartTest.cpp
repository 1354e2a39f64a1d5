// The SIP port across a crash and as a newcomer configures it: a host killed with calls up comes back with its
// phones, ends every leg it left and every cut call in the call log once; a routed caller rings the operator's
// phone under the caller's own number; the README's SIP sample starts SIP as printed and a section the server
// cannot use refuses the start; every program answers --help without connecting anywhere.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <ctime>

#include <fstream>
#include <memory>
#include <regex>
#include <sstream>

#include "HostClient.h"
#include "RtpPeer.h"
#include "SipHostSetup.h"
#include "SpawnedProgram.h"

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

constexpr const char* kSipp = "/usr/bin/sipp";
constexpr int kPcmu = 0;

std::string ReadText(const fs::path& path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

// Every log file of the kind the host's starts left, one after the other.
std::string AllServerLogs(const fs::path& ini, const std::string& kind) {
  std::string text;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(ini / "Logs", error)) {
    if (entry.path().filename().string().rfind("VantrelServer" + kind, 0) == 0) text += ReadText(entry.path());
  }
  return text;
}

std::size_t Count(const std::string& text, const std::string& piece) {
  std::size_t count = 0;
  for (std::size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++count;
  return count;
}

std::string Bye(int sipPort, const std::string& callId) {
  return "BYE sip:101@127.0.0.1:" + std::to_string(sipPort) +
         " SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:9;rport;branch=z9hG4bK" + callId.substr(0, 8) +
         "\r\nFrom: <sip:5550130@127.0.0.1>;tag=late\r\nTo: <sip:101@127.0.0.1>;tag=gone\r\nCall-ID: " + callId +
         "\r\nCSeq: 9 BYE\r\nMax-Forwards: 70\r\nContent-Length: 0\r\n\r\n";
}

class SipRestart : public ::testing::Test {
 protected:

  // Trunk line 101 routes every caller to 103; 103 and 104 are SIP stations.
  void Configure() {
    sipPort_ = FreeLoopbackPort();
    trunkPort_ = FreeLoopbackPort();
    phonePort_ = FreeLoopbackPort();
    TSipHostSetup{sipPort_, trunkPort_, "34000-34999"}.Write(host_.IniFolder());
    TSipHostSetup::WriteRouteTo103(host_.IniFolder());
  }
  // Each start's logs on their own: an earlier start's go aside (a start in the same second would reuse their
  // names and empty them).
  void StartHost() {
    if (fs::exists(host_.IniFolder() / "Logs"))
      fs::rename(host_.IniFolder() / "Logs", host_.IniFolder() / ("Logs-" + std::to_string(++starts_)));
    ASSERT_TRUE(host_.Start()) << host_.ErrorOutput();
    ASSERT_TRUE(host_.WaitForOutput("Loaded: 4 lines")) << host_.Output() << host_.ErrorOutput();
    ASSERT_TRUE(WaitUntil([&] { return Log().find("SIP: listening on") != std::string::npos; }))
        << Log() << host_.ErrorOutput();
  }
  void TearDown() override {
    if (started_) EXPECT_EQ(host_.Stop(), 0);
  }

  std::string Log() { return AllServerLogs(host_.IniFolder(), "Info"); }
  std::string Exchange(const std::string& command) { return host_.RunExchange(command).second; }
  std::string Crm(const std::string& sql) { return CrmFile(host_.IniFolder() / "crm.sqlite3").Text(sql); }

  std::unique_ptr<SpawnedProgram> Sipp(const std::string& scenario, int localPort,
                                       const std::vector<std::string>& options, int calls = 1) {
    std::vector<std::string> command = {kSipp,      "127.0.0.1:" + std::to_string(sipPort_),
                                        "-sf",      std::string(VANTREL_SOURCE_DIR) + "/tests/sip/" + scenario,
                                        "-i",       "127.0.0.1",
                                        "-p",       std::to_string(localPort),
                                        "-m",       std::to_string(calls),
                                        "-nostdin", "-timeout",
                                        "40s",      "-timeout_error"};
    command.insert(command.end(), options.begin(), options.end());
    return std::make_unique<SpawnedProgram>(command);
  }
  int Register(const std::string& station, const std::string& password, int port = 0) {
    const auto credentials = host_.IniFolder() / ("phone-" + station + ".csv");
    std::ofstream(credentials) << "SEQUENTIAL\n"
                               << station << ";[authentication username=" << station << " password=" << password
                               << "]\n";
    return Sipp("register.xml", port != 0 ? port : phonePort_, {"-inf", credentials.string(), "-key", "expiry", "3600"})
        ->WaitForExit(20s);
  }
  // A phone that answers the calls; what it received goes to the message file.
  std::unique_ptr<SpawnedProgram> Phone(const RtpPeer& media, int calls, const std::string& messages) {
    return Sipp("phone.xml", phonePort_,
                {"-key", "rtp_ip", "127.0.0.1", "-key", "rtp_port", std::to_string(media.Port()), "-key", "law",
                 std::to_string(kPcmu), "-trace_msg", "-message_file", (host_.IniFolder() / messages).string()},
                calls);
  }
  // Trunk callers from the trunk's port.
  std::unique_ptr<SpawnedProgram> Callers(const std::string& scenario, const std::string& caller, const RtpPeer& media,
                                          int calls, int talkMs = 1000, const std::string& called = "101") {
    return Sipp(scenario, trunkPort_,
                {"-s", called, "-key", "caller", caller, "-key", "rtp_ip", "127.0.0.1", "-key", "rtp_port",
                 std::to_string(media.Port()), "-key", "law", std::to_string(kPcmu), "-key", "media_note",
                 (host_.IniFolder() / ("media-" + caller)).string(), "-d", std::to_string(talkMs)},
                calls);
  }
  std::size_t PartiesShowing(const std::string& piece) { return Count(Exchange("status"), piece); }

  HostProcess host_;
  int sipPort_ = 0, trunkPort_ = 0, phonePort_ = 0;
  int starts_ = 0;
  bool started_ = false;
};

}  // namespace

TEST_F(SipRestart, AKilledHostComesBackWithItsPhonesEndsEveryLegItLeftAndEveryCutCallOnce) {
  Configure();
  ASSERT_NO_FATAL_FAILURE(StartHost());
  started_ = true;
  ASSERT_EQ(Register("103", "pw-103"), 0);
  const fs::path registrations = host_.IniFolder() / "sip-registrations.txt";
  ASSERT_TRUE(WaitUntil([&] { return ReadText(registrations).find("103\tsip:103@127.0.0.1:") == 0; }))
      << ReadText(registrations);
  EXPECT_EQ(fs::status(registrations).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);

  // Three routed callers talk to the operator's phone: three trunk legs and three phone legs.
  constexpr int kCalls = 3;
  RtpPeer phoneMedia, callerMedia;
  auto phone = Phone(phoneMedia, kCalls, "phone-before.log");
  auto callers = Callers("caller-stays.xml", "5550130", callerMedia, kCalls);
  ASSERT_TRUE(WaitUntil([&] { return PartiesShowing("CONNECTED with 103") == kCalls; }, 20s)) << Exchange("status");
  // And 104's phone rings a direct caller, unanswered: an early dialog of ours.
  const int ringingPort = FreeLoopbackPort();
  ASSERT_EQ(Register("104", "pw-104", ringingPort), 0);
  auto ringing = Sipp("phone-rings.xml", ringingPort, {});
  Exchange("call 104 from 5550140");
  ASSERT_TRUE(WaitUntil([&] { return Log().find("SIP call 104 of leg") != std::string::npos &&
                                     Log().find("(rings phone): Inviting -> Early") != std::string::npos; }))
      << Log();
  // The ringing leg is kept just after its state is logged: the kill waits for the journal to hold it.
  ASSERT_TRUE(WaitUntil([&] {
    return ReadText(host_.IniFolder() / "sip-calls.journal").find(":" + std::to_string(ringingPort)) != std::string::npos;
  })) << ReadText(host_.IniFolder() / "sip-calls.journal");
  const std::string talking = "select count(*) from tq_VantrelLog where LinePhoneNumber = '103' and CallEventType = 2";
  ASSERT_TRUE(WaitUntil([&] { return Crm(talking) == std::to_string(kCalls); }, 10s)) << Crm(talking);

  // Registrations are kept once a second; the kill waits for 104's to be among them.
  ASSERT_TRUE(WaitUntil([&] {
    return ReadText(host_.IniFolder() / "sip-registrations.txt").find("104\t") != std::string::npos;
  })) << ReadText(host_.IniFolder() / "sip-registrations.txt");
  const std::time_t killed = std::time(nullptr);
  host_.Kill();
  ASSERT_NO_FATAL_FAILURE(StartHost());
  // Every leg the killed run left gets its BYE: both SIPp instances end their calls as the scenario expects.
  EXPECT_EQ(callers->WaitForExit(20s), 0) << callers->Output();
  EXPECT_EQ(phone->WaitForExit(20s), 0) << phone->Output();
  EXPECT_EQ(ringing->WaitForExit(20s), 0) << ringing->Output();
  EXPECT_NE(Log().find("SIP: the earlier run left " + std::to_string(2 * kCalls + 1) + " calls"), std::string::npos)
      << Log();
  EXPECT_TRUE(Exchange("status").empty()) << Exchange("status");
  // A party's own BYE for a call of the killed run, late, is answered as for an ended call, not 481.
  std::smatch earlier;
  const std::string log = Log();
  ASSERT_TRUE(std::regex_search(log, earlier, std::regex("BYE for call (\\S+) of the earlier run: 200"))) << log;
  EXPECT_EQ(AskUdp(0, sipPort_, Bye(sipPort_, earlier[1].str()), 2s).rfind("SIP/2.0 200", 0), 0u);
  EXPECT_EQ(AskUdp(0, sipPort_, Bye(sipPort_, "never-seen-call"), 2s).rfind("SIP/2.0 481", 0), 0u);

  // Every cut call has its ending row, once, at each line it was open at; the error log says why.
  const std::string endsPerCall =
      "select group_concat(Ends, ' ') from (select sum(case when CallEventType = 9 then 1 else 0 end) as Ends "
      "from tq_VantrelLog group by CallHandle, LinePhoneNumber)";
  ASSERT_TRUE(WaitUntil([&] { return Crm(endsPerCall).find('0') == std::string::npos; }, 10s)) << Crm(endsPerCall);
  EXPECT_EQ(Crm(endsPerCall).find_first_not_of("1 "), std::string::npos) << Crm(endsPerCall);
  EXPECT_EQ(Crm("select count(*) from tq_VantrelLog where LinePhoneNumber = '103' and CallEventType = 9"),
            std::to_string(kCalls));
  EXPECT_EQ(Count(AllServerLogs(host_.IniFolder(), "Error"), "was cut off by the server's end"),
            static_cast<std::size_t>(kCalls + 1));
  EXPECT_EQ(Crm("select count(*) from tq_VantrelLog where LinePhoneNumber = '104' and CallEventType = 9"), "1");

  // The phone was not asked to register again, and a new caller reaches it. (Its call begins in a later second
  // than the cut calls: a call's key is its begin second and the exchange's handle, which a new run counts anew.)
  ASSERT_TRUE(WaitUntil([&] { return std::time(nullptr) > killed; }, 3s));
  EXPECT_NE(Log().find("SIP: 2 registrations of the earlier run restored"), std::string::npos) << Log();
  auto again = Phone(phoneMedia, 1, "phone-after.log");
  auto caller = Callers("caller.xml", "5550131", callerMedia, 1);
  EXPECT_EQ(caller->WaitForExit(30s), 0) << caller->Output();
  EXPECT_EQ(again->WaitForExit(10s), 0) << again->Output();
  EXPECT_EQ(Log().find("SIP: station 103 registered at"), std::string::npos) << Log();

  // A graceful stop and start ends nothing twice and sends no BYE for calls that ended.
  EXPECT_EQ(host_.Stop(), 0);
  ASSERT_NO_FATAL_FAILURE(StartHost());
  EXPECT_EQ(Log().find("calls; each gets a BYE"), std::string::npos) << Log();
  const std::string ended = "select count(*) from tq_VantrelLog where LinePhoneNumber = '103' and CallEventType = 9";
  EXPECT_TRUE(WaitUntil([&] { return Crm(ended) == std::to_string(kCalls + 1); })) << Crm(ended);
  EXPECT_EQ(Crm(endsPerCall).find_first_not_of("1 "), std::string::npos) << Crm(endsPerCall);
}

TEST_F(SipRestart, TheOperatorsPhoneRungForARoutedCallerShowsTheCallerWithTheCrmContactsName) {
  Configure();
  ASSERT_NO_FATAL_FAILURE(StartHost());
  started_ = true;
  ASSERT_EQ(Register("103", "pw-103"), 0);
  ASSERT_TRUE(WaitUntil([&] { return Crm("select count(*) from tq_Contact") != "-"; })) << "no CRM tables";
  Crm("insert into tq_Contact (ID, Name, Company_id, AccountManager_id) values (30, 'Erik \"Rik\" Nordin', null, "
      "null)");
  Crm("insert into tq_ContactPhone (Contact_ID, Phone, OptimizedPhone) values (30, '555-0120', '5550120')");
  // The INVITE the phone got: its From, as the phone shows it.
  const auto fromOfCall = [&](const std::string& caller) {
    RtpPeer phoneMedia, callerMedia;
    auto phone = Phone(phoneMedia, 1, "phone-" + caller + ".log");
    auto calling = Callers("caller.xml", caller, callerMedia, 1);
    EXPECT_EQ(calling->WaitForExit(30s), 0) << calling->Output();
    EXPECT_EQ(phone->WaitForExit(10s), 0) << phone->Output();
    const std::string messages = ReadText(host_.IniFolder() / ("phone-" + caller + ".log"));
    std::smatch from;
    return std::regex_search(messages, from, std::regex("\\nFrom: ([^\\r\\n]*)")) ? from[1].str() : messages;
  };
  // Not the routing line 101 that made the consultation call: the caller, named as the CRM knows them.
  const std::string known = fromOfCall("5550120");
  EXPECT_EQ(known.rfind("\"Erik Rik Nordin\" <sip:5550120@", 0), 0u) << known;
  const std::string unknown = fromOfCall("5550121");
  EXPECT_EQ(unknown.rfind("\"5550121\" <sip:5550121@", 0), 0u) << unknown;
}

TEST(SipConfiguration, TheReadmesSampleAsPrintedStartsSipAndASectionTheServerCannotUseRefusesTheStart) {
  // The sample as the README prints it; only its port is one of this test's own, and its trunk is on loopback.
  const std::string readme = ReadText(fs::path(VANTREL_SOURCE_DIR) / "README.md");
  const std::size_t heading = readme.find("`Exchange.ini`:\n\n```ini\n");
  ASSERT_NE(heading, std::string::npos);
  const std::size_t begin = readme.find('\n', readme.find("```ini", heading)) + 1;
  std::string sample = readme.substr(begin, readme.find("```", begin) - begin);
  const std::size_t trunk = sample.find("Address=192.0.2.10");
  ASSERT_NE(trunk, std::string::npos) << sample;
  sample.replace(trunk, 18, "Address=127.0.0.1");
  const int sipPort = FreeLoopbackPort();
  const std::size_t port = sample.find("Port=5060", sample.find("[SIP]"));
  ASSERT_NE(port, std::string::npos) << sample;
  sample.replace(port, 9, "Port=" + std::to_string(sipPort));
  {
    HostProcess host;
    std::ofstream(host.IniFolder() / "Exchange.ini") << sample;
    ASSERT_TRUE(host.Start()) << host.ErrorOutput();
    EXPECT_TRUE(host.WaitForOutput("Loaded:")) << host.ErrorOutput();
    EXPECT_TRUE(WaitUntil([&] {
      return AllServerLogs(host.IniFolder(), "Info").find("SIP: listening on 127.0.0.1:" + std::to_string(sipPort)) !=
             std::string::npos;
    })) << AllServerLogs(host.IniFolder(), "Info");
    EXPECT_EQ(host.Stop(), 0);
  }

  // A value with a comment after it, under a section spelt [Sip]: refused, with the reason on stderr and in
  // the error log, and the host ends.
  {
    HostProcess host;
    std::ofstream(host.IniFolder() / "Exchange.ini") << "[Sip]\nAddress=127.0.0.1 ; where SIP listens\n";
    host.Start();
    EXPECT_EQ(host.WaitForExit(10s), 1);
    const std::string reason = "[SIP] Address=\"127.0.0.1 ; where SIP listens\" is not an IPv4 address";
    EXPECT_NE(host.ErrorOutput().find(reason), std::string::npos) << host.ErrorOutput();
    EXPECT_NE(AllServerLogs(host.IniFolder(), "Error").find(reason), std::string::npos);
  }
  // A port another program holds.
  {
    const int taken = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int busyPort = FreeLoopbackPort();
    address.sin_port = htons(static_cast<std::uint16_t>(busyPort));
    ASSERT_EQ(::bind(taken, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    HostProcess host;
    std::ofstream(host.IniFolder() / "Exchange.ini") << "[SIP]\nAddress=127.0.0.1\nPort=" << busyPort << "\n";
    host.Start();
    EXPECT_EQ(host.WaitForExit(10s), 1);
    EXPECT_NE(host.ErrorOutput().find("SIP cannot start: SIP: cannot listen on 127.0.0.1:" + std::to_string(busyPort)),
              std::string::npos)
        << host.ErrorOutput();
    EXPECT_NE(AllServerLogs(host.IniFolder(), "Error").find("cannot listen on"), std::string::npos);
    ::close(taken);
  }
  // A port whose UDP side is free and whose TCP side another program holds.
  {
    const int taken = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int busyPort = FreeLoopbackPort();
    address.sin_port = htons(static_cast<std::uint16_t>(busyPort));
    ASSERT_EQ(::bind(taken, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(taken, 1), 0);
    HostProcess host;
    std::ofstream(host.IniFolder() / "Exchange.ini") << "[SIP]\nAddress=127.0.0.1\nPort=" << busyPort << "\n";
    host.Start();
    EXPECT_EQ(host.WaitForExit(10s), 1);
    const std::string reason = "SIP: cannot listen on 127.0.0.1:" + std::to_string(busyPort) + " (TCP)";
    EXPECT_NE(host.ErrorOutput().find(reason), std::string::npos) << host.ErrorOutput();
    EXPECT_NE(AllServerLogs(host.IniFolder(), "Error").find(reason), std::string::npos);
    ::close(taken);
  }
}

TEST(ProgramOptions, EveryProgramPrintsItsUsageForHelpAndRefusesAnUnknownOptionWithoutConnectingAnywhere) {
  // A listener where the programs would connect: none of them may knock.
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const int port = FreeLoopbackPort();
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  const int reuse = 1;
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener, 8), 0);
  const std::string portText = std::to_string(port);
  const fs::path folder = fs::temp_directory_path() / ("vantrel-options-" + std::to_string(::getpid()));
  fs::create_directories(folder);
  const fs::path console = fs::path(VANTREL_HOST_PATH).parent_path() / "vantrel-console";
  const std::vector<std::pair<std::string, std::vector<std::string>>> programs = {
      {VANTREL_HOST_PATH, {"--ini", folder.string(), "--port", portText}},
      {console.string(), {"--port", portText}},
      {VANTREL_EXCHANGE_PATH, {"--ini", folder.string()}},
      {VANTREL_CRM_PATH, {"--connection", "Provider=SQLite;Data Source=" + (folder / "crm.sqlite3").string()}},
      {VANTREL_WEB_PATH, {"--port", portText, "--web-port", std::to_string(FreeLoopbackPort())}},
  };
  for (const auto& [program, options] : programs) {
    SCOPED_TRACE(program);
    std::vector<std::string> help = {program};
    help.insert(help.end(), options.begin(), options.end());
    help.push_back("--help");
    SpawnedProgram asked(help, false);
    EXPECT_EQ(asked.WaitForExit(10s), 0) << asked.Output();
    EXPECT_NE(asked.Output().find("usage"), std::string::npos) << asked.Output();
    EXPECT_NE(asked.Output().find("--"), std::string::npos) << asked.Output();

    std::vector<std::string> unknown = {program, "--colour", "blue"};
    unknown.insert(unknown.end(), options.begin(), options.end());
    SpawnedProgram refused(unknown);
    EXPECT_EQ(refused.WaitForExit(10s), 2) << refused.Output();
    EXPECT_NE(refused.Output().find("unknown option --colour"), std::string::npos) << refused.Output();
    EXPECT_NE(refused.Output().find("usage"), std::string::npos) << refused.Output();
  }
  EXPECT_LT(::accept(listener, nullptr, nullptr), 0) << "a program connected";
  EXPECT_FALSE(fs::exists(folder / "crm.sqlite3"));
  ::close(listener);
  fs::remove_all(folder);
}
