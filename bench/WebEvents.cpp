// Live events through the web gateway, run by hand: vantrel-host and vantrel-web as on a site, calls flowing
// through the exchange's control socket at a steady rate (an outside caller rings one of 100 stations, the phone
// picks up, the caller hangs up), and WebSocket clients listening as browsers do. In one run, A/B: one client,
// then many. Printed per phase: the delay from the call placed at the exchange to its offer reaching each
// client (p50/p99), the gateway's CPU (share of a core, and per call), the host's CPU per call, and clients the
// gateway let go.
//
//   vantrel_bench_web [SECONDS=20] [CLIENTS=100] [CALLS_PER_SECOND=100]
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <deque>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/Measures.h"
#include "tests/EventsClient.h"
#include "tests/HostProcess.h"
#include "tests/SpawnedProgram.h"
#include "tests/WebClient.h"

using Clock = std::chrono::steady_clock;
using vantrel::bench::Percentile;
using vantrel::bench::ProcessCpuSeconds;

namespace {

constexpr int kStations = 100;

long long NowMicroseconds() {
  return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch()).count();
}

// The exchange's control socket: one command, one reply line.
class ExchangeSocket {
 public:
  explicit ExchangeSocket(const std::filesystem::path& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    fd_ = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) fd_ = -1;
  }
  ~ExchangeSocket() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool Open() const { return fd_ >= 0; }
  std::string Send(const std::string& command) {
    const std::string line = command + "\n";
    if (::send(fd_, line.data(), line.size(), MSG_NOSIGNAL) < 0) return "ERROR lost";
    for (;;) {
      const auto end = pending_.find('\n');
      if (end != std::string::npos) {
        std::string reply = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        return reply;
      }
      char buffer[512];
      const ssize_t got = ::recv(fd_, buffer, sizeof buffer, 0);
      if (got <= 0) return "ERROR lost";
      pending_.append(buffer, static_cast<std::size_t>(got));
    }
  }

 private:
  int fd_ = -1;
  std::string pending_;
};

struct PhaseFigures {
  int clients = 0;
  int calls = 0;
  std::vector<double> delaysMs;
  double webCpuSeconds = 0, hostCpuSeconds = 0, seconds = 0;
  int clientsLost = 0;
  std::size_t eventsPerClient = 0;
};

