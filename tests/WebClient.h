#pragma once

#include <filesystem>
#include <map>
#include <string>

#include <nlohmann/json.hpp>

// A program's HTTP client of the web gateway (or of a browser's driver): one request per connection, and the
// session cookie kept between requests as a browser keeps it.
class WebClient {
 public:
  explicit WebClient(int port) : port_(port) {}

  struct Answer {
    int status = 0;
    std::string body;
    std::map<std::string, std::string> headers;  // names in lower case
    nlohmann::json Json() const { return nlohmann::json::parse(body, nullptr, false); }
  };
  Answer Request(const std::string& method, const std::string& target, const std::string& body = {},
                 const std::map<std::string, std::string>& headers = {{"Content-Type", "application/json"}});
  Answer Get(const std::string& target) { return Request("GET", target); }
  Answer Post(const std::string& target, const nlohmann::json& body) { return Request("POST", target, body.dump()); }
  // Sends raw bytes and returns what came back before the gateway closed (for requests no client library sends).
  std::string Raw(const std::string& bytes);
  bool LogIn(const std::string& user, const std::string& password);
  // Connects from this loopback address (127.0.0.2, ...), as another machine would come from its own.
  void SendFrom(const std::string& address) { source_ = address; }

  const std::string& Cookie() const { return cookie_; }
  int Port() const { return port_; }

 private:
  const int port_;
  std::string cookie_;  // "name=value"
  std::string source_;
};

// Adds a gateway user through `vantrel-web --add-user`, as an administrator does; an operator's line and ID
// only when `line` is not empty. False when the program refused.
bool AddWebUser(const std::filesystem::path& ini, const std::string& name, const std::string& role,
                const std::string& line, long id, const std::string& password);
