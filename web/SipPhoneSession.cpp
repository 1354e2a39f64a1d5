#include "SipPhoneSession.h"

#include <boost/asio/post.hpp>
#include <cctype>
#include <iostream>

namespace vantrel::web {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;

namespace {

constexpr auto kConnectWithin = std::chrono::seconds(5);

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// The user part of the first sip: or sips: URI in a header value ("Anna <sip:103@host>;tag=x" gives 103).
std::string UserOf(const std::string& value) {
  const std::string lower = Lower(value);
  std::size_t at = lower.find("sip:");
  std::size_t skip = 4;
  const std::size_t secure = lower.find("sips:");
  if (secure != std::string::npos && (at == std::string::npos || secure < at)) {
    at = secure;
    skip = 5;
  }
  if (at == std::string::npos) return {};
  const std::size_t start = at + skip;
  const std::size_t end = value.find_first_of("@;>: ", start);
  if (end == std::string::npos || value[end] != '@') return {};
  return value.substr(start, end - start);
}

// The value of the message's first header of the name (or its compact form), or none.
std::optional<std::string> Header(const std::string& message, const std::string& name, const std::string& compact) {
  std::size_t line = message.find("\r\n");
  while (line != std::string::npos && line + 2 < message.size()) {
    const std::size_t start = line + 2;
    const std::size_t end = message.find("\r\n", start);
    if (end == start || end == std::string::npos) break;  // the headers' end
    const std::size_t colon = message.find(':', start);
    if (colon != std::string::npos && colon < end) {
      std::string key = message.substr(start, colon - start);
      while (!key.empty() && (key.back() == ' ' || key.back() == '\t')) key.pop_back();
      key = Lower(key);
      if (key == name || key == compact) return message.substr(colon + 1, end - colon - 1);
    }
    line = end;
  }
  return std::nullopt;
}

}  // namespace

bool TSipPhoneSession::SpeaksFor(const std::string& message, const std::string& station) {
  if (message.rfind("SIP/2.0 ", 0) == 0) return true;  // a response to the exchange's request
  const auto from = Header(message, "from", "f");
  if (!from || UserOf(*from) != station) return false;
  if (message.rfind("REGISTER ", 0) == 0) {
    const auto to = Header(message, "to", "t");
    if (!to || UserOf(*to) != station) return false;
  }
  return true;
}

TSipPhoneSession::TSipPhoneSession(boost::asio::ip::tcp::socket&& socket, TSipAccount account, std::string user,
                                   std::shared_ptr<void> slot)
    : browser_(std::move(socket)),
      port_(browser_.get_executor()),
      account_(std::move(account)),
      user_(std::move(user)),
      slot_(std::move(slot)) {}

void TSipPhoneSession::Run(http::request<http::string_body> request) {
  upgrade_ = std::move(request);
  auto timeouts = websocket::stream_base::timeout::suggested(beast::role_type::server);
  timeouts.keep_alive_pings = true;
  browser_.set_option(timeouts);
  browser_.read_message_max(kMaxMessage);
  browser_.set_option(websocket::stream_base::decorator(
      [](websocket::response_type& response) { response.set(http::field::sec_websocket_protocol, "sip"); }));
  // The exchange's port first: the browser is let in only when its messages have somewhere to go.
  boost::asio::post(browser_.get_executor(), [self = shared_from_this()] { self->ConnectPort(); });
}

void TSipPhoneSession::ConnectPort() {
  beast::error_code error;
  const auto address = boost::asio::ip::make_address(account_.address, error);
  if (error) return Stop("the SIP address " + account_.address + " is no address");
  beast::get_lowest_layer(port_).expires_after(kConnectWithin);
  beast::get_lowest_layer(port_).async_connect(
      boost::asio::ip::tcp::endpoint(address, static_cast<unsigned short>(account_.webSocketPort)),
      [self = shared_from_this()](beast::error_code error) {
        if (self->stopped_) return;
        if (error) return self->Stop("the exchange's SIP WebSocket does not answer: " + error.message());
        self->port_.set_option(websocket::stream_base::decorator(
            [](websocket::request_type& request) { request.set(http::field::sec_websocket_protocol, "sip"); }));
        self->port_.async_handshake(
            self->account_.address + ":" + std::to_string(self->account_.webSocketPort), "/",
            [self](beast::error_code error) {
              if (self->stopped_) return;
              if (error) return self->Stop("the exchange's SIP WebSocket refused the gateway: " + error.message());
              beast::get_lowest_layer(self->port_).expires_never();
              auto timeouts = websocket::stream_base::timeout::suggested(beast::role_type::client);
              self->port_.set_option(timeouts);
              self->port_.read_message_max(kMaxMessage);
              self->browser_.async_accept(self->upgrade_, [self](beast::error_code error) {
                if (self->stopped_) return;
                if (error) return self->Stop({});
                std::cerr << "vantrel-web: " << self->user_ << "'s phone is station " << self->account_.station
                          << std::endl;
                self->FromBrowser();
                self->FromPort();
              });
            });
      });
}

void TSipPhoneSession::FromBrowser() {
  browser_.async_read(fromBrowser_, [self = shared_from_this()](beast::error_code error, std::size_t) {
    if (self->stopped_) return;
    if (error == websocket::error::message_too_big) return self->Stop("a message larger than 16 KiB from the browser");
    if (error) return self->Stop({});
    std::string message = beast::buffers_to_string(self->fromBrowser_.data());
    self->fromBrowser_.consume(self->fromBrowser_.size());
    if (!SpeaksFor(message, self->account_.station))
      return self->Stop("a SIP request for another station than " + self->account_.station);
    auto carried = std::make_shared<std::string>(std::move(message));
    self->port_.text(self->browser_.got_text());
    self->port_.async_write(boost::asio::buffer(*carried), [self, carried](beast::error_code error, std::size_t) {
      if (self->stopped_) return;
      if (error) return self->Stop("the exchange's SIP WebSocket closed");
      self->FromBrowser();
    });
  });
}

void TSipPhoneSession::FromPort() {
  port_.async_read(fromPort_, [self = shared_from_this()](beast::error_code error, std::size_t) {
    if (self->stopped_) return;
    if (error) return self->Stop("the exchange's SIP WebSocket closed (" + error.message() + ")");
    auto carried = std::make_shared<std::string>(beast::buffers_to_string(self->fromPort_.data()));
    self->fromPort_.consume(self->fromPort_.size());
    self->browser_.text(self->port_.got_text());
    self->browser_.async_write(boost::asio::buffer(*carried), [self, carried](beast::error_code error, std::size_t) {
      if (self->stopped_) return;
      if (error) return self->Stop({});
      self->FromPort();
    });
  });
}

void TSipPhoneSession::EndSession() {
  boost::asio::post(browser_.get_executor(), [self = shared_from_this()] { self->Stop("its session ended"); });
}

void TSipPhoneSession::Stop(const std::string& why) {
  if (stopped_) return;
  stopped_ = true;
  if (!why.empty())
    std::cerr << "vantrel-web: " << user_ << "'s phone (station " << account_.station << ") closed: " << why
              << std::endl;
  // Cut rather than closed with a frame: a write may be under way on either side.
  beast::error_code ignored;
  beast::get_lowest_layer(browser_).socket().shutdown(boost::asio::ip::tcp::socket::shutdown_both, ignored);
  beast::get_lowest_layer(browser_).close();
  beast::get_lowest_layer(port_).close();
}

}  // namespace vantrel::web