// Each phase's callers have numbers of their own, so neither finds the other's CRM look-ups done.
PhaseFigures RunPhase(HostProcess& host, SpawnedProgram& web, int webPort, const std::string& cookie, int clients,
                      double seconds, double rate, int firstNumber) {
  PhaseFigures figures;
  figures.clients = clients;
  std::vector<std::unique_ptr<EventsClient>> listeners;
  for (int i = 0; i < clients; ++i) listeners.push_back(std::make_unique<EventsClient>(webPort, cookie));
  for (auto& listener : listeners)
    listener->WaitFor([](const auto&, const auto& state) { return state.contains("lines"); });
  ExchangeSocket exchange(host.IniFolder() / "exchange.sock");
  if (!exchange.Open()) {
    std::fprintf(stderr, "no exchange socket\n");
    return figures;
  }
  // When each station was rung, in order: its offers on the sockets come in the same order.
  std::map<std::string, std::vector<long long>> rungAt;
  struct Action {
    std::string command;
    std::string station;
    bool call = false;
  };
  std::multimap<Clock::time_point, Action> plan;
  const auto start = Clock::now();
  const int calls = static_cast<int>(seconds * rate);
  for (int i = 0; i < calls; ++i) {
    const auto at = start + std::chrono::microseconds(static_cast<long long>(i * 1e6 / rate));
    const std::string station = std::to_string(1000 + i % kStations);
    plan.emplace(at, Action{"call " + station + " from " + std::to_string(firstNumber + i), station, true});
    plan.emplace(at + std::chrono::milliseconds(200), Action{"pickup " + station, station});
    plan.emplace(at + std::chrono::milliseconds(400), Action{"drop " + station, station});
  }
  const double webBefore = ProcessCpuSeconds(std::to_string(web.Pid()));
  const double hostBefore = ProcessCpuSeconds(std::to_string(host.Pid()));
  for (const auto& [at, action] : plan) {
    std::this_thread::sleep_until(at);
    if (action.call) rungAt[action.station].push_back(NowMicroseconds());
    const std::string reply = exchange.Send(action.command);
    if (reply.rfind("OK", 0) != 0) std::fprintf(stderr, "%s: %s\n", action.command.c_str(), reply.c_str());
  }
  figures.calls = calls;
  figures.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  // Everything placed has been offered when every client has seen the last station's last offer.
  for (auto& listener : listeners) {
    listener->WaitFor(
        [&](const auto& events, const auto&) {
          std::size_t offers = 0;
          for (const auto& event : events) offers += event["event"] == "Offering";
          return offers >= static_cast<std::size_t>(calls);
        },
        std::chrono::seconds(10));
  }
  figures.webCpuSeconds = ProcessCpuSeconds(std::to_string(web.Pid())) - webBefore;
  figures.hostCpuSeconds = ProcessCpuSeconds(std::to_string(host.Pid())) - hostBefore;
  for (auto& listener : listeners) {
    figures.clientsLost += listener->Closed() ? 1 : 0;
    std::map<std::string, std::size_t> offersSeen;
    const auto events = listener->Events();
    figures.eventsPerClient = std::max(figures.eventsPerClient, events.size());
    for (const auto& event : events) {
      if (event["event"] != "Offering") continue;
      const std::string line = event["line"];
      const std::size_t index = offersSeen[line]++;
      const auto rung = rungAt.find(line);
      if (rung == rungAt.end() || index >= rung->second.size()) continue;
      figures.delaysMs.push_back(static_cast<double>(event["arrived"].get<long long>() - rung->second[index]) / 1000.0);
    }
  }
  return figures;
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 20;
  const int clients = argc > 2 ? std::atoi(argv[2]) : 100;
  const double rate = argc > 3 ? std::atof(argv[3]) : 100;
  HostProcess host;
  {
    std::ofstream(host.IniFolder() / "Settings.ini")
        << "[Server]\nType=Distributed\n[Connection]\nCryptConnectionString=0\n"
           "ConnectionString=Provider=SQLite;Data Source=crm.sqlite3\n";
    std::ofstream exchange(host.IniFolder() / "Exchange.ini");
    exchange << "[Exchange]\nTrunks=400\n[Stations]\n";
    for (int i = 0; i < kStations; ++i) exchange << 1000 + i << "=Desk " << 1000 + i << "\n";
  }
  const std::string setup = std::string(VANTREL_CRM_PATH) + " --connection 'Provider=SQLite;Data Source=crm.sqlite3'" +
                            " --base '" + host.IniFolder().string() + "' > /dev/null && echo bench-password | " +
                            VANTREL_WEB_PATH + " --ini '" + host.IniFolder().string() +
                            "' --add-user bench --role supervisor > /dev/null";
  if (std::system(setup.c_str()) != 0 || !host.Start()) {
    std::fprintf(stderr, "the host did not start: %s\n", host.ErrorOutput().c_str());
    return 1;
  }
  const int webPort = FreeLoopbackPort();
  SpawnedProgram web({VANTREL_WEB_PATH, "--port", std::to_string(host.Port()), "--web-port", std::to_string(webPort),
                      "--ini", host.IniFolder().string()});
  WebClient login(webPort);
  if (!web.WaitForOutput("serving http://") ||
      !WaitUntil([&] { return login.LogIn("bench", "bench-password"); }, std::chrono::seconds(10))) {
    std::fprintf(stderr, "the gateway did not start: %s\n", web.Output().c_str());
    return 1;
  }
  std::printf("Live events through vantrel-web: %d calls/s for %.0f s per phase, %d stations\n\n",
              static_cast<int>(rate), seconds, kStations);
  std::printf("%8s %7s %9s %10s %10s %11s %12s %12s %7s\n", "clients", "calls", "events", "delay p50", "delay p99",
              "web CPU", "web ms/call", "host ms/call", "lost");
  // A few seconds first, not counted: the host's first calls (its CRM connection, its caches) would otherwise
  // land in the first phase only.
  RunPhase(host, web, webPort, login.Cookie(), 1, 3, rate, 6000000);
  std::vector<PhaseFigures> phases;
  for (const int count : {1, clients}) {
    const PhaseFigures figures = RunPhase(host, web, webPort, login.Cookie(), count, seconds, rate,
                                          7000000 + 1000000 * static_cast<int>(phases.size()));
    phases.push_back(figures);
    std::printf("%8d %7d %9zu %8.1f ms %8.1f ms %9.1f %% %12.3f %12.3f %7d\n", figures.clients, figures.calls,
                figures.eventsPerClient, Percentile(figures.delaysMs, 0.5), Percentile(figures.delaysMs, 0.99),
                100.0 * figures.webCpuSeconds / figures.seconds, 1000.0 * figures.webCpuSeconds / figures.calls,
                1000.0 * figures.hostCpuSeconds / figures.calls, figures.clientsLost);
    std::fflush(stdout);
  }
  if (phases.size() == 2 && phases[0].webCpuSeconds > 0) {
    std::printf("\n%d clients / 1 client: gateway CPU x%.2f, delay p50 x%.2f\n", clients,
                phases[1].webCpuSeconds / phases[0].webCpuSeconds,
                Percentile(phases[1].delaysMs, 0.5) / std::max(0.001, Percentile(phases[0].delaysMs, 0.5)));
  }
  return 0;
}
