// Remote figures, run by hand: vantrel-host started with 10, 1000 and 100 lines on loopback (start-up time and
// memory), then measured from this process over IIOP: call latency against the ORB's own round trip
// (_non_existent, no servant code), and how fast an exchange event reaches a client's listener.
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
#include <string>
#include <thread>
#include <vector>

#include "Vantrel.hh"

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
    for (int i = 0; i < lineCount; ++i) exchange << 5000 + i << "=Line " << 5000 + i << "\n";
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

// One command on the exchange's control socket; its reply line.
std::string ExchangeCommand(int control, const std::string& command) {
  const std::string line = command + "\n";
  if (::send(control, line.data(), line.size(), MSG_NOSIGNAL) < 0) return {};
  std::string reply;
  for (char c; ::recv(control, &c, 1, 0) == 1 && c != '\n';) reply += c;
  return reply;
}

// From a command to the exchange until the client's listener holds the event it causes: an outside call
// offered to each line in turn, then hung up by the caller.
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
    const std::string reply = ExchangeCommand(control, "call " + std::to_string(5000 + i) + " from 5551234");
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
  for (CORBA::Long i = 0; i < lines->GetItemsCount(); ++i) {
    ::Line_var(::Line::_narrow(::ContainerItem_var(lines->GetItem(i))))->SetLineEventsListener(::LineEvents::_nil());
  }
  for (auto* events : listeners) events->_remove_ref();
}

}  // namespace

int main() {
  int argc = 0;
  CORBA::ORB_var orb = CORBA::ORB_init(argc, nullptr);
  const std::string port = "23999";
  for (int lineCount : {10, 1000}) {
    const StartedHost host = StartHost(orb, lineCount, port);
    std::printf("start-up with %4d lines: %.2f s, resident memory %ld kB\n", lineCount, host.startupSeconds,
                host.residentKb);
    StopHost(host);
  }
  const StartedHost host = StartHost(orb, 100, port);
  std::printf("start-up with  100 lines: %.2f s, resident memory %ld kB\n", host.startupSeconds, host.residentKb);
  const std::string corbaloc = "corbaloc::127.0.0.1:" + port + "/EnvironmentInstance";
  ::Environment_var environment = ::Environment::_narrow(CORBA::Object_var(orb->string_to_object(corbaloc.c_str())));
  ::Lines_var lines = environment->GetLines();
  ::Line_var line = ::Line::_narrow(::ContainerItem_var(lines->GetItem(0)));
  const double ping = MedianMicroseconds(2000, [&] { environment->_non_existent(); });
  const double state = MedianMicroseconds(2000, [&] { line->GetCallState(0); });
  const double array = MedianMicroseconds(200, [&] { ::LineItemSeq_var items = lines->GetItemsArray(); });
  std::printf("ORB round trip (_non_existent):       median %7.1f us\n", ping);
  std::printf("Line.GetCallState:                    median %7.1f us (%.1fx)\n", state, state / ping);
  std::printf("Lines.GetItemsArray (100 lines):      median %7.1f us (%.1fx)\n", array, array / ping);
  MeasureEventLatency(orb, lines, host.folder);
  StopHost(host);
  orb->destroy();
  return 0;
}
