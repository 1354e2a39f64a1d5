// vantrel-exchange: plays the outside world of the server's software exchange through its control socket:
// outside callers ringing stations, far ends answering, being busy and hanging up.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

namespace {

void PrintUsage(std::ostream& out) {
  out << "usage: vantrel-exchange [--ini DIR | --socket PATH] [COMMAND ...]\n"
         "  Sends the command (or, without one, each line read from standard input) to the exchange of\n"
         "  the server whose INI folder is DIR (default: $VANTREL_INI, else ./ini).\n"
         "  Commands: call STATION from NUMBER | answer [ID] | busy [ID] | hangup [ID] |\n"
         "            digits DIGITS [ID] | pickup STATION | drop STATION | add NUMBER [NAME] |\n"
         "            remove NUMBER | status | help\n";
}

// Sends one command and prints the reply; false when the exchange answered with an error.
bool Send(int fd, const std::string& command, bool& lost) {
  const std::string line = command + "\n";
  if (::send(fd, line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size())) {
    lost = true;
    return false;
  }
  static std::string pending;
  char buffer[512];
  for (;;) {
    for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
      const std::string reply = pending.substr(0, end);
      pending.erase(0, end + 1);
      if (reply.rfind("ERROR", 0) == 0) {
        std::cerr << reply.substr(reply.size() > 6 ? 6 : reply.size()) << "\n";
        return false;
      }
      if (reply.rfind("OK", 0) == 0) {
        if (reply.size() > 3) std::cout << reply.substr(3) << "\n";
        return true;
      }
      std::cout << reply << "\n";
    }
    const ssize_t count = ::recv(fd, buffer, sizeof buffer, 0);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) {
      lost = true;
      return false;
    }
    pending.append(buffer, static_cast<std::size_t>(count));
  }
}

}  // namespace

int main(int argc, char** argv) {
  const char* iniFromEnvironment = std::getenv("VANTREL_INI");
  std::string socketPath = std::string(iniFromEnvironment != nullptr ? iniFromEnvironment : "ini") + "/exchange.sock";
  std::string command;
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (command.empty() && (word == "--ini" || word == "--socket") && i + 1 < argc) {
      socketPath = word == "--ini" ? std::string(argv[++i]) + "/exchange.sock" : std::string(argv[++i]);
    } else if (command.empty() && (word == "-h" || word == "--help")) {
      PrintUsage(std::cout);
      return 0;
    } else if (command.empty() && word.rfind('-', 0) == 0) {
      // No command starts with a dash: this is an option we do not know, or one without its value.
      std::cerr << "vantrel-exchange: "
                << (word == "--ini" || word == "--socket" ? word + " needs a value" : "unknown option " + word) << "\n";
      PrintUsage(std::cerr);
      return 2;
    } else {
      command += (command.empty() ? "" : " ") + word;
    }
  }
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (socketPath.size() >= sizeof address.sun_path) {
    std::cerr << "Socket path too long: " << socketPath << "\n";
    return 2;
  }
  std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    std::cerr << "Cannot reach the exchange at " << socketPath << ": " << std::strerror(errno)
              << " (is vantrel-host running with that INI folder?)\n";
    return 2;
  }
  bool lost = false;
  bool ok = true;
  if (!command.empty()) {
    ok = Send(fd, command, lost);
  } else {
    for (std::string line; !lost && std::getline(std::cin, line);) {
      if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
      ok = Send(fd, line, lost) && ok;
    }
  }
  ::close(fd);
  if (lost) {
    std::cerr << "The exchange closed the connection\n";
    return 2;
  }
  return ok ? 0 : 1;
}
