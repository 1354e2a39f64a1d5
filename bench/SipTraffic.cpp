// Routed SIP calls, run by hand: vantrel-host with its SIP port, 100 trunk lines (4000-4099) routed by a rule
// to station 7000, whose phone is SIPp registered with digest and answering everything; SIPp on the trunk as the
// callers. Two phases:
//   rate   - callers at a steady rate for SECONDS, each talking 2 s once the operator's phone answered (about
//            400 calls at once at 200/s): calls/s completed, failed calls, host CPU per call.
//   media  - 500 calls at once, every one with 50 packets a second both ways through the relay (the bench sends
//            the callers' media and, as the phone's media end, echoes what reaches the phone), in a window that
//            opens once the host has all 500 callers connected and closes before the first hangs up: packets
//            sent, reaching the phone and coming back, the kernel's drops (closed ports, full buffers), host CPU. A/B
//            in the run: the phone speaking the callers' law (µ-law), then A-law, so that the relay rewrites every
//            packet.
//   record - CALLS calls at once with media both ways as above, the operators' line not recorded, then recorded
//            (Lines.ini Record=1: every call mixed and written to a WAV file): host CPU of each, their ratio, disk
//            bytes per second.
//   vantrel_bench_sip [SECONDS=60] [RATES=100,200,300] [TRANSPORTS=udp,tcp]   (SIPp's and the trunk's)
//   vantrel_bench_sip record [CALLS=200]
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/Measures.h"
#include "tests/HostProcess.h"
#include "tests/SpawnedProgram.h"

using Clock = std::chrono::steady_clock;
using vantrel::bench::ProcessCpuSeconds;
using vantrel::bench::ThreadCpuSeconds;

namespace {

constexpr int kLines = 100;
constexpr const char* kSipp = "/usr/bin/sipp";

std::string Scenario(const std::string& name) { return std::string(VANTREL_SOURCE_DIR) + "/tests/sip/" + name; }

std::string ReadAll(const std::filesystem::path& path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

// The calls SIPp counted as done and as failed, from its last statistics screen.
std::pair<long, long> SippCalls(const std::string& output) {
  const auto count = [&](const std::string& label) {
    const auto at = output.rfind(label);
    if (at == std::string::npos) return -1L;
    const auto bar = output.find('|', output.find('|', at) + 1);
    return std::atol(output.c_str() + bar + 1);
  };
  return {count("Successful call"), count("Failed call")};
}

// The kernel's UDP drop counters (/proc/net/snmp): datagrams to ports nobody holds, and those a full receive
// buffer refused. Machine-wide: other programs' drops count too.
struct TUdpCounters {
  long noPorts = 0;
  long bufferErrors = 0;
};

TUdpCounters UdpCounters() {
  std::ifstream snmp("/proc/net/snmp");
  std::vector<std::string> names, values;
  for (std::string line; std::getline(snmp, line);) {
    if (line.rfind("Udp: ", 0) != 0) continue;
    std::istringstream words(line.substr(5));
    std::vector<std::string>& into = names.empty() ? names : values;
    for (std::string word; words >> word;) into.push_back(word);
    if (!values.empty()) break;
  }
  TUdpCounters counters;
  for (std::size_t i = 0; i < names.size() && i < values.size(); ++i) {
    if (names[i] == "NoPorts") counters.noPorts = std::atol(values[i].c_str());
    if (names[i] == "RcvbufErrors") counters.bufferErrors = std::atol(values[i].c_str());
  }
  return counters;
}

// A UDP socket on a loopback port of its own with room for bursts; its port in *port.
int LoopbackSocket(int* port) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
  socklen_t size = sizeof local;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size);
  const int buffer = 8 << 20;
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
  *port = ntohs(local.sin_port);
  return fd;
}

class SipBench {
 public:
  ~SipBench() {
    stop_ = true;
    if (echo_.joinable()) echo_.join();
    ::close(echoSocket_);
  }

