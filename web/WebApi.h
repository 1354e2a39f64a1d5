// The gateway's HTTP face: the JSON API, the pages and /metrics, as plain requests and answers (the HTTP
// library stays in the server's session code).
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "EventHub.h"
#include "ServerLink.h"
#include "WebSessions.h"
#include "WebUsers.h"

namespace vantrel::web {

class TReportsApi;

struct TWebRequest {
  std::string method;  // "GET", "POST", ...
  std::string target;  // path and query
  std::string body;
  std::string contentType;
  std::string cookie;
  std::string origin;  // empty when the browser sent none
  std::string host;
};

struct TWebResponse {
  int status = 200;
  std::string contentType = "application/json";
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
};

class TWebApi {
 public:
  TWebApi(TServerLink& link, TEventHub& hub, TWebUsers& users, TWebSessions& sessions, std::filesystem::path pages);

  TWebResponse Handle(const TWebRequest& request);
  // The user of the session the request's cookie names.
  std::optional<TWebUser> SessionUser(const std::string& cookie);
  // Whether a WebSocket may be opened: a logged-in user, from a page of this gateway.
  bool MayListen(const TWebRequest& request);

  static constexpr const char* kCookieName = "vantrel_session";
  // The supervisors' reports under /api/reports/ and their page /reports.
  void SetReports(TReportsApi& reports) { reports_ = &reports; }

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
  const std::filesystem::path pages_;
  TReportsApi* reports_ = nullptr;  // set before the server starts
};

// An answer with a JSON body.
TWebResponse JsonResponse(int status, const nlohmann::json& body);

}  // namespace vantrel::web
