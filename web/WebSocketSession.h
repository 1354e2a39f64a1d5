// One browser's live events: what the hub delivers is written in order; a state not yet written is replaced
// by a newer one, and a browser too slow to take even the call events is let go.
#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <deque>
#include <memory>
#include <string>

#include "EventHub.h"
#include "WebSessions.h"

namespace vantrel::web {

class TWebSocketSession : public IEventSubscriber,
                          public ISessionEnd,
                          public std::enable_shared_from_this<TWebSocketSession> {
 public:
  TWebSocketSession(boost::asio::ip::tcp::socket&& socket, TEventHub& hub, std::shared_ptr<void> slot);
  void Run(boost::beast::http::request<boost::beast::http::string_body> request);
  void Deliver(std::shared_ptr<const std::string> message, bool replaceable) override;
  // The session it was opened in has ended: nothing more is sent, and the browser is told why.
  void EndSession() override;

 private:
  void Enqueue(std::shared_ptr<const std::string> message, bool replaceable);
  void WriteNext();
  void ReadNext();

  boost::beast::websocket::stream<boost::beast::tcp_stream> socket_;
  boost::beast::flat_buffer incoming_;
  TEventHub& hub_;
  std::shared_ptr<void> slot_;
  // Only the session's strand touches these.
  std::deque<std::shared_ptr<const std::string>> events_;
  std::size_t eventBytes_ = 0;
  std::shared_ptr<const std::string> state_;
  std::shared_ptr<const std::string> writing_;
  bool open_ = false;
  bool ended_ = false;
};

}  // namespace vantrel::web
