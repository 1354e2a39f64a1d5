// A browser's phone: its WebSocket (subprotocol "sip") carried to the exchange's SIP WebSocket, message for
// message both ways, for one station. A request that speaks for another station ends it; so does the end of
// the gateway session it was opened in.
#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <memory>
#include <string>

#include "SipAccounts.h"
#include "WebSessions.h"

namespace vantrel::web {

class TSipPhoneSession : public ISessionEnd, public std::enable_shared_from_this<TSipPhoneSession> {
 public:
  // Largest SIP message carried; the exchange refuses 8 KiB and more anyway.
  static constexpr std::size_t kMaxMessage = 16 * 1024;

  TSipPhoneSession(boost::asio::ip::tcp::socket&& socket, TSipAccount account, std::string user,
                   std::shared_ptr<void> slot);
  void Run(boost::beast::http::request<boost::beast::http::string_body> request);
  void EndSession() override;

  // Whether a SIP message from the browser may pass for the station: a request's From (and a REGISTER's To)
  // name it; responses pass.
  static bool SpeaksFor(const std::string& message, const std::string& station);

 private:
  using TWebSocket = boost::beast::websocket::stream<boost::beast::tcp_stream>;
  void ConnectPort();
  void FromBrowser();
  void FromPort();
  // Ends both connections; `why` is logged once.
  void Stop(const std::string& why);

  TWebSocket browser_;
  TWebSocket port_;
  boost::beast::flat_buffer fromBrowser_;
  boost::beast::flat_buffer fromPort_;
  const TSipAccount account_;
  const std::string user_;
  std::shared_ptr<void> slot_;
  boost::beast::http::request<boost::beast::http::string_body> upgrade_;
  bool stopped_ = false;  // the session's strand only
};

}  // namespace vantrel::web
