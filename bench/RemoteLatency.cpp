// Remote call latency, run by hand: a vantrel-host with 100 lines on loopback, measured from this process over
// IIOP. The ORB's own round trip (_non_existent, no servant code) is the baseline for the server's calls.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
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

}  // namespace

int main() {
  const auto folder = std::filesystem::temp_directory_path() / "vantrel-bench-remote";
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  {
    std::ofstream exchange(folder / "Exchange.ini");
    exchange << "[Exchange]\nTrunks=10\n[Stations]\n";
    for (int i = 0; i < 100; ++i) exchange << 5000 + i << "=Line " << 5000 + i << "\n";
  }
  const std::string port = "23999";
  const auto started = Clock::now();
  const pid_t host = ::fork();
  if (host == 0) {
    ::freopen("/dev/null", "w", stdout);
    ::execl(VANTREL_HOST_PATH, VANTREL_HOST_PATH, "--address", "127.0.0.1", "--port", port.c_str(), "--ini",
            folder.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  int argc = 0;
  CORBA::ORB_var orb = CORBA::ORB_init(argc, nullptr);
  const std::string corbaloc = "corbaloc::127.0.0.1:" + port + "/EnvironmentInstance";
  ::Environment_var environment;
  ::Lines_var lines;
  for (int attempt = 0; attempt < 200; ++attempt) {
    try {
      environment = ::Environment::_narrow(CORBA::Object_var(orb->string_to_object(corbaloc.c_str())));
      lines = environment->GetLines();
      if (lines->GetItemsCount() == 100) break;
    } catch (const CORBA::Exception&) {
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  const double startup = std::chrono::duration<double>(Clock::now() - started).count();
  ::Line_var line = ::Line::_narrow(::ContainerItem_var(lines->GetItem(0)));
  const double ping = MedianMicroseconds(2000, [&] { environment->_non_existent(); });
  const double state = MedianMicroseconds(2000, [&] { line->GetCallState(0); });
  const double array = MedianMicroseconds(200, [&] { ::LineItemSeq_var items = lines->GetItemsArray(); });
  long rss = 0;
  {
    std::ifstream status("/proc/" + std::to_string(host) + "/status");
    for (std::string key; status >> key;) {
      if (key == "VmRSS:") status >> rss;
    }
  }
  std::printf("start-up with 100 lines: %.2f s, resident memory %ld kB\n", startup, rss);
  std::printf("ORB round trip (_non_existent):       median %7.1f us\n", ping);
  std::printf("Line.GetCallState:                    median %7.1f us (%.1fx)\n", state, state / ping);
  std::printf("Lines.GetItemsArray (100 lines):      median %7.1f us (%.1fx)\n", array, array / ping);
  ::kill(host, SIGTERM);
  ::waitpid(host, nullptr, 0);
  orb->destroy();
  std::filesystem::remove_all(folder);
  return 0;
}
