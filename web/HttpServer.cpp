#include "HttpServer.h"

#include <sys/resource.h>

#include <boost/asio/strand.hpp>
#include <iostream>
#include <memory>

#include "HttpSession.h"

namespace vantrel::web {

namespace {
constexpr auto kAcceptPause = std::chrono::milliseconds(100);
constexpr std::size_t kReservedDescriptors = 64;
constexpr auto kRepeatQuiet = std::chrono::seconds(30);
}  // namespace

std::size_t THttpServer::DefaultMaxConnections() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 10000;
  const auto descriptors = static_cast<std::size_t>(limit.rlim_cur);
  return descriptors > 2 * kReservedDescriptors ? descriptors - kReservedDescriptors : descriptors / 2;
}

THttpServer::THttpServer(boost::asio::io_context& context, const boost::asio::ip::tcp::endpoint& endpoint, TWebApi& api,
                         TEventHub& hub, TLoginPool& logins, std::size_t maxConnections)
    : context_(context),
      acceptor_(context),
      pause_(context),
      api_(api),
      hub_(hub),
      logins_(logins),
      maxConnections_(std::max<std::size_t>(1, maxConnections)) {
  acceptor_.open(endpoint.protocol());
  acceptor_.set_option(boost::asio::socket_base::reuse_address(true));
  acceptor_.bind(endpoint);
  acceptor_.listen(boost::asio::socket_base::max_listen_connections);
}

void THttpServer::Start() { Accept(); }

void THttpServer::Accept() {
  if (*open_ >= maxConnections_)
    return PauseAccepting(std::to_string(maxConnections_) +
                          " connections are open, the most allowed (--max-connections); new ones wait");
  // Each connection gets a strand of its own: its handlers never run at once, the connections do.
  acceptor_.async_accept(boost::asio::make_strand(context_),
                         [this](boost::system::error_code error, boost::asio::ip::tcp::socket socket) {
                           OnAccepted(error, std::move(socket));
                         });
}

void THttpServer::OnAccepted(boost::system::error_code error, boost::asio::ip::tcp::socket socket) {
  if (error == boost::asio::error::operation_aborted || !acceptor_.is_open()) return;
  if (error == boost::asio::error::no_descriptors || error.value() == ENFILE ||
      error == boost::asio::error::no_memory || error == boost::asio::error::no_buffer_space)
    return PauseAccepting("accept failed: " + error.message() + "; waiting for connections to close");
  if (paused_) {
    std::cerr << "vantrel-web: accepting connections again (" << *open_ << " open)" << std::endl;
    paused_ = false;
  }
  if (!error) {
    ++*open_;
    std::shared_ptr<void> slot(nullptr, [open = open_](void*) { --*open; });
    std::make_shared<THttpSession>(std::move(socket), api_, hub_, logins_, std::move(slot))->Run();
  } else {
    // A connection that failed before it was taken (reset by its client): nothing to do but go on.
  }
  Accept();
}

void THttpServer::PauseAccepting(const std::string& why) {
  const auto now = std::chrono::steady_clock::now();
  if (!paused_ && (why != lastWhy_ || now - lastSaid_ > kRepeatQuiet)) {
    std::cerr << "vantrel-web: " << why << std::endl;
    lastWhy_ = why;
    lastSaid_ = now;
  }
  paused_ = true;
  pause_.expires_after(kAcceptPause);
  pause_.async_wait([this](boost::system::error_code error) {
    if (!error && acceptor_.is_open()) Accept();
  });
}

}  // namespace vantrel::web