  explicit SipBench(int phoneLaw = 0, bool tcp = false, bool record = false) : phoneLaw_(phoneLaw), tcp_(tcp) {
    // The phone's media end: sends back what reaches it, to where it came from.
    echoSocket_ = LoopbackSocket(&echoPort_);
    echo_ = std::thread([this] {
      char packet[2048];
      while (!stop_) {
        pollfd ready{echoSocket_, POLLIN, 0};
        if (::poll(&ready, 1, 20) <= 0) continue;
        sockaddr_in from{};
        socklen_t fromSize = sizeof from;
        const ssize_t size =
            ::recvfrom(echoSocket_, packet, sizeof packet, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &fromSize);
        if (size <= 0) continue;
        ++echoed_;
        ::sendto(echoSocket_, packet, static_cast<std::size_t>(size), 0, reinterpret_cast<sockaddr*>(&from), fromSize);
      }
    });
    sipPort_ = FreeLoopbackPort();
    trunkPort_ = FreeLoopbackPort();
    phonePort_ = FreeLoopbackPort();
    std::string stations = "[Exchange]\nTrunks=4000\n[Stations]\n";
    std::string lines = "[Lines_Items]\nCount=" + std::to_string(kLines + (record ? 1 : 0)) +
                        "\nItemID=" + std::to_string(kLines) + "\n";
    std::string numbers = "SEQUENTIAL\n";
    for (int i = 0; i < kLines; ++i) {
      stations += std::to_string(4000 + i) + "=Trunk " + std::to_string(4000 + i) + "\n";
      lines += "[Lines_" + std::to_string(i) + "]\nID=" + std::to_string(i) + "\nOrder=" + std::to_string(i) +
               "\nName=Trunk " + std::to_string(4000 + i) + "\nEnabled=1\nRuleID=1\nIsOuter=1\nUsingDND=0\n";
      numbers += std::to_string(4000 + i) + "\n";
    }
    // The operators' line (device kLines) records its calls.
    if (record)
      lines += "[Lines_" + std::to_string(kLines) + "]\nID=" + std::to_string(kLines) + "\nOrder=" +
               std::to_string(kLines) + "\nName=Operators\nEnabled=1\nRuleID=0\nIsOuter=0\nUsingDND=0\nRecord=1\n";
    stations += "7000=Operators\n[SIP]\nAddress=127.0.0.1\nPort=" + std::to_string(sipPort_) +
                "\nRtpPorts=20000-29999\nMediaTimeout=0\nLogCalls=0\n[Passwords]\n7000=bench\n[Trunk]\n"
                "Address=127.0.0.1\nPort=" +
                std::to_string(trunkPort_) + "\nTransport=" + (tcp_ ? "TCP" : "UDP") + "\n";
    Write("Exchange.ini", stations);
    Write("Lines.ini", lines);
    Write("Rules.ini",
          "[Rules]\nName=Rules\nEnabled=1\nSystemPhoneNumber=\nRingTimeout=20\n[Rules_Items]\nCount=1\nItemID=1\n"
          "[Rules_0]\nID=1\nOrder=0\nName=Inbound\nEnabled=1\n[Rules_0_Items]\nCount=1\nItemID=1\n"
          "[Rules_0_0]\nID=1\nOrder=0\nEnabled=1\nActionType=2\nPhoneNumber=7000\n");
    Write("Settings.ini",
          "[Connection]\nCryptConnectionString=0\nConnectionString=Provider=SQLite;Data Source=crm.sqlite3\n");
    Write("lines.csv", numbers);
    Write("phone.csv", "SEQUENTIAL\n7000;[authentication username=7000 password=bench]\n");
    // The callers' scenario, calling the lines in turn and noting every answered call's media port.
    std::string caller = ReadAll(Scenario("caller.xml"));
    for (std::size_t at; (at = caller.find("[service]")) != std::string::npos;) caller.replace(at, 9, "[field0]");
    caller.replace(caller.find("> [media_note]"), 14, ">> [media_note]");
    Write("bench-caller-media.xml", caller);
    // Without the note, which costs SIPp a shell per call.
    const auto exec = caller.find("      <exec command=");
    caller.erase(exec, caller.find('\n', exec) + 1 - exec);
    const auto ereg = caller.find("      <ereg regexp=\"m=audio");
    caller.erase(ereg, caller.find('\n', ereg) + 1 - ereg);
    Write("bench-caller-rate.xml", caller);
  }

