// The web gateway against what a stranger on the same machine tries: login floods and guessing, connection
// floods past the descriptor limit, foreign Host names; and what must not outlive its time: sessions of users
// logged out or removed, CRM answers; files readable by others; answers the description does not tell.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <boost/asio/ip/tcp.hpp>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <thread>

#include "EventsClient.h"
#include "HostClient.h"
#include "OpenApiCheck.h"
#include "WebGatewayFixture.h"

namespace {

// Milliseconds of each /metrics answer while the test runs, sorted.
std::vector<long> MetricsLatencies(int port, int count) {
  std::vector<long> latencies;
  for (int i = 0; i < count; ++i) {
    const auto start = std::chrono::steady_clock::now();
    WebClient(port).Get("/metrics");
    latencies.push_back(static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count()));
  }
  std::sort(latencies.begin(), latencies.end());
  return latencies;
}

TEST_F(WebGateway, ALoginFloodLeavesTheRestServedAndALockoutInPlace) {
  // Thirty-two clients from addresses of their own log in with a right password, as fast as they can: the
  // hashing waits its turn on a thread of its own and the overflow is refused at once; /metrics stays quick.
  WebClient anna(webPort_);
  ASSERT_TRUE(anna.LogIn("anna", "anna-secret"));
  ASSERT_EQ(anna.Post("/api/lines/103/login", nlohmann::json::object()).status, 200);
  EventsClient events(webPort_, anna.Cookie());
  ASSERT_TRUE(events.Connected());
  std::atomic<bool> flooding{true};
  std::atomic<int> accepted{0}, refused{0}, other{0};
  std::vector<std::thread> clients;
  for (int i = 0; i < 32; ++i)
    clients.emplace_back([&, i] {
      WebClient client(webPort_);
      client.SendFrom("127.0.1." + std::to_string(i + 1));
      for (int n = 0; n < 400 && flooding; ++n) {
        const int status = client.Post("/api/session", {{"user", "super"}, {"password", "super-secret"}}).status;
        (status == 200 ? accepted : status == 503 ? refused : other)++;
      }
    });
  const auto latencies = MetricsLatencies(webPort_, 30);
  // A change reaches the live events as quickly as ever.
  std::vector<long> live;
  for (int i = 0; i < 6; ++i) {
    const std::string status = i % 2 ? "ready" : "busy";
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(anna.Post("/api/lines/103/status", {{"status", status}}).status, 200);
    ASSERT_TRUE(events.WaitFor([&](const auto&, const auto& state) {
      for (const auto& person : state.value("operators", nlohmann::json::array()))
        if (person["id"] == 1) return person["status"] == status;
      return false;
    }));
    live.push_back(static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count()));
  }
  std::sort(live.begin(), live.end());
  flooding = false;
  for (auto& client : clients) client.join();
  std::cout << "/metrics during a login flood: median " << latencies[latencies.size() / 2] << " ms, max "
            << latencies.back() << " ms; a status change live after " << live[live.size() / 2] << " ms (max "
            << live.back() << "); logins accepted " << accepted << ", refused at once " << refused << std::endl;
  EXPECT_LT(latencies[latencies.size() / 2], 500);
  EXPECT_LT(latencies.back(), 2000);
  EXPECT_LT(live[live.size() / 2], 1000);
  EXPECT_GT(accepted, 0);
  EXPECT_GT(refused, 0);
  EXPECT_EQ(other, 0);

  // Five wrong passwords for the supervisor from one address lock the name there, and only there.
  WebClient guesser(webPort_), colleague(webPort_), junk(webPort_);
  guesser.SendFrom("127.0.0.2");
  colleague.SendFrom("127.0.0.3");
  junk.SendFrom("127.0.0.4");
  for (int i = 0; i < 5; ++i) EXPECT_FALSE(guesser.LogIn("super", "guess-" + std::to_string(i)));
  const auto locked = guesser.Post("/api/session", {{"user", "super"}, {"password", "super-secret"}});
  EXPECT_EQ(locked.status, 429) << locked.body;
  EXPECT_TRUE(locked.headers.count("retry-after"));
  EXPECT_TRUE(colleague.LogIn("super", "super-secret"));
  // A flood of names nobody has, past any bound the failures are kept in, clears nothing.
  int junkRefused = 0;
  for (int i = 0; i < 10002; ++i)
    if (junk.Post("/api/session", {{"user", "junk" + std::to_string(i)}, {"password", "x"}}).status == 429)
      ++junkRefused;
  EXPECT_GT(junkRefused, 9990);
  EXPECT_EQ(guesser.Post("/api/session", {{"user", "super"}, {"password", "super-secret"}}).status, 429);
  EXPECT_TRUE(colleague.LogIn("super", "super-secret"));
}

