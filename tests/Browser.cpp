#include "Browser.h"

#include <openssl/evp.h>

#include <fstream>
#include <thread>

#include "HostProcess.h"

namespace {
constexpr const char* kDriver = "/usr/bin/chromedriver";
constexpr const char* kChromium = "/usr/bin/chromium";
}  // namespace

Browser::Browser(const std::vector<std::string>& switches) {
  if (!std::filesystem::exists(kDriver) || !std::filesystem::exists(kChromium)) {
    problem_ = "chromium and chromium-driver are not installed";
    return;
  }
  const int port = FreeLoopbackPort();
  driver_ = std::make_unique<SpawnedProgram>(std::vector<std::string>{kDriver, "--port=" + std::to_string(port)});
  if (!driver_->WaitForOutput("started successfully")) {
    problem_ = "chromedriver did not start: " + driver_->Output();
    return;
  }
  client_ = std::make_unique<WebClient>(port);
  profile_ = std::filesystem::temp_directory_path() / ("vantrel-chromium-" + std::to_string(port));
  // Without the background-networking switches Chromium keeps trying hosts this machine cannot reach.
  nlohmann::json arguments = {"--headless",
                                    "--no-sandbox",
                                    "--disable-gpu",
                                    "--disable-quic",
                                    "--no-first-run",
                                    "--disable-background-networking",
                                    "--disable-component-update",
                                    "--disable-sync",
                                    "--disable-dev-shm-usage",
                                    "--window-size=1280,900",
                                    "--user-data-dir=" + profile_.string()};
  for (const std::string& item : switches) arguments.push_back(item);
  const nlohmann::json capabilities = {
      {"capabilities",
       {{"alwaysMatch",
         {{"browserName", "chrome"}, {"goog:chromeOptions", {{"binary", kChromium}, {"args", arguments}}}}}}}};
  const auto answer = client_->Post("/session", capabilities);
  const auto reply = answer.Json();
  if (answer.status != 200 || !reply.contains("value") || !reply["value"].contains("sessionId")) {
    problem_ = "the browser did not start: " + answer.body;
    return;
  }
  session_ = reply["value"]["sessionId"].get<std::string>();
}

Browser::~Browser() {
  if (!session_.empty()) client_->Request("DELETE", "/session/" + session_);
  driver_.reset();
  std::error_code ignored;
  std::filesystem::remove_all(profile_, ignored);
}

void Browser::Open(const std::string& url) { client_->Post("/session/" + session_ + "/url", {{"url", url}}); }

nlohmann::json Browser::Run(const std::string& script) {
  const auto answer =
      client_->Post("/session/" + session_ + "/execute/sync", {{"script", script}, {"args", nlohmann::json::array()}});
  const auto reply = answer.Json();
  return answer.status == 200 && reply.contains("value") ? reply["value"] : nlohmann::json();
}

nlohmann::json Browser::RunAsync(const std::string& script) {
  const auto answer =
      client_->Post("/session/" + session_ + "/execute/async", {{"script", script}, {"args", nlohmann::json::array()}});
  const auto reply = answer.Json();
  return answer.status == 200 && reply.contains("value") ? reply["value"] : nlohmann::json();
}

bool Browser::WaitFor(const std::string& script, std::chrono::milliseconds deadline) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  while (Run(script) != true) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

bool Browser::Screenshot(const std::filesystem::path& file) {
  const auto reply = client_->Get("/session/" + session_ + "/screenshot").Json();
  if (!reply.contains("value") || !reply["value"].is_string()) return false;
  const std::string encoded = reply["value"].get<std::string>();
  std::string png(encoded.size() / 4 * 3 + 3, '\0');
  const int length =
      EVP_DecodeBlock(reinterpret_cast<unsigned char*>(png.data()),
                      reinterpret_cast<const unsigned char*>(encoded.data()), static_cast<int>(encoded.size()));
  if (length < 0) return false;
  // The block decoder counts the padding as data.
  std::size_t size = static_cast<std::size_t>(length);
  for (auto c = encoded.rbegin(); c != encoded.rend() && *c == '='; ++c) --size;
  png.resize(size);
  std::ofstream(file, std::ios::binary) << png;
  return true;
}

bool Browser::HoldClick(const std::string& selector, std::chrono::milliseconds hold) {
  const auto found =
      client_->Post("/session/" + session_ + "/element", {{"using", "css selector"}, {"value", selector}});
  const auto reply = found.Json();
  if (found.status != 200 || !reply.contains("value") || !reply["value"].is_object() || reply["value"].empty())
    return false;
  const nlohmann::json element = reply["value"];
  const nlohmann::json steps = {{{"type", "pointerMove"}, {"duration", 0}, {"origin", element}, {"x", 0}, {"y", 0}},
                                {{"type", "pointerDown"}, {"button", 0}},
                                {{"type", "pause"}, {"duration", hold.count()}},
                                {{"type", "pointerUp"}, {"button", 0}}};
  const nlohmann::json actions = {
      {"actions",
       {{{"type", "pointer"}, {"id", "mouse"}, {"parameters", {{"pointerType", "mouse"}}}, {"actions", steps}}}}};
  const bool done = client_->Post("/session/" + session_ + "/actions", actions).status == 200;
  client_->Request("DELETE", "/session/" + session_ + "/actions");
  return done;
}

void Browser::Resize(int width, int height) {
  client_->Post("/session/" + session_ + "/window/rect", {{"width", width}, {"height", height}});
}
