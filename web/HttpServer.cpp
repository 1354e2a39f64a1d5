#include "HttpServer.h"

#include <boost/asio/strand.hpp>
#include <iostream>
#include <memory>

#include "HttpSession.h"

namespace vantrel::web {

THttpServer::THttpServer(boost::asio::io_context& context, const boost::asio::ip::tcp::endpoint& endpoint, TWebApi& api,
                         TEventHub& hub)
    : context_(context), acceptor_(context), api_(api), hub_(hub) {
  acceptor_.open(endpoint.protocol());
  acceptor_.set_option(boost::asio::socket_base::reuse_address(true));
  acceptor_.bind(endpoint);
  acceptor_.listen(boost::asio::socket_base::max_listen_connections);
}

void THttpServer::Start() { Accept(); }

void THttpServer::Accept() {
  // Each connection gets a strand of its own: its handlers never run at once, the connections do.
  acceptor_.async_accept(boost::asio::make_strand(context_),
                         [this](boost::system::error_code error, boost::asio::ip::tcp::socket socket) {
                           if (!error)
                             std::make_shared<THttpSession>(std::move(socket), api_, hub_)->Run();
                           else if (error != boost::asio::error::operation_aborted)
                             std::cerr << "vantrel-web: accept failed: " << error.message() << "\n";
                           if (acceptor_.is_open()) Accept();
                         });
}

}  // namespace vantrel::web
