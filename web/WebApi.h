// The gateway's HTTP face: the JSON API, the pages and /metrics, as plain requests and answers (the HTTP
// library stays in the server's session code).
#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "EventHub.h"
#include "LoginThrottle.h"
#include "ServerLink.h"
#include "SipAccounts.h"
#include "WebSessions.h"
#include "WebUsers.h"

namespace vantrel::web {

class TReportsApi;
class TRecordingsApi;

struct TWebRequest {
  std::string method;  // "GET", "POST", ...
  std::string target;  // path and query
  std::string body;
  std::string contentType;
  std::string cookie;
  std::string origin;  // empty when the browser sent none
  std::string host;
  std::string peer;  // the client's address
  std::string range;  // the Range header, empty when none
};

struct TWebResponse {
  int status = 200;
  std::string contentType = "application/json";
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
};

class TWebApi {
 public:
  // `hostNames`: the names the Host header may give besides the listening address and localhost.
  TWebApi(TServerLink& link, TEventHub& hub, TWebUsers& users, TWebSessions& sessions, TLoginThrottle& throttle,
          std::filesystem::path pages, std::string listeningAddress, std::vector<std::string> hostNames);

  TWebResponse Handle(const TWebRequest& request);
  // Whether the Host header names this gateway; a page of another name reached through DNS rebinding does not.
  bool HostAllowed(const std::string& host) const;
  // A login: its password is hashed, which is slow on purpose, so it runs apart from the other requests.
  static bool IsLogin(const TWebRequest& request);
  // The refusal of a login from an address that has to wait, given before anything is hashed.
  std::optional<TWebResponse> LoginRefusal(const TWebRequest& request);
  // Ties a listener's end to its session: logging out ends it.
  void WatchSession(const TWebRequest& request, std::weak_ptr<ISessionEnd> watcher);
  // The user of the session the request's cookie names.
  std::optional<TWebUser> SessionUser(const std::string& cookie);
  // Whether a WebSocket may be opened: a logged-in user, from a page of this gateway.
  bool MayListen(const TWebRequest& request);

  static constexpr const char* kCookieName = "vantrel_session";
  // The supervisors' reports under /api/reports/ and their page /reports.
  void SetReports(TReportsApi& reports) { reports_ = &reports; }
  // The recordings under /api/recordings and their page /recordings.
  void SetRecordings(TRecordingsApi& recordings) { recordings_ = &recordings; }
  // Operators' phones in the browser: GET /api/sip gives the account, a WebSocket there carries its SIP.
  void SetSipAccounts(TSipAccounts& accounts) { sipAccounts_ = &accounts; }
  // The account of the phone the request may have: a signed-in operator's, for the station of the line they
  // are logged in at, from a page of this gateway (*user: their name). Throws TWebError saying why not.
  TSipAccount SipPhone(const TWebRequest& request, bool webSocket, std::string* user = nullptr);

 private:
  TWebResponse Route(const TWebRequest& request, const std::vector<std::string>& path);
  TWebResponse HandleSession(const TWebRequest& request);
  TWebResponse HandleLine(const TWebRequest& request, const TWebUser& user, const std::vector<std::string>& path);
  TWebResponse Page(const std::string& name);
  TWebUser RequireUser(const TWebRequest& request);

  TServerLink& link_;
  TEventHub& hub_;
  TWebUsers& users_;
  TWebSessions& sessions_;
  TLoginThrottle& throttle_;
  const std::filesystem::path pages_;
  std::vector<std::string> hostNames_;
  TReportsApi* reports_ = nullptr;  // set before the server starts
  TSipAccounts* sipAccounts_ = nullptr;  // likewise
  TRecordingsApi* recordings_ = nullptr;  // likewise
};

// An answer with a JSON body.
TWebResponse JsonResponse(int status, const nlohmann::json& body);
// The name a Host header gives, without its port, in lower case ("[::1]:8080" gives "::1").
std::string HostNameOf(const std::string& host);

}  // namespace vantrel::web
