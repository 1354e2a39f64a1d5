#include "HttpSession.h"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/websocket.hpp>
#include <cctype>
#include <chrono>

#include "SipPhoneSession.h"
#include "WebError.h"
#include "WebSocketSession.h"

namespace vantrel::web {

namespace beast = boost::beast;
namespace http = beast::http;

namespace {
constexpr std::size_t kBodyLimit = 64 * 1024;
constexpr std::uint32_t kHeaderLimit = 16 * 1024;
constexpr auto kIdle = std::chrono::seconds(30);

TWebRequest RequestOf(const http::request<http::string_body>& request) {
  TWebRequest plain;
  plain.method = std::string(request.method_string());
  plain.target = std::string(request.target());
  plain.body = request.body();
  plain.contentType = std::string(request[http::field::content_type]);
  plain.cookie = std::string(request[http::field::cookie]);
  plain.origin = std::string(request[http::field::origin]);
  plain.host = std::string(request[http::field::host]);
  plain.range = std::string(request[http::field::range]);
  return plain;
}
}  // namespace

THttpSession::THttpSession(boost::asio::ip::tcp::socket&& socket, TWebApi& api, TEventHub& hub, TLoginPool& logins,
                           std::shared_ptr<void> slot)
    : stream_(std::move(socket)), api_(api), hub_(hub), logins_(logins), slot_(std::move(slot)) {
  beast::error_code error;
  const auto remote = stream_.socket().remote_endpoint(error);
  if (!error) peer_ = remote.address().to_string();
}

void THttpSession::Run() {
  boost::asio::dispatch(stream_.get_executor(), [self = shared_from_this()] { self->Read(); });
}

void THttpSession::Read() {
  parser_.emplace();
  parser_->body_limit(kBodyLimit);
  parser_->header_limit(kHeaderLimit);
  stream_.expires_after(kIdle);
  http::async_read(stream_, buffer_, *parser_,
                   [self = shared_from_this()](beast::error_code error, std::size_t) { self->OnRead(error); });
}

void THttpSession::OnRead(beast::error_code error) {
  if (error == http::error::end_of_stream) return Close();
  if (error == http::error::body_limit) return Refuse(413, "The request body is larger than 64 KiB");
  if (error == http::error::header_limit) return Refuse(431, "The request header is larger than 16 KiB");
  if (error == beast::error::timeout) return Close();
  // Anything else unreadable as HTTP gets a plain refusal; a connection already gone gets nothing.
  if (error) {
    if (error.category() == http::make_error_code(http::error::bad_target).category())
      return Refuse(400, "Not a readable HTTP request");
    return;
  }
  TRequest request = parser_->release();
  TWebRequest plain = RequestOf(request);
  plain.peer = peer_;
  if (!api_.HostAllowed(plain.host))
    return Refuse(421, "This gateway does not answer to the name \"" + plain.host.substr(0, 100) +
                           "\"; start it with --allowed-hosts to add names besides its address and localhost");
  if (beast::websocket::is_upgrade(request) && plain.target == "/api/sip") return OpenPhone(std::move(request), plain);
  if (beast::websocket::is_upgrade(request)) {
    if (plain.target != "/api/events") return Refuse(404, "WebSockets are served at /api/events and /api/sip only");
    if (!api_.MayListen(plain)) return Refuse(401, "Log in first (and open the page from this gateway)");
    stream_.expires_never();
    auto listener = std::make_shared<TWebSocketSession>(stream_.release_socket(), hub_, std::move(slot_));
    api_.WatchSession(plain, listener);
    listener->Run(std::move(request));
    return;
  }
  if (TWebApi::IsLogin(plain)) {
    if (auto refusal = api_.LoginRefusal(plain)) return Answer(request, *refusal);
    auto shared = std::make_shared<TRequest>(std::move(request));
    const bool taken = logins_.TryPost([self = shared_from_this(), shared, plain] {
      auto answer = std::make_shared<TWebResponse>(self->api_.Handle(plain));
      boost::asio::post(self->stream_.get_executor(), [self, shared, answer] { self->Answer(*shared, *answer); });
    });
    if (taken) return;
    TWebResponse busy = JsonResponse(503, {{"error", "Too many logins at once; try again in a moment"}});
    busy.headers.emplace_back("Retry-After", "1");
    return Answer(*shared, busy);
  }
  Answer(request, api_.Handle(plain));
}

void THttpSession::OpenPhone(TRequest request, const TWebRequest& plain) {
  std::string protocols(request[http::field::sec_websocket_protocol]);
  for (char& c : protocols) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  bool sip = false;
  for (std::size_t at = protocols.find("sip"); at != std::string::npos; at = protocols.find("sip", at + 1)) {
    const bool starts = at == 0 || protocols[at - 1] == ' ' || protocols[at - 1] == ',';
    const bool ends = at + 3 == protocols.size() || protocols[at + 3] == ' ' || protocols[at + 3] == ',';
    sip = sip || (starts && ends);
  }
  if (!sip) return Refuse(400, "The phone's WebSocket speaks the subprotocol \"sip\" only");
  TSipAccount account;
  std::string user;
  try {
    account = api_.SipPhone(plain, true, &user);
  } catch (const TWebError& refused) {
    return Refuse(refused.Status(), refused.what());
  } catch (const std::exception& failed) {
    return Refuse(502, std::string("The server is not reachable: ") + failed.what());
  }
  stream_.expires_never();
  auto phone = std::make_shared<TSipPhoneSession>(stream_.release_socket(), std::move(account), user, std::move(slot_));
  api_.WatchSession(plain, phone);
  phone->Run(std::move(request));
}

void THttpSession::Answer(const TRequest& request, const TWebResponse& answer) {
  auto response =
      std::make_shared<http::response<http::string_body>>(static_cast<http::status>(answer.status), request.version());
  response->set(http::field::server, "vantrel-web");
  response->set(http::field::content_type, answer.contentType);
  response->set(http::field::cache_control, "no-store");
  response->set("X-Content-Type-Options", "nosniff");
  response->set("X-Frame-Options", "DENY");
  response->set("Content-Security-Policy",
                "default-src 'self'; connect-src 'self'; img-src 'self' data:; frame-ancestors 'none'");
  for (const auto& [name, value] : answer.headers) response->insert(name, value);
  response->keep_alive(request.keep_alive());
  response->body() = answer.body;
  response->prepare_payload();
  // A HEAD answer tells the length of what GET would send, and sends none of it.
  if (request.method() == http::verb::head) response->body().clear();
  http::async_write(stream_, *response, [self = shared_from_this(), response](beast::error_code error, std::size_t) {
    if (error) return;
    if (!response->keep_alive()) return self->Close();
    self->Read();
  });
}

void THttpSession::Refuse(int status, const std::string& message) {
  TRequest request;
  request.version(11);
  request.keep_alive(false);
  Answer(request, JsonResponse(status, {{"error", message}}));
}

void THttpSession::Close() {
  beast::error_code ignored;
  stream_.socket().shutdown(boost::asio::ip::tcp::socket::shutdown_send, ignored);
}

}  // namespace vantrel::web