TEST_F(WebGateway, OutOfDescriptorsOrAtTheCapTheGatewayWaitsInsteadOfSpinning) {
  // Started under a limit of 128 descriptors, the gateway takes 64 connections at most.
  StartWeb({}, {"/usr/bin/prlimit", "--nofile=128:128"});
  const auto cpuSeconds = [&] {
    std::ifstream stat("/proc/" + std::to_string(web_->Pid()) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::vector<std::string> values(std::istream_iterator<std::string>(fields), {});
    return (std::stod(values.at(11)) + std::stod(values.at(12))) / static_cast<double>(::sysconf(_SC_CLK_TCK));
  };
  const auto holdConnections = [&](int count) {
    std::vector<std::unique_ptr<boost::asio::ip::tcp::socket>> held;
    static boost::asio::io_context context;
    for (int i = 0; i < count; ++i) {
      auto socket = std::make_unique<boost::asio::ip::tcp::socket>(context);
      socket->connect({boost::asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(webPort_)});
      held.push_back(std::move(socket));
    }
    return held;
  };
  const auto countOf = [&](const std::string& text) {
    web_->WaitForOutput("\x01", 200ms);  // reads what came so far
    std::size_t count = 0;
    for (auto at = web_->Output().find(text); at != std::string::npos; at = web_->Output().find(text, at + 1)) ++count;
    return count;
  };
  for (const bool lowerLimit : {false, true}) {
    if (lowerLimit) {
      // Now fewer descriptors than connections: accepting fails with "Too many open files".
      std::size_t open = 0;
      for ([[maybe_unused]] const auto& entry :
           std::filesystem::directory_iterator("/proc/" + std::to_string(web_->Pid()) + "/fd"))
        ++open;
      const std::string limit = std::to_string(open + 8);
      ASSERT_EQ(
          std::system(
              ("/usr/bin/prlimit --pid " + std::to_string(web_->Pid()) + " --nofile=" + limit + ":" + limit).c_str()),
          0);
    }
    auto held = holdConnections(80);
    const double before = cpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(web_->WaitForOutput(lowerLimit ? "Too many open files" : "the most allowed", 5s)) << web_->Output();
    // Two seconds of being full cost next to nothing, and are said once.
    std::this_thread::sleep_until(start + 2s);
    const double spent = cpuSeconds() - before;
    std::cout << (lowerLimit ? "out of descriptors" : "at the cap") << ": " << spent << " s of CPU in 2 s" << std::endl;
    EXPECT_LT(spent, 0.3);
    EXPECT_EQ(countOf(lowerLimit ? "Too many open files" : "the most allowed"), 1u) << web_->Output();
    held.clear();
    EXPECT_TRUE(WaitUntil([&] { return Metric("vantrel_server_up") == "1"; }, 10s));
    EXPECT_GE(countOf("accepting connections again"), lowerLimit ? 2u : 1u) << web_->Output();
  }
}

TEST_F(WebGateway, LoggingOutOrLosingTheUserEndsTheSessionAndItsSockets) {
  WebClient anna(webPort_), boris(webPort_);
  ASSERT_TRUE(anna.LogIn("anna", "anna-secret"));
  ASSERT_TRUE(boris.LogIn("boris", "boris-secret"));
  EventsClient annaEvents(webPort_, anna.Cookie()), borisEvents(webPort_, boris.Cookie());
  ASSERT_TRUE(annaEvents.Connected());
  ASSERT_TRUE(borisEvents.Connected());
  EXPECT_EQ(anna.Request("DELETE", "/api/session").status, 204);
  EXPECT_TRUE(WaitUntil([&] { return annaEvents.Closed(); }, 2s));
  EXPECT_FALSE(borisEvents.Closed());

  // Boris is taken out of the users' file by hand: his next request is refused, his socket closes.
  const auto file = host_.IniFolder() / "WebUsers.ini";
  std::ifstream in(file);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  in.close();
  const auto at = text.find("[boris]");
  ASSERT_NE(at, std::string::npos);
  text.erase(at, text.find('[', at + 1) == std::string::npos ? std::string::npos : text.find('[', at + 1) - at);
  std::ofstream(file) << text;
  EXPECT_TRUE(WaitUntil([&] { return borisEvents.Closed(); }, 5s));
  EXPECT_EQ(boris.Get("/api/lines").status, 401);
  EXPECT_FALSE(boris.LogIn("boris", "boris-secret"));
}

TEST_F(WebGateway, OnlyItsOwnNamesReachTheGateway) {
  const auto withHost = [&](const std::string& method, const std::string& target, const std::string& host) {
    return WebClient(webPort_).Request(method, target, method == "POST" ? R"({"user":"super","password":"x"})" : "",
                                       {{"Host", host}, {"Content-Type", "application/json"}});
  };
  const std::string port = ":" + std::to_string(webPort_);
  // A page of another name, reached through DNS rebinding, gets neither the login nor the figures.
  for (const std::string& target : {"/metrics", "/", "/api/openapi.json"}) {
    const auto refused = withHost("GET", target, "rebind.example" + port);
    EXPECT_EQ(refused.status, 421) << target;
    EXPECT_NE(refused.Json().value("error", "").find("--allowed-hosts"), std::string::npos) << refused.body;
  }
  EXPECT_EQ(withHost("POST", "/api/session", "rebind.example" + port).status, 421);
  EXPECT_EQ(withHost("GET", "/metrics", "").status, 421);
  EXPECT_EQ(withHost("GET", "/metrics", "127.0.0.1" + port).status, 200);
  EXPECT_EQ(withHost("GET", "/metrics", "localhost" + port).status, 200);
  EXPECT_EQ(withHost("GET", "/metrics", "LocalHost").status, 200);
  EXPECT_EQ(WebClient(webPort_)
                .Request("GET", "/api/events", "",
                         {{"Host", "rebind.example"},
                          {"Connection", "Upgrade"},
                          {"Upgrade", "websocket"},
                          {"Sec-WebSocket-Version", "13"},
                          {"Sec-WebSocket-Key", "dGhlIHNhbXBsZSBub25jZQ=="}})
                .status,
            421);
  // Names given to it are its own too.
  StartWeb({"--allowed-hosts", "wallboard.example,board.example"});
  EXPECT_EQ(withHost("GET", "/metrics", "board.example" + port).status, 200);
  EXPECT_EQ(WebClient(webPort_).Request("GET", "/metrics", "", {{"Host", "wallboard.example:8080"}}).status, 200);
  EXPECT_EQ(WebClient(webPort_).Request("GET", "/metrics", "", {{"Host", "rebind.example"}}).status, 421);
}

TEST_F(WebGateway, FilesTheServerAndTheGatewayWriteAreTheOwnersOnly) {
  // The test wrote the settings readable by all, as an administrator might; the server saves them over.
  std::filesystem::permissions(host_.IniFolder() / "Settings.ini", std::filesystem::perms(0644));
  std::filesystem::permissions(host_.IniFolder() / "Lines.ini", std::filesystem::perms(0644));
  {
    CORBA::Object_var object = TestORB()->string_to_object(host_.Corbaloc().c_str());
    ::Environment_var environment = ::Environment::_narrow(object);
    ASSERT_TRUE(environment->SaveToIniFiles(host_.IniFolder().c_str()));
  }
  AddUser("clara", "operator", "102", 3, "clara-secret");
  std::vector<std::string> written;
  for (const std::string name : {"Settings.ini", "Settings.ini.bak", "Lines.ini", "Lines.ini.bak", "WebUsers.ini",
                                 "WebUsers.ini.bak", "crm.sqlite3"})
    written.push_back(name);
  for (const auto& entry : std::filesystem::recursive_directory_iterator(host_.IniFolder() / "Logs"))
    if (entry.is_regular_file()) written.push_back(std::filesystem::relative(entry.path(), host_.IniFolder()).string());
  for (const auto& name : written) {
    struct stat status {};
    ASSERT_EQ(::stat((host_.IniFolder() / name).c_str(), &status), 0) << name;
    EXPECT_EQ(status.st_mode & 0077, 0u) << name << " is " << std::oct << (status.st_mode & 0777);
  }
}

TEST_F(WebGateway, ACorrectedContactShowsOnceTheCachedAnswerExpires) {
  StartWeb({"--crm-cache-seconds", "2"});
  WebClient anna(webPort_);
  ASSERT_TRUE(anna.LogIn("anna", "anna-secret"));
  ASSERT_EQ(anna.Post("/api/lines/103/login", nlohmann::json::object()).status, 200);
  ASSERT_EQ(anna.Post("/api/lines/103/status", {{"status", "ready"}}).status, 200);
  const auto contactOfCall = [&](const std::string& name) {
    ASSERT_EQ(host_.RunExchange("call 101 from 5550120").first, 0);
    long call = 0;
    ASSERT_TRUE(WaitUntil([&] {
      for (const auto& live : CallsAt(anna, "103"))
        if (live["state"] == "offering" && live["contact"] == name) call = live["id"].get<long>();
      return call != 0;
    })) << CallsAt(anna, "103").dump();
    const std::string at = "/api/lines/103/calls/" + std::to_string(call);
    ASSERT_EQ(anna.Post(at + "/answer", nlohmann::json::object()).status, 202);
    ASSERT_TRUE(WaitUntil([&] { return CallsAt(anna, "101").empty(); }));
    ASSERT_EQ(anna.Post(at + "/hangup", nlohmann::json::object()).status, 202);
    ASSERT_TRUE(WaitUntil([&] { return CallsAt(anna, "103").empty(); }));
  };
  contactOfCall("Erik Nordin");
  const auto lookedUp = std::chrono::steady_clock::now();
  {
    CrmFile crm(host_.IniFolder() / "crm.sqlite3");
    ASSERT_EQ(sqlite3_exec(crm.Handle(), "update tq_Contact set Name = 'Erik Nordin-Lund' where ID = 20", nullptr,
                           nullptr, nullptr),
              SQLITE_OK);
  }
  // Asked again once the answer is older than its lifetime.
  std::this_thread::sleep_until(lookedUp + 2500ms);
  ASSERT_TRUE(WaitUntil([&] { return anna.Get("/api/operators").Json()[0]["status"] == "ready"; }));
  contactOfCall("Erik Nordin-Lund");
}

TEST_F(WebGateway, HeadTellsTheLengthAndEveryAnswerIsDescribed) {
  const auto page = WebClient(webPort_).Get("/");
  const auto head = WebClient(webPort_).Request("HEAD", "/");
  EXPECT_EQ(head.status, 200);
  EXPECT_EQ(head.headers.at("content-length"), std::to_string(page.body.size()));
  EXPECT_TRUE(head.body.empty());

  const nlohmann::json description = WebClient(webPort_).Get("/api/openapi.json").Json();
  ASSERT_TRUE(description.is_object());
  const std::string problems = openapi_check::OpenApiProblems(description);
  EXPECT_EQ(problems, "");
  // Where the reference validator is installed, it has its say too.
  if (std::system("python3 -c 'import openapi_spec_validator' 2>/dev/null") == 0) {
    const auto file = host_.IniFolder() / "openapi.json";
    std::ofstream(file) << description.dump();
    const std::string command =
        "python3 -c 'import json,sys; from openapi_spec_validator import validate; "
        "validate(json.load(open(sys.argv[1])))' '" +
        file.string() + "'";
    EXPECT_EQ(std::system(command.c_str()), 0);
  }

  // Every answer the gateway gives here is among those documented for its operation, in the documented shape.
  WebClient anna(webPort_), super(webPort_), stranger(webPort_);
  std::vector<std::string> unchecked;
  const auto check = [&](WebClient& client, const std::string& method, const std::string& target,
                         const std::string& operation, const std::string& body = "{}",
                         std::map<std::string, std::string> headers = {{"Content-Type", "application/json"}}) {
    const auto answer = client.Request(method, target, body, headers);
    const std::string problem =
        openapi_check::AnswerProblem(description, operation, method, answer.status, answer.body);
    EXPECT_EQ(problem, "") << method << " " << target << " answered " << answer.status << " " << answer.body;
    return answer;
  };
  check(stranger, "GET", "/api/session", "/api/session");
  check(stranger, "POST", "/api/session", "/api/session", R"({"user":"anna","password":"nope"})");
  check(stranger, "POST", "/api/session", "/api/session", R"({"user":42})");
  check(anna, "POST", "/api/session", "/api/session", R"({"user":"anna","password":"anna-secret"})");
  check(super, "POST", "/api/session", "/api/session", R"({"user":"super","password":"super-secret"})");
  check(anna, "GET", "/api/session", "/api/session");
  for (const std::string path : {"/api/state", "/api/lines", "/api/operators", "/api/rules"}) {
    check(anna, "GET", path, path);
    check(stranger, "GET", path, path);
  }
  check(anna, "GET", "/api/lines/103", "/api/lines/{line}");
  check(anna, "GET", "/api/lines/999", "/api/lines/{line}");
  check(anna, "GET", "/api/lines/1x", "/api/lines/{line}");
  check(anna, "POST", "/api/lines/103/status", "/api/lines/{line}/status", R"({"status":"ready"})");
  check(anna, "POST", "/api/lines/103/login", "/api/lines/{line}/login");
  check(anna, "POST", "/api/lines/103/login", "/api/lines/{line}/login");
  check(anna, "POST", "/api/lines/104/login", "/api/lines/{line}/login");
  check(anna, "POST", "/api/lines/103/status", "/api/lines/{line}/status", R"({"status":"pause","reason":3})");
  check(anna, "POST", "/api/lines/103/status", "/api/lines/{line}/status", "status=ready",
        {{"Content-Type", "text/plain"}});
  check(anna, "POST", "/api/lines/103/status", "/api/lines/{line}/status", std::string(70 * 1024, ' '));
  check(anna, "POST", "/api/lines/103/dial", "/api/lines/{line}/dial", R"({"number":"104"})");
  long call = 0;
  ASSERT_TRUE(WaitUntil([&] {
    const auto calls = CallsAt(anna, "103");
    if (!calls.empty()) call = calls[0]["id"].get<long>();
    return call != 0;
  }));
  const std::string at = "/api/lines/103/calls/" + std::to_string(call);
  check(anna, "POST", at + "/hold", "/api/lines/{line}/calls/{call}/hold");
  check(anna, "POST", at + "/answer", "/api/lines/{line}/calls/{call}/answer");
  check(anna, "POST", at + "/transfer", "/api/lines/{line}/calls/{call}/transfer", R"({"number":"x"})");
  check(anna, "POST", at + "/hangup", "/api/lines/{line}/calls/{call}/hangup");
  check(anna, "POST", "/api/lines/103/calls/77/unhold", "/api/lines/{line}/calls/{call}/unhold");
  check(anna, "POST", "/api/lines/103/calls/77/consult", "/api/lines/{line}/calls/{call}/consult",
        R"({"number":"102"})");
  check(anna, "POST", "/api/lines/103/calls/77/complete", "/api/lines/{line}/calls/{call}/complete");
  ASSERT_TRUE(WaitUntil([&] { return CallsAt(anna, "103").empty(); }));
  check(anna, "GET", "/api/lines/103/history", "/api/lines/{line}/history");
  check(anna, "POST", "/api/lines/103/logout", "/api/lines/{line}/logout");
  check(anna, "POST", "/api/lines/103/logout", "/api/lines/{line}/logout");
  check(anna, "GET", "/metrics", "/metrics", "", {});
  check(anna, "GET", "/metrics", "/metrics", "", {{"Host", "rebind.example"}});
  check(anna, "DELETE", "/metrics", "/metrics", "", {});
  check(anna, "GET", "/api/session", "/api/session", "", {{"X-Filler", std::string(20 * 1024, 'x')}});
  check(anna, "DELETE", "/api/session", "/api/session", "", {});
  const auto events = WebClient(webPort_).Request("GET", "/api/events", "",
                                                  {{"Connection", "Upgrade"},
                                                   {"Upgrade", "websocket"},
                                                   {"Sec-WebSocket-Version", "13"},
                                                   {"Sec-WebSocket-Key", "dGhlIHNhbXBsZSBub25jZQ=="}});
  EXPECT_EQ(openapi_check::AnswerProblem(description, "/api/events", "GET", events.status, events.body), "");
  // While the server is away.
  ASSERT_TRUE(anna.LogIn("anna", "anna-secret"));
  host_.Kill();
  ASSERT_TRUE(WaitUntil([&] { return Metric("vantrel_server_up") == "0"; }, 15s));
  check(anna, "POST", "/api/lines/103/login", "/api/lines/{line}/login");
}

}  // namespace
