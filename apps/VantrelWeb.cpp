// vantrel-web: the server's face for browsers and web programs. A client of the server over IIOP like any other
// (a crash here never touches telephony): it serves a JSON API, live events over a WebSocket, a supervisor
// wallboard, an operator panel and /metrics.
#include <omniORB4/CORBA.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "client/ClientOrb.h"
#include "web/EventHub.h"
#include "web/HttpServer.h"
#include "web/LoginPool.h"
#include "web/LoginThrottle.h"
#include "web/RecordingsApi.h"
#include "web/ReportsApi.h"
#include "web/ServerLink.h"
#include "web/WebApi.h"
#include "web/WebSessions.h"
#include "web/WebUsers.h"

namespace {

const char* const kUsage =
    "usage: vantrel-web [--address HOST] [--port PORT] [--listen ADDRESS] [--web-port PORT] [--ini FOLDER]\n"
    "                   [--pages FOLDER] [--tls-cert FILE --tls-key FILE [--tls-key-password TEXT] --tls-ca FILE]\n"
    "                   [--max-connections N] [--allowed-hosts NAME,NAME...] [--crm-cache-seconds N]\n"
    "       vantrel-web --ini FOLDER --add-user NAME --role operator|supervisor [--line NUMBER --operator-id ID]\n"
    "                   (a supervisor's --line: the station that rings to listen in on calls)\n"
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

// "a,b" as its names.
std::vector<std::string> ListOf(const std::string& text) {
  std::vector<std::string> names;
  std::size_t start = 0;
  while (start <= text.size()) {
    const auto end = std::min(text.find(',', start), text.size());
    if (end > start) names.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return names;
}

}  // namespace

int main(int argc, char** argv) {
  // What the gateway writes (the users' file, its copy) is for its owner only.
  ::umask(077);
  std::map<std::string, std::string> options = {
      {"--address", "127.0.0.1"}, {"--port", std::getenv("VANTREL_PORT") ? std::getenv("VANTREL_PORT") : "2809"},
      {"--listen", "127.0.0.1"},  {"--web-port", "8080"},
      {"--ini", "ini"},           {"--pages", VANTREL_WEB_PAGES}};
  static const std::set<std::string> known = {"--address", "--port", "--listen", "--web-port", "--ini", "--pages",
                                               "--tls-cert", "--tls-key", "--tls-key-password", "--tls-ca",
                                               "--add-user", "--role", "--line", "--operator-id", "--max-connections",
                                               "--allowed-hosts", "--crm-cache-seconds"};
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
    const long cacheSeconds = options.count("--crm-cache-seconds") ? std::stol(options["--crm-cache-seconds"]) : 60;
    link.SetSettings((std::filesystem::path(options["--ini"]) / "Settings.ini").string(),
                     std::chrono::seconds(std::max(0L, cacheSeconds)));
    vantrel::web::TWebUsers users((std::filesystem::path(options["--ini"]) / "WebUsers.ini").string());
    vantrel::web::TWebSessions sessions;
    vantrel::web::TLoginThrottle throttle;
    vantrel::web::TWebApi api(link, hub, users, sessions, throttle, options["--pages"], options["--listen"],
                              ListOf(options.count("--allowed-hosts") ? options["--allowed-hosts"] : ""));
    vantrel::web::TReportsApi reports(orb, corbaloc);
    api.SetReports(reports);
    vantrel::web::TRecordingsApi recordings(reports, options["--ini"]);
    api.SetRecordings(recordings);
    vantrel::web::TSipAccounts sipAccounts((std::filesystem::path(options["--ini"]) / "Exchange.ini").string());
    api.SetSipAccounts(sipAccounts);
    boost::asio::io_context context;
    // One thread hashes passwords, a few more logins wait for it; the rest are refused at once.
    vantrel::web::TLoginPool logins(1, 8);
    const auto address = boost::asio::ip::make_address(options["--listen"]);
    const std::size_t maxConnections = options.count("--max-connections")
                                           ? std::stoul(options["--max-connections"])
                                           : vantrel::web::THttpServer::DefaultMaxConnections();
    vantrel::web::THttpServer server(context, {address, static_cast<unsigned short>(std::stoi(options["--web-port"]))},
                                     api, hub, logins, maxConnections);
    server.Start();
    link.Start();
    boost::asio::signal_set signals(context, SIGINT, SIGTERM);
    signals.async_wait([&](const boost::system::error_code&, int) { context.stop(); });
    // Sessions of users removed from the file (or changed) end within a sweep, with their event sockets.
    boost::asio::steady_timer sweep(context);
    std::function<void()> sweepLater = [&] {
      sweep.expires_after(std::chrono::seconds(2));
      sweep.async_wait([&](const boost::system::error_code& error) {
        if (error) return;
        sessions.Sweep([&](const vantrel::web::TWebUser& user) { return users.StillValid(user); });
        sweepLater();
      });
    };
    sweepLater();
    std::cout << "vantrel-web: serving http://" << options["--listen"] << ":" << server.Port() << "/ for the server at "
              << corbaloc << std::endl;
    // Requests that act wait for the server; a few threads keep the others flowing meanwhile.
    std::vector<std::thread> threads;
    for (int i = 0; i < 3; ++i) threads.emplace_back([&] { context.run(); });
    context.run();
    for (auto& thread : threads) thread.join();
    logins.Stop();
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
