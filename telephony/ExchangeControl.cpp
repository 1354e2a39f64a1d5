#include "ExchangeControl.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <sstream>
#include <stdexcept>

#include "SoftExchange.h"
#include "support/FormatText.h"
#include "support/VantrelCommonRoutines.h"

namespace vantrel::telephony {

namespace {

constexpr std::size_t kMaxCommand = 1024;
constexpr int kClientIdleMs = 30000;
constexpr int kBackOffMs = 100;

std::vector<std::string> Words(const std::string& line) {
  std::istringstream stream(line);
  std::vector<std::string> words;
  for (std::string word; stream >> word;) words.push_back(word);
  return words;
}

DWORD ParseId(const std::string& text) {
  DWORD id = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), id);
  if (error != std::errc() || end != text.data() + text.size() || id == 0) {
    throw std::invalid_argument("\"" + text + "\" is not a far-end id");
  }
  return id;
}

// The far end a command means: the one named, else the newest one in a state the command accepts.
DWORD ChooseFarEnd(TSoftExchange& exchange, const std::vector<std::string>& words, std::size_t idAt,
                   const char* wantedState) {
  if (words.size() > idAt + 1) throw std::invalid_argument("Too many words; see help");
  if (words.size() == idAt + 1) return ParseId(words[idAt]);
  DWORD chosen = 0;
  for (const TPartyStatus& party : exchange.Status()) {
    if (party.outside && (wantedState == nullptr || party.state == wantedState)) chosen = std::max(chosen, party.id);
  }
  if (chosen == 0) {
    throw std::invalid_argument(wantedState == nullptr ? "No far end is in a call"
                                                       : std::string("No far end is ") + wantedState);
  }
  return chosen;
}

bool WriteAll(int fd, const std::string& text) {
  std::size_t written = 0;
  while (written < text.size()) {
    const ssize_t count = ::send(fd, text.data() + written, text.size() - written, MSG_NOSIGNAL);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return false;
    written += static_cast<std::size_t>(count);
  }
  return true;
}

}  // namespace

const char* const TExchangeControl::kHelp =
    "call STATION from NUMBER   an outside caller rings a station; prints the far end's id\n"
    "answer [ID]                the far end a station calls picks up (default: the newest ringing)\n"
    "busy [ID]                  ... or is busy\n"
    "hangup [ID]                a far end hangs up (default: the newest)\n"
    "digits DIGITS [ID]         a connected far end sends DTMF digits (0-9 * # A-D)\n"
    "pickup STATION             the station's phone picks up its ringing call\n"
    "drop STATION               the station's phone hangs up its newest call\n"
    "add NUMBER [NAME]          a new station\n"
    "remove NUMBER              takes a station away\n"
    "status                     one line per party: id, side, number, state, peer, what it hears\n"
    "help                       this text";

std::vector<std::string> TExchangeControl::Execute(TSoftExchange& exchange, const std::string& command) {
  std::vector<std::string> reply;
  try {
    const std::vector<std::string> words = Words(command);
    if (words.empty()) throw std::invalid_argument("Empty command; see help");
    const std::string& verb = words[0];
    if (verb == "call") {
      if (words.size() != 4 || words[2] != "from") throw std::invalid_argument("Use: call STATION from NUMBER");
      const DWORD farEnd = exchange.CallStation(words[1], words[3]);
      reply.push_back(farEnd == 0 ? "OK busy" : "OK " + std::to_string(farEnd));
    } else if (verb == "answer") {
      exchange.AnswerFarEnd(ChooseFarEnd(exchange, words, 1, "RINGING"));
      reply.emplace_back("OK");
    } else if (verb == "busy") {
      exchange.BusyFarEnd(ChooseFarEnd(exchange, words, 1, "RINGING"));
      reply.emplace_back("OK");
    } else if (verb == "hangup") {
      exchange.HangUpFarEnd(ChooseFarEnd(exchange, words, 1, nullptr));
      reply.emplace_back("OK");
    } else if (verb == "digits") {
      if (words.size() < 2) throw std::invalid_argument("Use: digits DIGITS [ID]");
      exchange.SendDigits(ChooseFarEnd(exchange, words, 2, "CONNECTED"), words[1]);
      reply.emplace_back("OK");
    } else if (verb == "pickup" || verb == "drop") {
      if (words.size() != 2) throw std::invalid_argument("Use: " + verb + " STATION");
      if (verb == "pickup")
        exchange.PickUp(words[1]);
      else
        exchange.HangUpStation(words[1]);
      reply.emplace_back("OK");
    } else if (verb == "add") {
      if (words.size() < 2) throw std::invalid_argument("Use: add NUMBER [NAME]");
      std::string name;
      for (std::size_t i = 2; i < words.size(); ++i) name += (i > 2 ? " " : "") + words[i];
      reply.push_back("OK " + std::to_string(exchange.AddStation({words[1], name})));
    } else if (verb == "remove") {
      if (words.size() != 2) throw std::invalid_argument("Use: remove NUMBER");
      exchange.RemoveStation(words[1]);
      reply.emplace_back("OK");
    } else if (verb == "status") {
      if (words.size() != 1) throw std::invalid_argument("Use: status");
      for (const TPartyStatus& party : exchange.Status()) {
        reply.push_back(std::to_string(party.id) + (party.outside ? " outside " : " station ") + party.number + " " +
                        party.state + (party.peerNumber.empty() ? "" : " with " + party.peerNumber) +
                        (party.hearing.empty() ? "" : " hearing " + party.hearing));
      }
      reply.emplace_back("OK");
    } else if (verb == "help") {
      std::istringstream lines(kHelp);
      for (std::string line; std::getline(lines, line);) reply.push_back(line);
      reply.emplace_back("OK");
    } else {
      throw std::invalid_argument("Unknown command \"" + verb + "\"; see help");
    }
  } catch (const std::exception& error) {
    reply.assign(1, std::string("ERROR ") + error.what());
  }
  return reply;
}

