#include "WebSocketSession.h"

#include <boost/asio/post.hpp>

namespace vantrel::web {

namespace beast = boost::beast;
namespace websocket = beast::websocket;

namespace {
// Call events a browser has not taken; beyond this it is too slow and is closed (it may connect again).
constexpr std::size_t kMostEventBytes = 4 * 1024 * 1024;
}  // namespace

TWebSocketSession::TWebSocketSession(boost::asio::ip::tcp::socket&& socket, TEventHub& hub, std::shared_ptr<void> slot)
    : socket_(std::move(socket)), hub_(hub), slot_(std::move(slot)) {}

void TWebSocketSession::EndSession() {
  boost::asio::post(socket_.get_executor(), [self = shared_from_this()] {
    if (self->ended_) return;
    self->ended_ = true;
    const bool wasOpen = self->open_;
    self->open_ = false;
    self->events_.clear();
    self->state_.reset();
    if (!wasOpen || self->writing_) {
      // Mid-write (or never accepted) no close frame can go out in order: the connection is cut.
      beast::get_lowest_layer(self->socket_).close();
      return;
    }
    self->socket_.async_close(websocket::close_reason(websocket::close_code::policy_error, "logged out"),
                              [self](beast::error_code) { beast::get_lowest_layer(self->socket_).close(); });
  });
}

void TWebSocketSession::Run(beast::http::request<beast::http::string_body> request) {
  // A wallboard's browser sends nothing; pings (answered by every browser) keep a quiet connection from timing
  // out and find a vanished one.
  auto timeouts = websocket::stream_base::timeout::suggested(beast::role_type::server);
  timeouts.keep_alive_pings = true;
  socket_.set_option(timeouts);
  socket_.read_message_max(4096);
  socket_.async_accept(request, [self = shared_from_this()](beast::error_code error) {
    if (error || self->ended_) return;
    self->open_ = true;
    self->hub_.Subscribe(self);
    self->ReadNext();
  });
}

void TWebSocketSession::Deliver(std::shared_ptr<const std::string> message, bool replaceable) {
  boost::asio::post(socket_.get_executor(), [self = shared_from_this(), message = std::move(message), replaceable] {
    self->Enqueue(message, replaceable);
  });
}

void TWebSocketSession::Enqueue(std::shared_ptr<const std::string> message, bool replaceable) {
  if (!open_) return;
  if (replaceable) {
    state_ = std::move(message);
  } else {
    eventBytes_ += message->size();
    events_.push_back(std::move(message));
    if (eventBytes_ > kMostEventBytes) {
      open_ = false;
      events_.clear();
      state_.reset();
      // Closed at once: a close frame would wait behind the very backlog that makes it slow.
      beast::get_lowest_layer(socket_).close();
      return;
    }
  }
  if (!writing_) WriteNext();
}

void TWebSocketSession::WriteNext() {
  if (!open_) return;
  if (!events_.empty()) {
    writing_ = std::move(events_.front());
    events_.pop_front();
    eventBytes_ -= writing_->size();
  } else if (state_) {
    writing_ = std::exchange(state_, nullptr);
  } else {
    return;
  }
  socket_.text(true);
  socket_.async_write(boost::asio::buffer(*writing_),
                      [self = shared_from_this()](beast::error_code error, std::size_t) {
                        self->writing_.reset();
                        if (error) {
                          self->open_ = false;
                          return;
                        }
                        self->WriteNext();
                      });
}

void TWebSocketSession::ReadNext() {
  // Browsers send nothing the gateway needs; reading keeps pings answered and notices a close.
  socket_.async_read(incoming_, [self = shared_from_this()](beast::error_code error, std::size_t) {
    if (error) {
      self->open_ = false;
      return;
    }
    self->incoming_.consume(self->incoming_.size());
    self->ReadNext();
  });
}

}  // namespace vantrel::web
