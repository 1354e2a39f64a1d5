// The gateway's listening socket: each connection becomes an HTTP session, which may turn into a WebSocket.
// Connections are capped: at the cap, or when the process runs out of descriptors, the gateway stops
// accepting for a moment instead of spinning, and says so once per episode.
#pragma once

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <memory>
#include <string>

#include "EventHub.h"
#include "LoginPool.h"
#include "WebApi.h"

namespace vantrel::web {

class THttpServer {
 public:
  // Throws boost::system::system_error when the address cannot be listened on.
  THttpServer(boost::asio::io_context& context, const boost::asio::ip::tcp::endpoint& endpoint, TWebApi& api,
              TEventHub& hub, TLoginPool& logins, std::size_t maxConnections);
  void Start();
  unsigned short Port() const { return acceptor_.local_endpoint().port(); }
  std::size_t OpenConnections() const { return *open_; }

  // The cap that fits the process's descriptor limit, keeping some for the server link, logs and files.
  static std::size_t DefaultMaxConnections();

 private:
  void Accept();
  void OnAccepted(boost::system::error_code error, boost::asio::ip::tcp::socket socket);
  // Tries again after a pause; `why` is logged when an episode begins.
  void PauseAccepting(const std::string& why);

  boost::asio::io_context& context_;
  boost::asio::ip::tcp::acceptor acceptor_;
  boost::asio::steady_timer pause_;
  TWebApi& api_;
  TEventHub& hub_;
  TLoginPool& logins_;
  const std::size_t maxConnections_;
  // Shared with the connections, which count themselves out when they close (possibly after the server).
  std::shared_ptr<std::atomic<std::size_t>> open_ = std::make_shared<std::atomic<std::size_t>>(0);
  bool paused_ = false;  // only the accept chain touches these
  // Running short again soon after a pause is said once: a session ending frees one descriptor at a time.
  std::string lastWhy_;
  std::chrono::steady_clock::time_point lastSaid_{};
};

}  // namespace vantrel::web