  bool Start() {
    if (!host_.Start()) return false;
    if (!host_.WaitForOutput("Loaded: ", std::chrono::seconds(30))) return false;
    SpawnedProgram registration({kSipp, Target(), "-sf", Scenario("register.xml"), "-i", "127.0.0.1", "-p",
                                 std::to_string(phonePort_), "-inf", Path("phone.csv"), "-key", "expiry", "3600", "-m",
                                 "1", "-nostdin", "-t", Transport()});
    if (registration.WaitForExit(std::chrono::seconds(20)) != 0) return false;
    phone_ = std::make_unique<SpawnedProgram>(std::vector<std::string>{kSipp,
                                                                       "-sf",
                                                                       Scenario("phone.xml"),
                                                                       "-i",
                                                                       "127.0.0.1",
                                                                       "-p",
                                                                       std::to_string(phonePort_),
                                                                       "-key",
                                                                       "rtp_ip",
                                                                       "127.0.0.1",
                                                                       "-key",
                                                                       "rtp_port",
                                                                       std::to_string(echoPort_),
                                                                       "-key",
                                                                       "law",
                                                                       std::to_string(phoneLaw_),
                                                                       "-nostdin",
                                                                       "-max_socket",
                                                                       "10000",
                                                                       "-t",
                                                                       Transport()});
    return true;
  }

  // Callers at the rate for the time, each talking talkMs once answered; SIPp's output when it is done.
  std::unique_ptr<SpawnedProgram> Callers(double rate, long calls, int talkMs, int rtpPort, bool noteMedia) {
    std::filesystem::remove(Path("media-ports"));
    return std::make_unique<SpawnedProgram>(
        std::vector<std::string>{kSipp,
                                 Target(),
                                 "-sf",
                                 Path(noteMedia ? "bench-caller-media.xml" : "bench-caller-rate.xml"),
                                 "-t",
                                 Transport(),
                                 "-i",
                                 "127.0.0.1",
                                 "-p",
                                 std::to_string(trunkPort_),
                                 "-inf",
                                 Path("lines.csv"),
                                 "-key",
                                 "caller",
                                 "5550000",
                                 "-key",
                                 "rtp_ip",
                                 "127.0.0.1",
                                 "-key",
                                 "rtp_port",
                                 std::to_string(rtpPort),
                                 "-key",
                                 "law",
                                 "0",
                                 "-key",
                                 "media_note",
                                 Path("media-ports"),
                                 "-r",
                                 std::to_string(rate),
                                 "-m",
                                 std::to_string(calls),
                                 "-l",
                                 "2000",
                                 "-d",
                                 std::to_string(talkMs),
                                 "-nostdin",
                                 "-timeout",
                                 "600s",
                                 "-max_socket",
                                 "10000"});
  }

  void RunRate(double seconds, double rate) {
    const long calls = static_cast<long>(seconds * rate);
    const double cpuBefore = ProcessCpuSeconds(std::to_string(host_.Pid()));
    const auto start = Clock::now();
    auto callers = Callers(rate, calls, 2000, 9, false);
    const int exit = callers->WaitForExit(std::chrono::seconds(static_cast<long>(seconds) + 120));
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpu = ProcessCpuSeconds(std::to_string(host_.Pid())) - cpuBefore;
    const auto [done, failed] = SippCalls(callers->Output());
    // Nothing may stay behind in the exchange once the callers are gone.
    std::size_t left = 0;
    for (const auto until = Clock::now() + std::chrono::seconds(60); Clock::now() < until;) {
      const std::string status = host_.RunExchange("status").second;
      left = static_cast<std::size_t>(std::count(status.begin(), status.end(), '\n'));
      if (left == 0) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    std::printf(
        "%s %5.0f calls/s offered for %.0f s: %6ld done, %ld failed (SIPp exit %d) in %5.1f s = %6.1f calls/s; "
        "host CPU %5.0f us/call (%3.0f %% of a core); %zu parties left in the exchange\n",
        tcp_ ? "TCP" : "UDP", rate, seconds, done, failed, exit, elapsed, static_cast<double>(done) / (elapsed - 2.0),
        done > 0 ? cpu / static_cast<double>(done) * 1e6 : 0.0, cpu / elapsed * 100, left);
    std::fflush(stdout);
  }

  // The host's own count of answered trunk callers (parties of the exchange connected to the operators).
  int ConnectedCallers() {
    std::istringstream status(host_.RunExchange("status").second);
    int connected = 0;
    for (std::string line; std::getline(status, line);)
      connected += line.find(" outside ") != std::string::npos && line.find(" CONNECTED") != std::string::npos;
    return connected;
  }

  // 500 calls at once, media both ways for the window. The window opens once the host has every call connected
  // and closes well before the first caller's talk time runs out, so no packet goes to a port already closed.
  // The bytes of the recordings so far.
  std::uintmax_t RecordedBytes() {
    std::uintmax_t bytes = 0;
    std::error_code error;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(host_.IniFolder() / "Recordings", error))
      if (entry.is_regular_file(error)) bytes += entry.file_size(error);
    return bytes;
  }

