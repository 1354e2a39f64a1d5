#include "SipWebSocket.h"

extern "C" {
#include <re.h>
}

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "support/VantrelCommonRoutines.h"

namespace vantrel::telephony {

namespace {

// What the port takes whole: it refuses 8 KiB and more with 513 itself. A stream from the stack that grows
// beyond this without a message's end is no SIP.
constexpr std::size_t kMaxPending = 64 * 1024;
// Keeps the bridge's TCP connection from the stack's idle timeout (15 min) while a phone is quiet: a
// keep-alive (RFC 5626 §3.5.1) now and then.
constexpr std::uint32_t kKeepAliveMs = 120 * 1000;
// Open WebSockets in all, and from one address where browsers come straight here (the gateway's are all from
// its own): beyond them an upgrade gets 503, so a stranger's connections cannot take the port from the phones.
constexpr std::size_t kMaxPerAddress = 32;
constexpr std::size_t kMaxBridges = 2000;

std::string IpOf(const sa& address) {
  char text[64] = {};
  sa_ntop(&address, text, sizeof text);
  return text;
}

// The length of the first whole SIP message in the stream, 0 while it is incomplete; *bad when it cannot be one.
std::size_t FirstMessage(const std::string& stream, bool* bad) {
  const std::size_t end = stream.find("\r\n\r\n");
  if (end == std::string::npos) {
    *bad = stream.size() > kMaxPending;
    return 0;
  }
  std::string headers = stream.substr(0, end + 2);
  std::transform(headers.begin(), headers.end(), headers.begin(), [](unsigned char c) { return std::tolower(c); });
  std::size_t length = 0;
  for (const char* name : {"\r\ncontent-length:", "\r\nl:"}) {
    const std::size_t at = headers.find(name);
    if (at == std::string::npos) continue;
    std::size_t digit = at + std::strlen(name);
    while (digit < headers.size() && (headers[digit] == ' ' || headers[digit] == '\t')) ++digit;
    length = 0;
    while (digit < headers.size() && std::isdigit(static_cast<unsigned char>(headers[digit])) && length < kMaxPending)
      length = length * 10 + static_cast<std::size_t>(headers[digit++] - '0');
    break;
  }
  if (length >= kMaxPending) {
    *bad = true;
    return 0;
  }
  const std::size_t total = end + 4 + length;
  return stream.size() >= total ? total : 0;
}

// Whether the message makes a dialog with the browser: an INVITE, or a response to one.
bool MakesDialog(const std::string& message) {
  if (message.rfind("INVITE ", 0) == 0) return true;
  if (message.rfind("SIP/2.0 ", 0) != 0) return false;
  std::string headers = message.substr(0, message.find("\r\n\r\n"));
  std::transform(headers.begin(), headers.end(), headers.begin(), [](unsigned char c) { return std::tolower(c); });
  const std::size_t at = headers.find("\r\ncseq:");
  if (at == std::string::npos) return false;
  const std::size_t end = headers.find("\r\n", at + 2);
  return headers.substr(at, end == std::string::npos ? std::string::npos : end - at).find("invite") !=
         std::string::npos;
}

// The stack's accept answers without the subprotocol, and a browser drops a WebSocket whose answer does not name
// the one it asked for (RFC 6455 §4.1, RFC 7118 §4.1): the name is written into the answer on its way out, above
// the TLS layer where there is one.
constexpr int kAboveTls = 1;
bool NameSubprotocol(int* error, mbuf* buffer, void*) {
  const std::size_t start = buffer->pos;
  const std::string answer(reinterpret_cast<const char*>(mbuf_buf(buffer)), mbuf_get_left(buffer));
  const std::size_t end = answer.find("\r\n\r\n");
  if (answer.rfind("HTTP/1.1 101 ", 0) != 0 || end == std::string::npos) return false;
  const std::string named = answer.substr(0, end + 2) + "Sec-WebSocket-Protocol: sip\r\n" + answer.substr(end + 2);
  buffer->end = start;
  *error = mbuf_write_mem(buffer, reinterpret_cast<const std::uint8_t*>(named.data()), named.size());
  buffer->pos = start;
  return *error != 0;
}

}  // namespace

struct TSipWebSocket::TBridge {
  TSipWebSocket* owner = nullptr;
  websock_conn* browser = nullptr;
  tcp_conn* stack = nullptr;
  std::uint16_t localPort = 0;
  std::string peer;
  bool connected = false;
  bool closed = false;
  std::vector<std::string> waiting;  // the browser's messages before the stack's connection is up
  std::string pending;               // what the stack sent, not yet a whole message
  tmr keepAlive{};

