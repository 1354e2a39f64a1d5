#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

struct http_sock;
struct http_conn;
struct http_msg;
struct websock;
struct tmr;

namespace vantrel::telephony {

// SIP over WebSocket (RFC 7118) for the phones in operators' browsers, which the web gateway carries here. Each
// WebSocket is bridged to a connection of its own to the port's TCP transport, one SIP message per WebSocket
// message each way, so the stack sees a TCP phone and answers it on that connection; the bridge's local ports
// tell the port which TCP phones are browsers (never the trunk, whatever address it has).
//
// The stack's own WebSocket transport ends every connection it accepted 32 s after the upgrade, which no phone
// survives; this one lives as long as its browser. Over TLS (wss:) for browsers that come straight to the port
// rather than through the gateway. SIP thread only.
class TSipWebSocket {
 public:
  // The source ("ip:port", as the stack sees it) of a bridge whose browser or connection went.
  using TGone = std::function<void(const std::string& source)>;
  // Whether a browser from the address may open a WebSocket (a banned one may not).
  using TAdmit = std::function<bool(const std::string& ip)>;

  // Listens on the address and port; `sipAddress` and `sipPort` are the port's TCP transport. With a
  // certificate (its chain and key, PEM) the WebSockets are secure. Throws std::runtime_error.
  TSipWebSocket(const std::string& address, int port, const std::string& sipAddress, int sipPort, TGone gone,
                const std::string& certificatePem = {}, TAdmit admit = {});
  ~TSipWebSocket();
  TSipWebSocket(const TSipWebSocket&) = delete;
  TSipWebSocket& operator=(const TSipWebSocket&) = delete;

  // Whether a TCP source ("ip", port) of the port is one of the bridges.
  bool IsBridge(const std::string& ip, std::uint16_t port) const;
  // The browser's address behind a bridge's TCP source; empty when it is no bridge.
  std::string BrowserOf(const std::string& ip, std::uint16_t port) const;
  std::size_t Open() const { return bridges_.size(); }

 private:
  struct TBridge;
  void OnUpgrade(http_conn* connection, const http_msg* msg);
  // The port's address as a SIP URI's host.
  std::string UriHost() const;
  // Forgets the bridge once the stack is done with this turn.
  void Forget(TBridge* bridge);

  const std::string sipAddress_;
  const int sipPort_;
  const TGone gone_;
  const TAdmit admit_;
  const char* const kind_;  // "WebSocket" or "secure WebSocket", for the log
  http_sock* listener_ = nullptr;
  websock* websockets_ = nullptr;
  std::map<TBridge*, std::unique_ptr<TBridge>> bridges_;
  std::vector<std::unique_ptr<TBridge>> leaving_;  // closed, deleted at the next turn of the loop
  std::unique_ptr<tmr> sweep_;
  std::map<std::uint16_t, std::string> bridgePorts_;  // the bridge's local port: its browser's address
  std::string ownIp_;

  friend struct TBridgeHandlers;
};

}  // namespace vantrel::telephony