  // The host's CPU in the window, as a fraction of a core.
  double RunMedia(int callsAtOnce, double windowSeconds) {
    int callersPort = 0;
    const int socket = LoopbackSocket(&callersPort);
    std::atomic<long> received{0};
    std::atomic<bool> stop{false};
    std::thread receiver([&] {
      char packet[2048];
      while (!stop) {
        pollfd ready{socket, POLLIN, 0};
        if (::poll(&ready, 1, 20) > 0 && ::recv(socket, packet, sizeof packet, 0) > 0) ++received;
      }
    });
    constexpr double kSetUpAllowance = 40;  // seconds the calls may take to be set up under load
    const auto talk = std::chrono::duration<double>(kSetUpAllowance + windowSeconds + 5);
    auto callers = Callers(100, callsAtOnce, static_cast<int>(talk.count() * 1000), callersPort, true);
    std::vector<int> ports;
    Clock::time_point firstAnswer{};
    const auto deadline = Clock::now() + std::chrono::duration<double>(kSetUpAllowance);
    int connected = 0;
    while (Clock::now() < deadline) {
      std::istringstream notes(ReadAll(Path("media-ports")));
      ports.clear();
      for (std::string line; std::getline(notes, line);) {
        if (line.size() > 8) ports.push_back(std::atoi(line.c_str() + 8));
      }
      if (!ports.empty() && firstAnswer == Clock::time_point{}) firstAnswer = Clock::now();
      if (static_cast<int>(ports.size()) >= callsAtOnce && (connected = ConnectedCallers()) >= callsAtOnce) break;
      callers->WaitForExit(std::chrono::milliseconds(100));
    }
    // The first caller hangs up talk after its answer; stop sending two seconds before that.
    const auto lastMoment = firstAnswer + std::chrono::duration_cast<Clock::duration>(talk) - std::chrono::seconds(2);
    const double cpuBefore = ProcessCpuSeconds(std::to_string(host_.Pid()));
    const double driverBefore = ThreadCpuSeconds();
    const long echoedBefore = echoed_;
    const TUdpCounters kernelBefore = UdpCounters();
    const std::uintmax_t diskBefore = RecordedBytes();
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::uint8_t packet[172] = {0x80, 0};
    std::fill(packet + 12, packet + sizeof packet, 0xFF);
    long sent = 0;
    const auto start = Clock::now();
    const auto end = std::min(
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(windowSeconds)), lastMoment);
    for (int frame = 0; Clock::now() < end; ++frame) {
      for (int port : ports) {
        const std::uint16_t sequence = static_cast<std::uint16_t>(frame);
        packet[2] = static_cast<std::uint8_t>(sequence >> 8);
        packet[3] = static_cast<std::uint8_t>(sequence);
        to.sin_port = htons(static_cast<std::uint16_t>(port));
        if (::sendto(socket, packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) > 0) ++sent;
      }
      std::this_thread::sleep_until(start + std::chrono::milliseconds(20) * (frame + 1));
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpu = ProcessCpuSeconds(std::to_string(host_.Pid())) - cpuBefore;
    const double driver = ThreadCpuSeconds() - driverBefore;
    // What is still under way comes back within a moment.
    const auto settle = Clock::now() + std::chrono::seconds(2);
    while (received < sent && Clock::now() < settle) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const long atPhone = echoed_ - echoedBefore;
    const TUdpCounters kernelAfter = UdpCounters();
    const double diskPerSecond = static_cast<double>(RecordedBytes() - diskBefore) / elapsed;
    std::printf(
        "phone %s: %5zu calls at once (%d connected in the host when the window opened) with media for %.1f s: "
        "%ld packets sent by the callers, %ld reached the phone (%ld lost on the way there), %ld came back to the "
        "callers with the hold frames (%ld fewer than sent); the kernel dropped %ld to closed ports and %ld in full "
        "buffers meanwhile; host CPU %3.0f %% of a core (the bench's sender %3.0f %%)\n",
        phoneLaw_ == 0 ? "PCMU" : "PCMA", ports.size(), connected, elapsed, sent, atPhone, std::max(0L, sent - atPhone),
        received.load(), std::max(0L, sent - received.load()), kernelAfter.noPorts - kernelBefore.noPorts,
        kernelAfter.bufferErrors - kernelBefore.bufferErrors, cpu / elapsed * 100, driver / elapsed * 100);
    if (diskPerSecond > 0) std::printf("       recordings written: %.0f bytes/s\n", diskPerSecond);
    std::fflush(stdout);
    callers->WaitForExit(std::chrono::seconds(120));
    stop = true;
    receiver.join();
    ::close(socket);
    return cpu / elapsed;
  }