TExchangeControl::TExchangeControl(TSoftExchange& exchange, std::string socketPath)
    : exchange_(exchange), socketPath_(std::move(socketPath)) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (socketPath_.empty() || socketPath_.size() >= sizeof address.sun_path) {
    throw std::runtime_error("Exchange control socket path unusable: \"" + socketPath_ + "\"");
  }
  std::memcpy(address.sun_path, socketPath_.c_str(), socketPath_.size() + 1);
  listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (listener_ < 0) throw std::runtime_error(std::string("Exchange control socket: ") + std::strerror(errno));
  ::unlink(socketPath_.c_str());
  if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener_, 8) != 0 ||
      ::pipe2(stopPipe_, O_CLOEXEC) != 0) {
    const std::string reason = std::strerror(errno);
    ::close(listener_);
    if (stopPipe_[0] >= 0) ::close(stopPipe_[0]);
    if (stopPipe_[1] >= 0) ::close(stopPipe_[1]);
    throw std::runtime_error("Exchange control socket " + socketPath_ + ": " + reason);
  }
  thread_ = std::thread([this] { Serve(); });
}

TExchangeControl::~TExchangeControl() {
  const char stop = 'x';
  [[maybe_unused]] const ssize_t written = ::write(stopPipe_[1], &stop, 1);
  thread_.join();
  ::close(listener_);
  ::close(stopPipe_[0]);
  ::close(stopPipe_[1]);
  ::unlink(socketPath_.c_str());
}

void TExchangeControl::Serve() {
  for (;;) {
    pollfd waits[] = {{listener_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
    if (::poll(waits, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (waits[1].revents != 0) return;
    const auto [outcome, client, error] = spare_.Accept(listener_, SOCK_CLOEXEC);
    if (outcome == platform::TSpareDescriptor::TAccept::Taken) {
      ServeClient(client);
      ::close(client);
    } else if (outcome == platform::TSpareDescriptor::TAccept::TurnedAway ||
               outcome == platform::TSpareDescriptor::TAccept::Failed) {
      if (!shortOfDescriptors_) {
        LogErrorLine(FormatText("Exchange control socket: %s; clients are turned away", {std::strerror(error)}));
      }
      shortOfDescriptors_ = true;
      // Nothing could be taken: the listener stays readable, so wait a little before looking again.
      if (outcome == platform::TSpareDescriptor::TAccept::Failed && ::poll(&waits[1], 1, kBackOffMs) > 0) return;
    }
    if (outcome == platform::TSpareDescriptor::TAccept::Taken && shortOfDescriptors_) {
      shortOfDescriptors_ = false;
      LogMessage("Exchange control socket: clients are served again");
    }
  }
}

// One client at a time, a command per line, until it closes, idles too long or the server stops.
void TExchangeControl::ServeClient(int client) {
  std::string pending;
  char buffer[512];
  for (;;) {
    pollfd waits[] = {{client, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
    const int ready = ::poll(waits, 2, kClientIdleMs);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0 || waits[1].revents != 0) return;
    const ssize_t count = ::recv(client, buffer, sizeof buffer, 0);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return;
    pending.append(buffer, static_cast<std::size_t>(count));
    for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
      std::string line = pending.substr(0, end);
      pending.erase(0, end + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      std::string answer;
      for (const std::string& reply : Execute(exchange_, line)) answer += reply + "\n";
      if (!WriteAll(client, answer)) return;
    }
    if (pending.size() > kMaxCommand) {
      WriteAll(client, "ERROR Command too long\n");
      return;
    }
  }
}

}  // namespace vantrel::telephony
