#include "WebApi.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <regex>
#include <sstream>

#include "Metrics.h"
#include "client/RemoteNames.h"
#include "RecordingsApi.h"
#include "ReportsApi.h"
#include "WebError.h"

namespace vantrel::web {

namespace {
const std::regex kPhoneNumber("[0-9*#+]{1,32}");
const std::regex kCallID("[1-9][0-9]{0,9}");
const std::regex kPageName("[A-Za-z0-9_-]{1,64}\\.(html|js|css|json|png)");

std::vector<std::string> PathOf(const std::string& target) {
  const std::string path = target.substr(0, target.find('?'));
  std::vector<std::string> parts;
  std::istringstream stream(path);
  for (std::string part; std::getline(stream, part, '/');)
    if (!part.empty()) parts.push_back(part);
  return parts;
}

std::string CookieValue(const std::string& header, const std::string& name) {
  std::istringstream stream(header);
  for (std::string pair; std::getline(stream, pair, ';');) {
    const auto start = pair.find_first_not_of(' ');
    if (start == std::string::npos) continue;
    pair = pair.substr(start);
    if (pair.compare(0, name.size() + 1, name + "=") == 0) return pair.substr(name.size() + 1);
  }
  return {};
}

nlohmann::json ParseBody(const TWebRequest& request) {
  if (request.body.empty()) return nlohmann::json::object();
  nlohmann::json body = nlohmann::json::parse(request.body, nullptr, false);
  if (body.is_discarded() || !body.is_object()) throw TWebError(400, "The body is not a JSON object");
  return body;
}

std::string StringField(const nlohmann::json& body, const char* name) {
  const auto found = body.find(name);
  if (found == body.end() || !found->is_string())
    throw TWebError(400, std::string("\"") + name + "\" is missing or not a string");
  return found->get<std::string>();
}

std::string PhoneNumberField(const nlohmann::json& body, const char* name) {
  std::string number = StringField(body, name);
  if (!std::regex_match(number, kPhoneNumber))
    throw TWebError(400, std::string("\"") + name + "\" is not a phone number (1 to 32 of 0-9 * # +)");
  return number;
}

long IntegerField(const nlohmann::json& body, const char* name, long low, long high, std::optional<long> fallback) {
  const auto found = body.find(name);
  if (found == body.end() && fallback) return *fallback;
  if (found == body.end() || !found->is_number_integer())
    throw TWebError(400, std::string("\"") + name + "\" is missing or not a whole number");
  const auto value = found->get<long long>();
  if (value < low || value > high)
    throw TWebError(400, std::string("\"") + name + "\" is out of range (" + std::to_string(low) + " to " +
                             std::to_string(high) + ")");
  return static_cast<long>(value);
}

nlohmann::json UserJson(const TWebUser& user) {
  return {{"user", user.name},
          {"role", user.role},
          {"line", user.line},
          {"operatorID", user.operatorID == 0 ? nlohmann::json() : nlohmann::json(user.operatorID)}};
}

std::string ContentTypeOf(const std::string& name) {
  const std::string extension = name.substr(name.rfind('.') + 1);
  if (extension == "html") return "text/html; charset=utf-8";
  if (extension == "js") return "text/javascript; charset=utf-8";
  if (extension == "css") return "text/css; charset=utf-8";
  if (extension == "png") return "image/png";
  return "application/json";
}

std::string SessionCookie(const std::string& token, long maxAge) {
  return std::string(TWebApi::kCookieName) + "=" + token +
         "; Path=/; HttpOnly; SameSite=Strict; Max-Age=" + std::to_string(maxAge);
}
// Whether a browser's Origin names this gateway: by the name it was reached at, over HTTP or through a TLS
// proxy in front (browsers give pages the microphone on https:// only, this computer aside).
bool OurOrigin(const TWebRequest& request) {
  return request.origin == "http://" + request.host || request.origin == "https://" + request.host;
}

}  // namespace

TWebResponse JsonResponse(int status, const nlohmann::json& body) {
  TWebResponse response;
  response.status = status;
  response.body = body.is_null() ? std::string() : body.dump();
  return response;
}

std::string HostNameOf(const std::string& host) {
  std::string name;
  if (!host.empty() && host[0] == '[') {
    const auto end = host.find(']');
    name = end == std::string::npos ? host : host.substr(1, end - 1);
  } else {
    const auto colon = host.find(':');
    name = colon != std::string::npos && host.find(':', colon + 1) == std::string::npos ? host.substr(0, colon) : host;
  }
  for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return name;
}

TWebApi::TWebApi(TServerLink& link, TEventHub& hub, TWebUsers& users, TWebSessions& sessions, TLoginThrottle& throttle,
                 std::filesystem::path pages, std::string listeningAddress, std::vector<std::string> hostNames)
    : link_(link),
      hub_(hub),
      users_(users),
      sessions_(sessions),
      throttle_(throttle),
      pages_(std::move(pages)),
      hostNames_(std::move(hostNames)) {
  hostNames_.push_back(
      HostNameOf(listeningAddress.find(':') != std::string::npos ? "[" + listeningAddress + "]" : listeningAddress));
  hostNames_.push_back("localhost");
  for (auto& name : hostNames_) name = HostNameOf(name);
}

bool TWebApi::HostAllowed(const std::string& host) const {
  const std::string name = HostNameOf(host);
  return !name.empty() && std::find(hostNames_.begin(), hostNames_.end(), name) != hostNames_.end();
}

bool TWebApi::IsLogin(const TWebRequest& request) {
  return request.method == "POST" && PathOf(request.target) == std::vector<std::string>{"api", "session"};
}

std::optional<TWebResponse> TWebApi::LoginRefusal(const TWebRequest& request) {
  const nlohmann::json body = nlohmann::json::parse(request.body, nullptr, false);
  const std::string name = body.is_object() && body.contains("user") && body["user"].is_string()
                               ? body["user"].get<std::string>()
                               : std::string();
  const auto wait = throttle_.WaitBeforeTry(request.peer, name);
  if (wait.count() == 0) return std::nullopt;
  TWebResponse refusal = JsonResponse(429, {{"error", "Too many wrong passwords from your address; try again in " +
                                                          std::to_string(wait.count()) + " s"}});
  refusal.headers.emplace_back("Retry-After", std::to_string(wait.count()));
  return refusal;
}

void TWebApi::WatchSession(const TWebRequest& request, std::weak_ptr<ISessionEnd> watcher) {
  sessions_.Watch(CookieValue(request.cookie, kCookieName), std::move(watcher));
}

std::optional<TWebUser> TWebApi::SessionUser(const std::string& cookie) {
  const std::string token = CookieValue(cookie, kCookieName);
  if (token.empty()) return std::nullopt;
  const auto user = sessions_.Find(token);
  if (!user) return std::nullopt;
  // A user removed from the file, or given another role or line, is let go at once.
  if (!users_.StillValid(*user)) {
    sessions_.Close(token);
    return std::nullopt;
  }
  return user;
}

TWebUser TWebApi::RequireUser(const TWebRequest& request) {
  auto user = SessionUser(request.cookie);
  if (!user) throw TWebError(401, "Log in first");
  return *user;
}

bool TWebApi::MayListen(const TWebRequest& request) {
  // Browsers send the page's origin with a WebSocket; one from another site's page is not let in.
  if (!request.origin.empty() && !OurOrigin(request)) return false;
  return SessionUser(request.cookie).has_value();
}

TSipAccount TWebApi::SipPhone(const TWebRequest& request, bool webSocket, std::string* userName) {
  // Browsers name the page's origin on every WebSocket, on a same-origin GET not always.
  if ((webSocket && request.origin.empty()) || (!request.origin.empty() && !OurOrigin(request)))
    throw TWebError(403, "The phone is for the pages of this gateway only");
  const TWebUser user = RequireUser(request);
  if (user.role != "operator" || user.line.empty()) throw TWebError(403, "Only an operator at a line has a phone here");
  long loggedIn = 0;
  for (const auto& line : link_.State().lines)
    if (line.number == user.line) loggedIn = line.operatorID;
  if (loggedIn != user.operatorID)
    throw TWebError(403, "Log in at your line (" + user.line + ") first: the phone is that line's station");
  std::optional<TSipAccount> account = sipAccounts_ == nullptr ? std::nullopt : sipAccounts_->Find(user.line);
  if (!account)
    throw TWebError(404, "Station " + user.line + " has no SIP phone for browsers (no [SIP] WebSocketPort or password)");
  if (userName != nullptr) *userName = user.name;
  return *account;
}

TWebResponse TWebApi::Handle(const TWebRequest& request) {
  try {
    const auto path = PathOf(request.target);
    if (request.method == "POST" || request.method == "DELETE") {
      // A form of another site cannot send JSON without asking first, nor hide its origin.
      if (request.method == "POST" && request.contentType.rfind("application/json", 0) != 0)
        throw TWebError(415, "Send the body as application/json");
      if (!request.origin.empty() && !OurOrigin(request))
        throw TWebError(403, "Requests from another site's pages are refused");
    }
    return Route(request, path);
  } catch (const TWebError& error) {
    return JsonResponse(error.Status(), {{"error", error.what()}});
  } catch (const CORBA::Exception& error) {
    return JsonResponse(502, {{"error", std::string("The server refused the request (") + error._name() + ")"}});
  } catch (const std::exception& error) {
    return JsonResponse(500, {{"error", std::string("The gateway failed: ") + error.what()}});
  }
}

TWebResponse TWebApi::Route(const TWebRequest& request, const std::vector<std::string>& path) {
  const bool get = request.method == "GET" || request.method == "HEAD";
  if (path.empty() && get) return Page("wallboard.html");
  if (path.size() == 1 && path[0] == "panel" && get) return Page("panel.html");
  if (path.size() == 1 && path[0] == "reports" && get && reports_ != nullptr) return Page("reports.html");
  if (path.size() == 1 && path[0] == "recordings" && get && recordings_ != nullptr) return Page("recordings.html");
  if (path.size() == 2 && path[0] == "static" && get) return Page(path[1]);
  if (path.size() == 1 && path[0] == "metrics" && get) {
    TWebResponse response;
    response.contentType = "text/plain; version=0.0.4; charset=utf-8";
    response.body = MetricsText(link_.State(), hub_.Subscribers());
    return response;
  }
  const bool page = path.empty() || (path.size() == 1 && (path[0] == "panel" || path[0] == "metrics")) ||
                    (path.size() == 2 && path[0] == "static");
  if (page && !get) throw TWebError(405, "Use GET or HEAD on " + request.target.substr(0, 200));
  if (path.empty() || path[0] != "api") throw TWebError(404, "No such page: " + request.target.substr(0, 200));
  if (path.size() == 2 && path[1] == "openapi.json" && get) return Page("openapi.json");
  if (path.size() == 2 && path[1] == "session") return HandleSession(request);
  if (path.size() == 2 && path[1] == "sip" && get) {
    const TSipAccount account = SipPhone(request, false);
    return JsonResponse(200, {{"station", account.station},
                              {"uri", "sip:" + account.station + "@" + account.address},
                              {"password", account.password},
                              {"realm", account.realm},
                              {"webSocket", "/api/sip"}});
  }
  const TWebUser user = RequireUser(request);
  if (path.size() == 3 && path[1] == "reports" && get && reports_ != nullptr)
    return reports_->Handle(request, user, path[2]);
  if (path.size() >= 2 && path[1] == "recordings" && get && recordings_ != nullptr)
    return recordings_->Handle(request, user, path);
  if (path.size() == 2 && get) {
    const TLiveState state = link_.State();
    if (path[1] == "state") return JsonResponse(200, ToJson(state));
    nlohmann::json list = nlohmann::json::array();
    if (path[1] == "lines") {
      for (const auto& line : state.lines) list.push_back(ToJson(line));
      return JsonResponse(200, list);
    }
    if (path[1] == "operators") {
      for (const auto& person : state.operators) list.push_back(ToJson(person));
      return JsonResponse(200, list);
    }
    if (path[1] == "rules") {
      for (const auto& queue : state.queues) list.push_back(ToJson(queue));
      return JsonResponse(200, list);
    }
  }
  if (path.size() >= 3 && path[1] == "lines") return HandleLine(request, user, path);
  throw TWebError(get ? 404 : 405,
                  "No such resource or method: " + request.method + " " + request.target.substr(0, 200));
}

TWebResponse TWebApi::HandleSession(const TWebRequest& request) {
  if (request.method == "GET") return JsonResponse(200, UserJson(RequireUser(request)));
  if (request.method == "DELETE") {
    sessions_.Close(CookieValue(request.cookie, kCookieName));
    TWebResponse response = JsonResponse(204, nullptr);
    response.headers.emplace_back("Set-Cookie", SessionCookie("", 0));
    return response;
  }
  if (request.method != "POST") throw TWebError(405, "Use GET, POST or DELETE on /api/session");
  const nlohmann::json body = ParseBody(request);
  const std::string name = StringField(body, "user");
  const std::string password = StringField(body, "password");
  if (auto refusal = LoginRefusal(request)) return *refusal;
  const auto user = users_.Authenticate(name, password);
  throttle_.NoteLogin(request.peer, name, user.has_value());
  if (!user) throw TWebError(401, "Wrong user name or password");
  TWebResponse response = JsonResponse(200, UserJson(*user));
  response.headers.emplace_back("Set-Cookie",
                                SessionCookie(sessions_.Open(*user), static_cast<long>(sessions_.Lifetime().count())));
  return response;
}

TWebResponse TWebApi::HandleLine(const TWebRequest& request, const TWebUser& user,
                                 const std::vector<std::string>& path) {
  const std::string& line = path[2];
  if (!std::regex_match(line, kPhoneNumber)) throw TWebError(400, "Not a line number");
  if (!link_.HasLine(line)) throw TWebError(404, "No line " + line);
  if (request.method == "GET") {
    const TLiveState state = link_.State();
    if (path.size() == 3) {
      for (const auto& live : state.lines)
        if (live.number == line) return JsonResponse(200, ToJson(live));
    }
    if (path.size() == 4 && path[3] == "history") {
      nlohmann::json list = nlohmann::json::array();
      for (const auto& past : link_.History(line)) list.push_back(ToJson(past));
      return JsonResponse(200, list);
    }
    throw TWebError(404, "No such resource: " + request.target.substr(0, 200));
  }
  if (request.method != "POST") throw TWebError(405, "Use GET or POST on a line");
  if (user.role != "supervisor" && user.line != line)
    throw TWebError(403, "An operator acts only at their own line (" + user.line + ")");
  const nlohmann::json body = ParseBody(request);
  if (path.size() == 4) {
    const std::string& action = path[3];
    if (action == "login") {
      const long id =
          user.role == "operator" ? user.operatorID : IntegerField(body, "operatorID", 1, 2147483647, std::nullopt);
      link_.Login(line, id);
      return JsonResponse(200, {{"line", line}, {"operatorID", id}});
    }
    if (action == "logout") {
      link_.Logout(line);
      return JsonResponse(200, {{"line", line}});
    }
    if (action == "status") {
      const std::string text = StringField(body, "status");
      const auto status = OperatorStatusFromText(text);
      // Wrap-up is the server's to give after a call, not a person's to choose.
      if (!status || *status == ::OperatorWrapUp) throw TWebError(400, "\"status\" is ready, busy or pause");
      const long reason = IntegerField(body, "reason", 0, 9999, 0);
      link_.SetStatus(line, *status, reason);
      return JsonResponse(200, {{"line", line}, {"status", text}, {"reason", *status == ::OperatorPause ? reason : 0}});
    }
    if (action == "dial") {
      const std::string number = PhoneNumberField(body, "number");
      link_.Dial(line, number);
      return JsonResponse(202, {{"line", line}, {"dialling", number}});
    }
  }
  if (path.size() == 6 && path[3] == "calls") {
    if (!std::regex_match(path[4], kCallID)) throw TWebError(400, "Not a call ID: " + path[4].substr(0, 20));
    const long call = std::stol(path[4]);
    const std::string& action = path[5];
    using Action = TServerLink::TCallAction;
    const std::map<std::string, Action> simple = {{"answer", Action::Answer},
                                                  {"hold", Action::Hold},
                                                  {"unhold", Action::Unhold},
                                                  {"hangup", Action::HangUp},
                                                  {"complete", Action::Complete}};
    const auto found = simple.find(action);
    if (found != simple.end()) {
      link_.ActOnCall(line, call, found->second);
      return JsonResponse(202, {{"line", line}, {"call", call}, {"action", action}});
    }
    if (action == "transfer") {
      const std::string number = PhoneNumberField(body, "number");
      link_.BlindTransfer(line, call, number);
      return JsonResponse(202, {{"line", line}, {"call", call}, {"transferredTo", number}});
    }
    if (action == "record") {
      using Record = TServerLink::TRecordAction;
      const std::map<std::string, Record> recordings = {
          {"start", Record::Start}, {"stop", Record::Stop}, {"pause", Record::Pause}, {"resume", Record::Resume}};
      const std::string wanted = StringField(body, "recording");
      const auto chosen = recordings.find(wanted);
      if (chosen == recordings.end()) throw TWebError(400, "\"recording\" is start, stop, pause or resume");
      link_.Record(line, call, chosen->second);
      return JsonResponse(200, {{"line", line}, {"call", call}, {"recording", wanted}});
    }
    if (action == "monitor") {
      if (user.role != "supervisor") throw TWebError(403, "Listening in is for supervisors");
      if (user.line.empty())
        throw TWebError(409, "No station of yours to ring: give your user a line (vantrel-web --add-user --line)");
      const std::string text = StringField(body, "mode");
      const std::map<std::string, ::MonitorMode> modes = {
          {"listen", ::MonitorListen}, {"whisper", ::MonitorWhisper}, {"barge", ::MonitorBarge}};
      const auto mode = modes.find(text);
      if (mode == modes.end()) throw TWebError(400, "\"mode\" is listen, whisper or barge");
      const std::string refused = link_.Monitor(line, call, user.line, mode->second);
      if (!refused.empty()) throw TWebError(409, refused);
      return JsonResponse(202, {{"line", line}, {"call", call}, {"mode", text}, {"station", user.line}});
    }
    if (action == "consult") {
      const std::string number = PhoneNumberField(body, "number");
      const long consult = link_.Consult(line, call, number);
      return JsonResponse(202, {{"line", line}, {"call", call}, {"consultCall", consult}, {"dialling", number}});
    }
  }
  throw TWebError(404, "No such action: " + request.target.substr(0, 200));
}

TWebResponse TWebApi::Page(const std::string& name) {
  if (!std::regex_match(name, kPageName)) throw TWebError(404, "No such page");
  std::ifstream file(pages_ / name, std::ios::binary);
  if (!file) throw TWebError(404, "No such page: " + name);
  TWebResponse response;
  response.contentType = ContentTypeOf(name);
  response.body.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  return response;
}

}  // namespace vantrel::web
