// Remote figures, run by hand: vantrel-host started with 100, 1000 and 10 000 lines on loopback (start-up time,
// the host's CPU and memory), then measured from this process over IIOP, A/B alternated in rounds: a line's call
// state against a bare two-way call to the same line (a servant that reads a flag), the Lines container's records of
// 100 lines against a bare server that returns the same 100 records (this program in its "--floor" role), and how fast
// an exchange event reaches a client's listener.
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Vantrel.hh"
#include "bench/Measures.h"
#include "lines/LinesLib.h"
#include "tests/SilentPeer.h"

using Clock = std::chrono::steady_clock;

namespace {

double MedianMicroseconds(int rounds, const std::function<void()>& call) {
  std::vector<double> times;
  for (int i = 0; i < rounds; ++i) {
    const auto start = Clock::now();
    call();
    times.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

struct StartedHost {
  pid_t pid = -1;
  std::filesystem::path folder;
  double startupSeconds = 0;
  double cpuSeconds = 0;
  long residentKb = 0;
};

// A host with this many lines on loopback, timed from the fork until its Lines container lists them all.
StartedHost StartHost(CORBA::ORB_ptr orb, int lineCount, const std::string& port) {
  StartedHost host;
  host.folder = std::filesystem::temp_directory_path() / ("vantrel-bench-remote-" + std::to_string(lineCount));
  std::filesystem::remove_all(host.folder);
  std::filesystem::create_directories(host.folder);
  {
    std::ofstream exchange(host.folder / "Exchange.ini");
    exchange << "[Exchange]\nTrunks=10\n[Stations]\n";
    for (int i = 0; i < lineCount; ++i) exchange << 50000 + i << "=Line " << 50000 + i << "\n";
  }
  std::fflush(stdout);  // the child would print what is still buffered again
  const auto started = Clock::now();
  host.pid = ::fork();
  if (host.pid == 0) {
    ::freopen("/dev/null", "w", stdout);
    ::execl(VANTREL_HOST_PATH, VANTREL_HOST_PATH, "--address", "127.0.0.1", "--port", port.c_str(), "--ini",
            host.folder.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  const std::string corbaloc = "corbaloc::127.0.0.1:" + port + "/EnvironmentInstance";
  for (int attempt = 0; attempt < 1000; ++attempt) {
    try {
      ::Environment_var environment =
          ::Environment::_narrow(CORBA::Object_var(orb->string_to_object(corbaloc.c_str())));
      if (::Lines_var(environment->GetLines())->GetItemsCount() == lineCount) break;
    } catch (const CORBA::Exception&) {
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  host.startupSeconds = std::chrono::duration<double>(Clock::now() - started).count();
  host.cpuSeconds = vantrel::bench::ProcessCpuSeconds(std::to_string(host.pid));
  std::ifstream status("/proc/" + std::to_string(host.pid) + "/status");
  for (std::string key; status >> key;) {
    if (key == "VmRSS:") status >> host.residentKb;
  }
  return host;
}

void StopHost(const StartedHost& host) {
  ::kill(host.pid, SIGTERM);
  ::waitpid(host.pid, nullptr, 0);
  std::filesystem::remove_all(host.folder);
}

// The time each kind of event last reached this client.
class TimedEvents : public POA_LineEvents {
 public:
  void DoCallEvent(::CallEventType type, CORBA::Long) override {
    std::lock_guard lock(mutex_);
    arrived_[type] = Clock::now();
    changed_.notify_all();
  }
  // When the event came, if it came after the moment given, within a few seconds.
  std::optional<Clock::time_point> WaitFor(::CallEventType type, Clock::time_point after) {
    std::unique_lock lock(mutex_);
    const bool came = changed_.wait_for(lock, std::chrono::seconds(5), [&] {
      const auto found = arrived_.find(type);
      return found != arrived_.end() && found->second >= after;
    });
    if (!came) return std::nullopt;
    return arrived_[type];
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<::CallEventType, Clock::time_point> arrived_;
};

// A Rules listener that answers at once.
class AnsweringContainerEvents : public POA_ContainerEvents {
 public:
  void DoItemAdd(CORBA::Long) override {}
  void DoItemDelete(CORBA::Long) override {}
  void DoItemChange(CORBA::Long) override {}
};

// One command on the exchange's control socket; its reply line.
std::string ExchangeCommand(int control, const std::string& command) {
  const std::string line = command + "\n";
  if (::send(control, line.data(), line.size(), MSG_NOSIGNAL) < 0) return {};
  std::string reply;
  for (char c; ::recv(control, &c, 1, 0) == 1 && c != '\n';) reply += c;
  return reply;
}

// From a command to the exchange until the client's listener holds the event it causes: an outside call
// offered to each line in turn, then hung up by the caller. Then the same A/B against a silent client: B gives
// the silent client an event of its own (an error report on the Environment it listens to) before each call, so
// the server always has a send to it under way while the healthy client's events are timed; and a remote
// operation whose event goes to the silent client (a rule added and deleted, the Rules container's listener
// silent) against the same with a listener that answers.
void MeasureEventLatency(CORBA::ORB_ptr orb, ::Lines_ptr lines, const std::filesystem::path& folder) {
  PortableServer::POA_var poa =
      PortableServer::POA::_narrow(CORBA::Object_var(orb->resolve_initial_references("RootPOA")));
  PortableServer::POAManager_var(poa->the_POAManager())->activate();
  std::vector<TimedEvents*> listeners;
  for (CORBA::Long i = 0; i < lines->GetItemsCount(); ++i) {
    auto* events = new TimedEvents();
    PortableServer::ObjectId_var id = poa->activate_object(events);
    ::Line_var line = ::Line::_narrow(::ContainerItem_var(lines->GetItem(i)));
    line->SetLineEventsListener(::LineEvents_var(::LineEvents::_narrow(CORBA::Object_var(poa->id_to_reference(id)))));
    line->ChangeLineEventLastContact();
    listeners.push_back(events);
  }
  const int control = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", (folder / "exchange.sock").c_str());
  if (::connect(control, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    std::printf("event latency: no exchange control socket\n");
    return;
  }
  std::vector<double> offered;
  std::vector<double> disconnected;
  for (std::size_t i = 0; i < listeners.size(); ++i) {
    auto start = Clock::now();
    const std::string reply = ExchangeCommand(control, "call " + std::to_string(50000 + i) + " from 5551234");
    if (const auto at = listeners[i]->WaitFor(::Offering, start)) {
      offered.push_back(std::chrono::duration<double, std::micro>(*at - start).count());
    }
    start = Clock::now();
    ExchangeCommand(control, "hangup " + (reply.size() > 3 ? reply.substr(3) : std::string()));
    if (const auto at = listeners[i]->WaitFor(::Disconnected, start)) {
      disconnected.push_back(std::chrono::duration<double, std::micro>(*at - start).count());
    }
  }
  ::close(control);
  for (auto* times : {&offered, &disconnected}) std::sort(times->begin(), times->end());
  const auto median = [](const std::vector<double>& times) { return times.empty() ? 0.0 : times[times.size() / 2]; };
  std::printf("event latency, outside call -> listener's Offering: median %7.1f us (%zu calls)\n", median(offered),
              offered.size());
  std::printf("event latency, caller hangs up -> Disconnected:     median %7.1f us (%zu calls)\n", median(disconnected),
              disconnected.size());

  ::Environment_var environment = lines->GetEnvironment();
  ::Rules_var rules = environment->GetRules();
  SilentPeer silent;
  CORBA::Object_var silentListener = orb->string_to_object(silent.Corbaloc().c_str());
  auto* healthyRules = new AnsweringContainerEvents();
  PortableServer::ObjectId_var healthyId = poa->activate_object(healthyRules);
  ::ContainerEvents_var healthyReference =
      ::ContainerEvents::_narrow(CORBA::Object_var(poa->id_to_reference(healthyId)));
  std::vector<double> alone, besideSilent, ruleHealthy, ruleSilent;
  const int control2fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ::connect(control2fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  const auto timeOffer = [&](std::size_t i, std::vector<double>& times) {
    const auto start = Clock::now();
    const std::string reply = ExchangeCommand(control2fd, "call " + std::to_string(50000 + i) + " from 5551234");
    if (const auto at = listeners[i]->WaitFor(::Offering, start)) {
      times.push_back(std::chrono::duration<double, std::micro>(*at - start).count());
    }
    ExchangeCommand(control2fd, "hangup " + (reply.size() > 3 ? reply.substr(3) : std::string()));
    listeners[i]->WaitFor(::Disconnected, start);
  };
  const auto timeRule = [&](std::vector<double>& times) {
    const auto start = Clock::now();
    ::ContainerItem_var rule = rules->CreateItem(true);
    rules->DeleteItem(rule);
    times.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  };
  for (int round = 0; round < 3; ++round) {
    for (std::size_t i = 0; i < listeners.size(); ++i) {
      environment->SetBaseEventsListener(::BaseEvents::_nil());
      timeOffer(i, alone);
      // A listener set anew after a drop is heard again: the silent client always has a send under way.
      environment->SetBaseEventsListener(::BaseEvents::_unchecked_narrow(silentListener));
      environment->DoError("Bench.Silent", "an event for a client that never answers");
      timeOffer(i, besideSilent);
      rules->SetContainerEventsListener(healthyReference);
      timeRule(ruleHealthy);
      rules->SetContainerEventsListener(::ContainerEvents::_unchecked_narrow(silentListener));
      timeRule(ruleSilent);
    }
  }
  environment->SetBaseEventsListener(::BaseEvents::_nil());
  rules->SetContainerEventsListener(::ContainerEvents::_nil());
  ::close(control2fd);
  for (auto* times : {&alone, &besideSilent, &ruleHealthy, &ruleSilent}) std::sort(times->begin(), times->end());
  std::printf("event latency, A: healthy client alone                 median %7.1f us p99 %7.1f us (%zu calls)\n",
              median(alone), alone.empty() ? 0.0 : alone[alone.size() * 99 / 100], alone.size());
  std::printf("event latency, B: beside a client that never answers  median %7.1f us p99 %7.1f us (%zu calls)\n",
              median(besideSilent), besideSilent.empty() ? 0.0 : besideSilent[besideSilent.size() * 99 / 100],
              besideSilent.size());
  std::printf("  B/A %.2f\n", median(besideSilent) / median(alone));
  std::printf("rule added and deleted, A: Rules listener answers       median %7.1f us p99 %7.1f us\n",
              median(ruleHealthy), ruleHealthy[ruleHealthy.size() * 99 / 100]);
  std::printf("rule added and deleted, B: Rules listener never answers median %7.1f us p99 %7.1f us\n",
              median(ruleSilent), ruleSilent[ruleSilent.size() * 99 / 100]);
  std::printf("  B/A %.2f\n", median(ruleSilent) / median(ruleHealthy));
  poa->deactivate_object(healthyId);
  healthyRules->_remove_ref();

  for (CORBA::Long i = 0; i < lines->GetItemsCount(); ++i) {
    ::Line_var(::Line::_narrow(::ContainerItem_var(lines->GetItem(i))))->SetLineEventsListener(::LineEvents::_nil());
  }
  for (auto* events : listeners) events->_remove_ref();
}

// The bare server: the same 100 records, returned by a servant that does nothing else.
class TFloorLines : public vantrel::TLines_Impl {
 public:
  explicit TFloorLines(const ::LineItemSeq& records) : records_(records) {}
  ::LineItemSeq* GetItemsArray() override { return new ::LineItemSeq(records_); }

 private:
  const ::LineItemSeq records_;
};

int ServeFloor(const char* linesReference) {
  const char* options[][2] = {{"endPoint", "giop:tcp:127.0.0.1:"}, {nullptr, nullptr}};
  int argc = 0;
  CORBA::ORB_var orb = CORBA::ORB_init(argc, nullptr, "omniORB4", options);
  PortableServer::POA_var poa =
      PortableServer::POA::_narrow(CORBA::Object_var(orb->resolve_initial_references("RootPOA")));
  ::Lines_var lines = ::Lines::_narrow(CORBA::Object_var(orb->string_to_object(linesReference)));
  ::LineItemSeq_var records = lines->GetItemsArray();
  auto* floor = new TFloorLines(records.in());
  PortableServer::ObjectId_var id = poa->activate_object(floor);
  floor->_remove_ref();
  PortableServer::POAManager_var(poa->the_POAManager())->activate();
  CORBA::String_var reference = orb->object_to_string(CORBA::Object_var(poa->id_to_reference(id)));
  std::printf("%s\n", reference.in());
  std::fflush(stdout);
  orb->run();
  return 0;
}

// Medians of A and B over rounds, each round the median of its calls, A and B called in turn call by call: the
// ORB's own state (it moves between a fast and a slow mode now and then) is the same for both.
struct TAB {
  std::vector<double> a, b;
  void Run(int rounds, int calls, const std::function<void()>& callA, const std::function<void()>& callB) {
    for (int round = 0; round < rounds; ++round) {
      std::vector<double> roundA, roundB;
      for (int call = 0; call < calls; ++call) {
        roundA.push_back(MedianMicroseconds(1, callA));
        roundB.push_back(MedianMicroseconds(1, callB));
      }
      std::sort(roundA.begin(), roundA.end());
      std::sort(roundB.begin(), roundB.end());
      a.push_back(Median(roundA));
      b.push_back(Median(roundB));
    }
    std::sort(a.begin(), a.end());
    std::sort(b.begin(), b.end());
  }
  static double Median(const std::vector<double>& v) { return v[v.size() / 2]; }
  void Print(const char* nameA, const char* nameB) const {
    std::printf("  A %-34s median %7.1f us (%.1f-%.1f)\n", nameA, Median(a), a.front(), a.back());
    std::printf("  B %-34s median %7.1f us (%.1f-%.1f)\n", nameB, Median(b), b.front(), b.back());
    std::printf("  B/A %.2f (round by round: %.2f-%.2f)\n", Median(b) / Median(a), b.front() / a.back(),
                b.back() / a.front());
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--floor") return ServeFloor(argv[2]);
  int noArguments = 0;
  CORBA::ORB_var orb = CORBA::ORB_init(noArguments, nullptr);
  const std::string port = "23999";
  std::map<int, std::vector<StartedHost>> starts;
  for (int round = 0; round < 3; ++round) {
    for (int lineCount : {100, 1000, 10000}) {
      const StartedHost host = StartHost(orb, lineCount, port);
      starts[lineCount].push_back(host);
      StopHost(host);
    }
  }
  for (auto& [lineCount, hosts] : starts) {
    std::sort(hosts.begin(), hosts.end(), [](const auto& x, const auto& y) { return x.cpuSeconds < y.cpuSeconds; });
    const StartedHost& median = hosts[hosts.size() / 2];
    std::printf(
        "start-up with %5d lines: %.2f s, host CPU %.2f s (%.2f-%.2f, %.0f us a line), resident memory %ld kB\n",
        lineCount, median.startupSeconds, median.cpuSeconds, hosts.front().cpuSeconds, hosts.back().cpuSeconds,
        median.cpuSeconds / lineCount * 1e6, median.residentKb);
  }
  const StartedHost host = StartHost(orb, 100, port);
  const std::string corbaloc = "corbaloc::127.0.0.1:" + port + "/EnvironmentInstance";
  ::Environment_var environment = ::Environment::_narrow(CORBA::Object_var(orb->string_to_object(corbaloc.c_str())));
  ::Lines_var lines = environment->GetLines();
  ::Line_var line = ::Line::_narrow(::ContainerItem_var(lines->GetItem(0)));

  // The floor: a two-way call to the same line whose servant only reads a flag.
  std::printf("Line.GetCallState against a bare two-way call to the same line, 10 rounds of 500 calls:\n");
  TAB state;
  state.Run(
      10, 500, [&] { line->GetIsOuter(); }, [&] { line->GetCallState(0); });
  state.Print("Line.GetIsOuter", "Line.GetCallState");

  // The bare server, in a process of its own like the host.
  int pipeEnds[2];
  if (::pipe(pipeEnds) != 0) return 1;
  CORBA::String_var linesReference = orb->object_to_string(lines);
  std::fflush(stdout);
  const pid_t floorPid = ::fork();
  if (floorPid == 0) {
    ::dup2(pipeEnds[1], STDOUT_FILENO);
    ::execl("/proc/self/exe", "vantrel_bench_remote", "--floor", linesReference.in(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(pipeEnds[1]);
  std::string floorReference;
  for (char c; ::read(pipeEnds[0], &c, 1) == 1 && c != '\n';) floorReference += c;
  ::Lines_var floor = ::Lines::_narrow(CORBA::Object_var(orb->string_to_object(floorReference.c_str())));
  std::printf("Lines.GetItemsArray of 100 lines against a bare server returning the same records, 10 rounds of 100:\n");
  TAB array;
  array.Run(
      10, 100, [&] { ::LineItemSeq_var items = floor->GetItemsArray(); },
      [&] { ::LineItemSeq_var items = lines->GetItemsArray(); });
  array.Print("bare server", "Lines.GetItemsArray");
  ::kill(floorPid, SIGTERM);
  ::waitpid(floorPid, nullptr, 0);

  MeasureEventLatency(orb, lines, host.folder);
  StopHost(host);
  orb->destroy();
  return 0;
}
