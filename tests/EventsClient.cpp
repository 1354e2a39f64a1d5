#include "EventsClient.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = boost::asio::ip::tcp;

struct EventsClient::Impl {
  boost::asio::io_context context;
  websocket::stream<tcp::socket> socket{context};
};

EventsClient::EventsClient(int port, const std::string& cookie, const std::string& origin)
    : impl_(std::make_unique<Impl>()) {
  try {
    impl_->socket.next_layer().connect(
        tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)));
    impl_->socket.set_option(websocket::stream_base::decorator([&](websocket::request_type& request) {
      if (!cookie.empty()) request.set(beast::http::field::cookie, cookie);
      if (!origin.empty()) request.set(beast::http::field::origin, origin);
    }));
    websocket::response_type response;
    beast::error_code error;
    impl_->socket.handshake(response, "127.0.0.1:" + std::to_string(port), "/api/events", error);
    if (error) return;
  } catch (const std::exception&) {
    return;
  }
  connected_ = true;
  reader_ = std::thread([this] {
    beast::flat_buffer buffer;
    beast::error_code error;
    for (;;) {
      impl_->socket.read(buffer, error);
      if (error) break;
      const auto arrived =
          std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
              .count();
      nlohmann::json message = nlohmann::json::parse(beast::buffers_to_string(buffer.data()), nullptr, false);
      buffer.consume(buffer.size());
      std::lock_guard lock(mutex_);
      if (message.value("type", "") == "events")
        for (auto& event : message["events"]) {
          event["arrived"] = arrived;
          events_.push_back(event);
        }
      else if (message.value("type", "") == "state")
        state_ = std::move(message);
      changed_.notify_all();
    }
    closed_ = true;
  });
}

EventsClient::~EventsClient() {
  beast::error_code ignored;
  impl_->socket.next_layer().shutdown(tcp::socket::shutdown_both, ignored);
  impl_->socket.next_layer().close(ignored);
  if (reader_.joinable()) reader_.join();
}

std::vector<nlohmann::json> EventsClient::Events() {
  std::lock_guard lock(mutex_);
  return events_;
}

nlohmann::json EventsClient::LastState() {
  std::lock_guard lock(mutex_);
  return state_;
}

bool EventsClient::WaitFor(
    const std::function<bool(const std::vector<nlohmann::json>&, const nlohmann::json&)>& condition,
    std::chrono::milliseconds deadline) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, deadline, [&] { return condition(events_, state_); });
}
