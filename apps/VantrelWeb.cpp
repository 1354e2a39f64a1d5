// vantrel-web: the server's face for browsers and web programs. A client of the server over IIOP like any other
// (a crash here never touches telephony): it serves a JSON API, live events over a WebSocket, a supervisor
// wallboard, an operator panel and /metrics.
#include <omniORB4/CORBA.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/signal_set.hpp>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "host/ClientOrb.h"
#include "web/EventHub.h"
#include "web/HttpServer.h"
#include "web/ServerLink.h"
#include "web/WebApi.h"
#include "web/WebSessions.h"
#include "web/WebUsers.h"

namespace {

const char* const kUsage =
    "usage: vantrel-web [--address HOST] [--port PORT] [--listen ADDRESS] [--web-port PORT] [--ini FOLDER]\n"
    "                   [--pages FOLDER] [--tls-cert FILE --tls-key FILE [--tls-key-password TEXT] --tls-ca FILE]\n"
    "       vantrel-web --ini FOLDER --add-user NAME --role operator|supervisor [--line NUMBER --operator-id ID]\n"
    "                   (the password is read from standard input)\n";

int AddUser(const std::map<std::string, std::string>& options) {
  vantrel::web::TWebUser user;
  user.name = options.at("--add-user");
  user.role = options.count("--role") ? options.at("--role") : "";
  user.line = options.count("--line") ? options.at("--line") : "";
  user.operatorID = options.count("--operator-id") ? std::atol(options.at("--operator-id").c_str()) : 0;
  std::string password;
  std::getline(std::cin, password);
  const std::string file = (std::filesystem::path(options.at("--ini")) / "WebUsers.ini").string();
  try {
    vantrel::web::TWebUsers(file).Put(user, password);
  } catch (const std::exception& error) {
    std::cerr << "vantrel-web: " << error.what() << "\n";
    return 2;
  }
  std::cout << "vantrel-web: " << user.name << " (" << user.role << ") is in " << file << "\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::map<std::string, std::string> options = {
      {"--address", "127.0.0.1"}, {"--port", std::getenv("VANTREL_PORT") ? std::getenv("VANTREL_PORT") : "2809"},
      {"--listen", "127.0.0.1"},  {"--web-port", "8080"},
      {"--ini", "ini"},           {"--pages", VANTREL_WEB_PAGES}};
  static const std::set<std::string> known = {"--address",  "--port",     "--listen",  "--web-port",         "--ini",
                                              "--pages",    "--tls-cert", "--tls-key", "--tls-key-password", "--tls-ca",
                                              "--add-user", "--role",     "--line",    "--operator-id"};
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--help" || option == "-h") {
      std::cout << kUsage;
      return 0;
    }
    if (known.count(option) == 0 || i + 1 >= argc) {
      std::cerr << "vantrel-web: " << (known.count(option) == 0 ? "unknown option " : "a value is missing after ")
                << option << "\n"
                << kUsage;
      return 2;
    }
    options[option] = argv[++i];
  }
  if (options.count("--add-user")) return AddUser(options);

  vantrel::TTlsFiles tls;
  tls.certificateFile = options.count("--tls-cert") ? options["--tls-cert"] : "";
  tls.privateKeyFile = options.count("--tls-key") ? options["--tls-key"] : "";
  tls.privateKeyPassword = options.count("--tls-key-password") ? options["--tls-key-password"] : "";
  tls.caFile = options.count("--tls-ca") ? options["--tls-ca"] : "";
  vantrel::TClientOrb client;
  if (!vantrel::StartClientOrb("vantrel-web", tls, options["--address"], options["--port"], true, client)) return 2;
  CORBA::ORB_var orb = client.orb;
  const std::string corbaloc = client.corbaloc;
  int exitCode = 0;
  try {
    PortableServer::POA_var poa = client.poa;
    char host[256] = "web";
    ::gethostname(host, sizeof host - 1);
    vantrel::web::TEventHub hub;
    vantrel::web::TServerLink link(orb, poa, corbaloc, std::string("web@") + host, hub);
    vantrel::web::TWebUsers users((std::filesystem::path(options["--ini"]) / "WebUsers.ini").string());
    vantrel::web::TWebSessions sessions;
    vantrel::web::TWebApi api(link, hub, users, sessions, options["--pages"]);
    boost::asio::io_context context;
    const auto address = boost::asio::ip::make_address(options["--listen"]);
    vantrel::web::THttpServer server(context, {address, static_cast<unsigned short>(std::stoi(options["--web-port"]))},
                                     api, hub);
    server.Start();
    link.Start();
    boost::asio::signal_set signals(context, SIGINT, SIGTERM);
    signals.async_wait([&](const boost::system::error_code&, int) { context.stop(); });
    std::cout << "vantrel-web: serving http://" << options["--listen"] << ":" << server.Port() << "/ for the server at "
              << corbaloc << std::endl;
    // Requests that act wait for the server; a few threads keep the others flowing meanwhile.
    std::vector<std::thread> threads;
    for (int i = 0; i < 3; ++i) threads.emplace_back([&] { context.run(); });
    context.run();
    for (auto& thread : threads) thread.join();
    link.Stop();
  } catch (const std::exception& error) {
    std::cerr << "vantrel-web: " << error.what() << "\n";
    exitCode = 2;
  } catch (const CORBA::Exception& error) {
    std::cerr << "vantrel-web: " << error._name() << "\n";
    exitCode = 2;
  }
  orb->destroy();
  return exitCode;
}
