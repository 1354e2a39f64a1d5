#pragma once

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include <chrono>
#include <optional>
#include <string>
#include <type_traits>

namespace phone_socket {
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = boost::asio::ip::tcp;

// A browser's SIP over WebSocket on loopback: to the gateway's /api/sip, or over TLS (the next layer an SSL
// stream, made with the client's context) straight to the exchange's secure WebSocket.
template <typename NextLayer>
class BasicPhoneSocket {
 public:
  template <typename... Context>
  explicit BasicPhoneSocket(Context&... context) : ws_(io_, context...) {}

  // The connection goes from this loopback address (another browser's machine) rather than any.
  void From(const std::string& address) { from_ = address; }

  // 101 when the upgrade was taken, else 0 (also when the TLS handshake failed).
  int Open(int port, const std::string& cookie, const std::string& origin, const std::string& protocol = "sip",
           const std::string& path = "/api/sip") {
    try {
      if (!from_.empty()) {
        beast::get_lowest_layer(ws_).open(tcp::v4());
        beast::get_lowest_layer(ws_).bind({boost::asio::ip::make_address(from_), 0});
      }
      beast::get_lowest_layer(ws_).connect(
          {boost::asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)});
      if constexpr (!std::is_same_v<NextLayer, tcp::socket>) ws_.next_layer().handshake(NextLayer::client);
      ws_.set_option(websocket::stream_base::decorator([=](websocket::request_type& request) {
        if (!cookie.empty()) request.set(beast::http::field::cookie, cookie);
        if (!origin.empty()) request.set(beast::http::field::origin, origin);
        if (!protocol.empty()) request.set(beast::http::field::sec_websocket_protocol, protocol);
      }));
      websocket::response_type response;
      beast::error_code error;
      ws_.handshake(response, "127.0.0.1:" + std::to_string(port), path, error);
      protocol_ = std::string(response[beast::http::field::sec_websocket_protocol]);
      return error ? 0 : response.result_int();
    } catch (const std::exception&) {
      return 0;
    }
  }
  bool Send(const std::string& message) {
    beast::error_code error;
    ws_.text(true);
    ws_.write(boost::asio::buffer(message), error);
    return !error;
  }
  // The next message, or none when the connection ended or nothing came within two seconds.
  std::optional<std::string> Receive() {
    const auto error = Next();
    if (!error || *error) return std::nullopt;
    std::string message = beast::buffers_to_string(buffer_.data());
    buffer_.consume(buffer_.size());
    return message;
  }
  // Whether the gateway ends the connection within two seconds (what it sends before is passed over).
  bool Ended() {
    for (int i = 0; i < 20; ++i) {
      const auto error = Next();
      if (!error) return false;
      if (*error) return true;
      buffer_.consume(buffer_.size());
    }
    return false;
  }
  // The next response (requests from the exchange, such as OPTIONS, are passed over).
  std::optional<std::string> Response() {
    for (int i = 0; i < 10; ++i) {
      auto message = Receive();
      if (!message || message->rfind("SIP/2.0 ", 0) == 0) return message;
    }
    return std::nullopt;
  }
  // The next request of the method (what comes before it is passed over), within as many reads (each waits up to
  // two seconds); none when it did not come.
  std::optional<std::string> Request(const std::string& method, int reads = 10) {
    for (int i = 0; i < reads; ++i) {
      auto message = Receive();
      if (message && message->rfind(method + " ", 0) == 0) return message;
    }
    return std::nullopt;
  }
  const std::string& Protocol() const { return protocol_; }

 private:
  // How the next read ended; none when it is still waiting after two seconds (it goes on at the next call).
  std::optional<beast::error_code> Next() {
    if (!reading_) {
      reading_ = true;
      ws_.async_read(buffer_, [this](beast::error_code error, std::size_t) {
        reading_ = false;
        read_ = error;
      });
    }
    read_.reset();
    io_.restart();
    io_.run_for(std::chrono::seconds(2));
    return read_;
  }
  beast::flat_buffer buffer_;
  bool reading_ = false;
  std::optional<beast::error_code> read_;
  boost::asio::io_context io_;
  websocket::stream<NextLayer> ws_;
  std::string protocol_;
  std::string from_;
};

}  // namespace phone_socket

using PhoneSocket = phone_socket::BasicPhoneSocket<boost::asio::ip::tcp::socket>;
using SecurePhoneSocket = phone_socket::BasicPhoneSocket<boost::asio::ssl::stream<boost::asio::ip::tcp::socket>>;
