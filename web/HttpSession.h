// One HTTP connection: requests read with limits, answered by the API, kept alive; a WebSocket upgrade to
// /api/events hands the connection to a WebSocket session, one to /api/sip to a browser's phone.
#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <memory>
#include <optional>
#include <string>

#include "EventHub.h"
#include "LoginPool.h"
#include "WebApi.h"

namespace vantrel::web {

class THttpSession : public std::enable_shared_from_this<THttpSession> {
 public:
  // `slot` is held for as long as the connection is open, also after it becomes a WebSocket.
  THttpSession(boost::asio::ip::tcp::socket&& socket, TWebApi& api, TEventHub& hub, TLoginPool& logins,
               std::shared_ptr<void> slot);
  void Run();

 private:
  using TRequest = boost::beast::http::request<boost::beast::http::string_body>;
  void Read();
  void OnRead(boost::beast::error_code error);
  // The upgrade at /api/sip: an operator's phone, carried to the exchange's SIP port.
  void OpenPhone(TRequest request, const TWebRequest& plain);
  void Answer(const TRequest& request, const TWebResponse& answer);
  void Refuse(int status, const std::string& message);
  void Close();

  boost::beast::tcp_stream stream_;
  boost::beast::flat_buffer buffer_;
  std::optional<boost::beast::http::request_parser<boost::beast::http::string_body>> parser_;
  TWebApi& api_;
  TEventHub& hub_;
  TLoginPool& logins_;
  std::shared_ptr<void> slot_;
  std::string peer_;
};

}  // namespace vantrel::web
