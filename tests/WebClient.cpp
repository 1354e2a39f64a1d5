#include "WebClient.h"

#include <cstdlib>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <cctype>

namespace beast = boost::beast;
namespace http = beast::http;
using tcp = boost::asio::ip::tcp;

WebClient::Answer WebClient::Request(const std::string& method, const std::string& target, const std::string& body,
                                     const std::map<std::string, std::string>& headers) {
  boost::asio::io_context context;
  beast::tcp_stream stream(context);
  stream.expires_after(std::chrono::seconds(30));
  if (!source_.empty()) {
    stream.socket().open(tcp::v4());
    stream.socket().bind(tcp::endpoint(boost::asio::ip::make_address(source_), 0));
  }
  stream.connect(tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port_)));
  http::request<http::string_body> request(http::string_to_verb(method), target, 11);
  request.set(http::field::host, "127.0.0.1:" + std::to_string(port_));
  for (const auto& [name, value] : headers) request.set(name, value);
  if (!cookie_.empty()) request.set(http::field::cookie, cookie_);
  request.body() = body;
  request.prepare_payload();
  http::write(stream, request);
  beast::flat_buffer buffer;
  http::response_parser<http::string_body> parser;
  parser.body_limit(64 * 1024 * 1024);
  // A HEAD answer tells a length and sends no body.
  parser.skip(method == "HEAD");
  http::read(stream, buffer, parser);
  const auto& response = parser.get();
  Answer answer;
  answer.status = static_cast<int>(response.result_int());
  answer.body = response.body();
  for (const auto& field : response) {
    std::string name(field.name_string());
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    answer.headers[name] = std::string(field.value());
  }
  const auto cookie = answer.headers.find("set-cookie");
  if (cookie != answer.headers.end()) cookie_ = cookie->second.substr(0, cookie->second.find(';'));
  beast::error_code ignored;
  stream.socket().shutdown(tcp::socket::shutdown_both, ignored);
  return answer;
}

std::string WebClient::Raw(const std::string& bytes) {
  boost::asio::io_context context;
  tcp::socket socket(context);
  socket.connect(tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port_)));
  boost::asio::write(socket, boost::asio::buffer(bytes));
  std::string reply;
  beast::error_code error;
  char buffer[4096];
  for (std::size_t got; (got = socket.read_some(boost::asio::buffer(buffer), error)) > 0 || !error;)
    reply.append(buffer, got);
  return reply;
}

bool WebClient::LogIn(const std::string& user, const std::string& password) {
  return Post("/api/session", {{"user", user}, {"password", password}}).status == 200;
}

bool AddWebUser(const std::filesystem::path& ini, const std::string& name, const std::string& role,
                const std::string& line, long id, const std::string& password) {
  std::string command = "echo '" + password + "' | " VANTREL_WEB_PATH " --ini '" + ini.string() + "' --add-user " +
                        name + " --role " + role;
  if (!line.empty()) command += " --line " + line + " --operator-id " + std::to_string(id);
  return std::system((command + " > /dev/null").c_str()) == 0;
}
