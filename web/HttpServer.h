// The gateway's listening socket: each connection becomes an HTTP session, which may turn into a WebSocket.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "EventHub.h"
#include "WebApi.h"

namespace vantrel::web {

class THttpServer {
 public:
  // Throws boost::system::system_error when the address cannot be listened on.
  THttpServer(boost::asio::io_context& context, const boost::asio::ip::tcp::endpoint& endpoint, TWebApi& api,
              TEventHub& hub);
  void Start();
  unsigned short Port() const { return acceptor_.local_endpoint().port(); }

 private:
  void Accept();

  boost::asio::io_context& context_;
  boost::asio::ip::tcp::acceptor acceptor_;
  TWebApi& api_;
  TEventHub& hub_;
};

}  // namespace vantrel::web