  ~TBridge() {
    tmr_cancel(&keepAlive);
    mem_deref(browser);
    mem_deref(stack);
  }

  void ToStack(const char* data, std::size_t size) {
    mbuf* buffer = mbuf_alloc(size);
    if (buffer == nullptr) return Close("out of memory");
    mbuf_write_mem(buffer, reinterpret_cast<const std::uint8_t*>(data), size);
    buffer->pos = 0;
    const int error = tcp_send(stack, buffer);
    mem_deref(buffer);
    if (error != 0) Close(std::strerror(error));
  }

  void Close(const std::string& why) {
    if (closed) return;
    closed = true;
    LogFormat("SIP: the %s of %s closed: %s", {owner->kind_, peer, why});
    owner->Forget(this);
  }
};

struct TBridgeHandlers {
  using TBridge = TSipWebSocket::TBridge;

  static void FromBrowser(const websock_hdr*, mbuf* buffer, void* arg) {
    auto* bridge = static_cast<TBridge*>(arg);
    if (bridge->closed) return;
    std::string message(reinterpret_cast<const char*>(mbuf_buf(buffer)), mbuf_get_left(buffer));
    if (message.empty()) return;
    // The browser's Contact names a host of its own invention: the dialog's requests from the stack (ACK, BYE,
    // re-INVITE) find the browser through this bridge, as a proxy's Record-Route would have them.
    if (const std::size_t firstLine = message.find("\r\n"); firstLine != std::string::npos && MakesDialog(message))
      message.insert(firstLine + 2, "Record-Route: <sip:" + bridge->owner->UriHost() + ":" +
                                        std::to_string(bridge->localPort) + ";transport=tcp;lr>\r\n");
    if (!bridge->connected) {
      if (bridge->waiting.size() >= 16) return bridge->Close("too many messages before the stack answered");
      bridge->waiting.push_back(std::move(message));
      return;
    }
    bridge->ToStack(message.data(), message.size());
  }
  static void BrowserClosed(int error, void* arg) {
    static_cast<TBridge*>(arg)->Close(error != 0 ? std::strerror(error) : "by the browser");
  }
  static void StackUp(void* arg) {
    auto* bridge = static_cast<TBridge*>(arg);
    bridge->connected = true;
    for (const std::string& message : bridge->waiting) {
      if (bridge->closed) return;
      bridge->ToStack(message.data(), message.size());
    }
    bridge->waiting.clear();
    tmr_start(&bridge->keepAlive, kKeepAliveMs, KeepAlive, bridge);
  }
  static void KeepAlive(void* arg) {
    auto* bridge = static_cast<TBridge*>(arg);
    tmr_start(&bridge->keepAlive, kKeepAliveMs, KeepAlive, bridge);
    bridge->ToStack("\r\n\r\n", 4);
  }
  static void FromStack(mbuf* buffer, void* arg) {
    auto* bridge = static_cast<TBridge*>(arg);
    if (bridge->closed) return;
    bridge->pending.append(reinterpret_cast<const char*>(mbuf_buf(buffer)), mbuf_get_left(buffer));
    for (;;) {
      // Keep-alive answers (a bare CRLF) are the bridge's own.
      const std::size_t text = bridge->pending.find_first_not_of("\r\n");
      bridge->pending.erase(0, text == std::string::npos ? bridge->pending.size() : text);
      bool bad = false;
      const std::size_t size = FirstMessage(bridge->pending, &bad);
      if (bad) return bridge->Close("the stack sent what is no SIP message");
      if (size == 0) return;
      const int error = websock_send(bridge->browser, WEBSOCK_TEXT, "%b", bridge->pending.data(), size);
      if (error != 0) return bridge->Close(std::strerror(error));
      bridge->pending.erase(0, size);
    }
  }
  static void StackClosed(int error, void* arg) {
    static_cast<TBridge*>(arg)->Close(error != 0 ? std::string("the stack's side: ") + std::strerror(error)
                                                 : std::string("by the stack"));
  }
  static void Upgrade(http_conn* connection, const http_msg* msg, void* arg) {
    static_cast<TSipWebSocket*>(arg)->OnUpgrade(connection, msg);
  }
};

namespace {
// Listens over TLS. The stack reads the chain and the key from one file: they are handed over in memory, so
// the key is never copied to a file of its own.
int ListenSecure(http_sock** listener, const sa& local, const std::string& pem, http_req_h* handler, void* arg) {
  const int file = ::memfd_create("vantrel-wss-certificate", MFD_CLOEXEC);
  if (file < 0) return errno;
  std::size_t written = 0;
  while (written < pem.size()) {
    const ssize_t now = ::write(file, pem.data() + written, pem.size() - written);
    if (now <= 0) {
      const int error = now < 0 ? errno : EIO;
      ::close(file);
      return error;
    }
    written += static_cast<std::size_t>(now);
  }
  const std::string path = "/proc/self/fd/" + std::to_string(file);
  const int error = https_listen(listener, &local, path.c_str(), handler, arg);
  ::close(file);
  return error;
}
}  // namespace

TSipWebSocket::TSipWebSocket(const std::string& address, int port, const std::string& sipAddress, int sipPort,
                             TGone gone, const std::string& certificatePem, TAdmit admit)
    : sipAddress_(sipAddress),
      sipPort_(sipPort),
      gone_(std::move(gone)),
      admit_(std::move(admit)),
      kind_(certificatePem.empty() ? "WebSocket" : "secure WebSocket"),
      sweep_(std::make_unique<tmr>()) {
  tmr_init(sweep_.get());
  sa local{};
  if (sa_set_str(&local, address.c_str(), static_cast<std::uint16_t>(port)) != 0)
    throw std::runtime_error("SIP: bad address " + address);
  if (websock_alloc(&websockets_, nullptr, nullptr) != 0) throw std::runtime_error("SIP: no WebSockets");
  const int error = certificatePem.empty()
                        ? http_listen(&listener_, &local, TBridgeHandlers::Upgrade, this)
                        : ListenSecure(&listener_, local, certificatePem, TBridgeHandlers::Upgrade, this);
  if (error != 0) {
    websockets_ = static_cast<websock*>(mem_deref(websockets_));
    throw std::runtime_error("SIP: cannot listen on " + address + ":" + std::to_string(port) + " (" + kind_ +
                             "): " + std::strerror(error));
  }
  ownIp_ = sipAddress;
}

TSipWebSocket::~TSipWebSocket() {
  tmr_cancel(sweep_.get());
  leaving_.clear();
  bridges_.clear();
  listener_ = static_cast<http_sock*>(mem_deref(listener_));
  websockets_ = static_cast<websock*>(mem_deref(websockets_));
}

void TSipWebSocket::OnUpgrade(http_conn* connection, const http_msg* msg) {
  const std::string peerIp = IpOf(*http_conn_peer(connection));
  const std::string peer = peerIp + ":" + std::to_string(sa_port(http_conn_peer(connection)));
  if (admit_ && !admit_(peerIp)) {
    http_conn_close(connection);
    return;
  }
  const auto fromPeer = std::count_if(bridgePorts_.begin(), bridgePorts_.end(),
                                      [&](const auto& bridge) { return bridge.second == peerIp; });
  if (bridges_.size() >= kMaxBridges || (admit_ && static_cast<std::size_t>(fromPeer) >= kMaxPerAddress)) {
    http_ereply(connection, 503, "Service Unavailable");
    return;
  }
  const http_hdr* protocol = http_msg_hdr(msg, HTTP_HDR_SEC_WEBSOCKET_PROTOCOL);
  if (protocol == nullptr || !http_msg_hdr_has_value(msg, HTTP_HDR_SEC_WEBSOCKET_PROTOCOL, "sip")) {
    http_ereply(connection, 400, "Bad Request");
    return;
  }
  auto bridge = std::make_unique<TBridge>();
  bridge->owner = this;
  bridge->peer = peer;
  tmr_init(&bridge->keepAlive);
  sa stackAddress{};
  sa_set_str(&stackAddress, sipAddress_.c_str(), static_cast<std::uint16_t>(sipPort_));
  if (const int error = tcp_connect(&bridge->stack, &stackAddress, TBridgeHandlers::StackUp, TBridgeHandlers::FromStack,
                                    TBridgeHandlers::StackClosed, bridge.get());
      error != 0) {
    LogFormat("SIP: the %s of %s refused: the port's TCP does not answer (%s)", {kind_, peer, std::strerror(error)});
    http_ereply(connection, 503, "Service Unavailable");
    return;
  }
  sa local{};
  if (tcp_conn_local_get(bridge->stack, &local) == 0) bridge->localPort = sa_port(&local);
  tcp_helper* naming = nullptr;
  tcp_register_helper(&naming, http_conn_tcp(connection), kAboveTls, nullptr, NameSubprotocol, nullptr, nullptr);
  // The gateway keeps the connection alive with pings of its own; none from here.
  const int refused = websock_accept(&bridge->browser, websockets_, connection, msg, 0, TBridgeHandlers::FromBrowser,
                                     TBridgeHandlers::BrowserClosed, bridge.get());
  mem_deref(naming);
  if (refused != 0) {
    http_ereply(connection, 400, "Bad Request");
    return;
  }
  bridgePorts_.emplace(bridge->localPort, peerIp);
  LogFormat("SIP: a %s from %s, bridged to the port's TCP from port %d",
            {kind_, peer, static_cast<int>(bridge->localPort)});
  TBridge* key = bridge.get();
  bridges_.emplace(key, std::move(bridge));
}

void TSipWebSocket::Forget(TBridge* bridge) {
  auto found = bridges_.find(bridge);
  if (found == bridges_.end()) return;
  // Its handlers may be on the stack now: it goes at the next turn of the loop.
  std::unique_ptr<TBridge> owned = std::move(found->second);
  bridges_.erase(found);
  bridgePorts_.erase(owned->localPort);
  tmr_cancel(&owned->keepAlive);
  gone_(ownIp_ + ":" + std::to_string(owned->localPort));
  leaving_.push_back(std::move(owned));
  tmr_start(
      sweep_.get(), 0, [](void* arg) { static_cast<TSipWebSocket*>(arg)->leaving_.clear(); }, this);
}

std::string TSipWebSocket::UriHost() const {
  return ownIp_.find(':') == std::string::npos ? ownIp_ : "[" + ownIp_ + "]";
}

bool TSipWebSocket::IsBridge(const std::string& ip, std::uint16_t port) const {
  return ip == ownIp_ && bridgePorts_.count(port) != 0;
}

std::string TSipWebSocket::BrowserOf(const std::string& ip, std::uint16_t port) const {
  if (ip != ownIp_) return {};
  const auto found = bridgePorts_.find(port);
  return found == bridgePorts_.end() ? std::string() : found->second;
}

}  // namespace vantrel::telephony