  void Stop() {
    if (phone_) phone_->Terminate();
    host_.Stop(std::chrono::seconds(30));
    const std::string log = ReadServerLog(host_.IniFolder(), "Info");
    const auto at = log.rfind("SIP: stopped;");
    if (at != std::string::npos) std::printf("       %s\n", log.substr(at, log.find('\n', at) - at).c_str());
  }

 private:
  void Write(const std::string& name, const std::string& text) { std::ofstream(host_.IniFolder() / name) << text; }
  std::string Path(const std::string& name) const { return (host_.IniFolder() / name).string(); }
  std::string Target() const { return "127.0.0.1:" + std::to_string(sipPort_); }
  // SIPp's transport: UDP, or one TCP connection each way.
  const char* Transport() const { return tcp_ ? "t1" : "u1"; }

  HostProcess host_;
  int sipPort_ = 0, trunkPort_ = 0, phonePort_ = 0, echoPort_ = 0;
  int phoneLaw_ = 0;
  bool tcp_ = false;
  std::unique_ptr<SpawnedProgram> phone_;
  int echoSocket_ = -1;
  std::atomic<long> echoed_{0};
  std::atomic<bool> stop_{false};
  std::thread echo_;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "record") {
    const int calls = argc > 2 ? std::atoi(argv[2]) : 200;
    std::printf("%d routed SIP calls at once with media both ways, not recorded then recorded\n", calls);
    double cpu[2] = {0, 0};
    for (bool record : {false, true}) {
      SipBench bench(0, false, record);
      if (!bench.Start()) return 1;
      cpu[record ? 1 : 0] = bench.RunMedia(calls, 10);
      bench.Stop();
    }
    std::printf("host CPU recorded / not recorded: %.2f\n", cpu[0] > 0 ? cpu[1] / cpu[0] : 0.0);
    return 0;
  }
  const double seconds = argc > 1 ? std::atof(argv[1]) : 60;
  std::vector<double> rates;
  std::stringstream list(argc > 2 ? argv[2] : "100,200,300");
  for (std::string rate; std::getline(list, rate, ',');) rates.push_back(std::atof(rate.c_str()));
  std::printf("routed SIP calls: trunk callers (SIPp) -> %d routed lines -> the operators' SIP phone (SIPp)\n", kLines);
  const std::string transports = argc > 3 ? argv[3] : "udp,tcp";
  for (const char* transport : {"udp", "tcp"}) {
    if (transports.find(transport) == std::string::npos) continue;
    for (double rate : rates) {
      SipBench bench(0, std::string(transport) == "tcp");
      if (!bench.Start()) {
        std::fprintf(stderr, "the host or the phone did not start\n");
        return 1;
      }
      bench.RunRate(seconds, rate);
      bench.Stop();
    }
  }
  for (int phoneLaw : {0, 8}) {
    SipBench bench(phoneLaw);
    if (!bench.Start()) return 1;
    bench.RunMedia(500, 10);
    bench.Stop();
  }
  return 0;
}
