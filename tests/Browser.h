#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "SpawnedProgram.h"
#include "WebClient.h"

// Debian's Chromium, headless, driven through its WebDriver (chromedriver) as a person's browser.
class Browser {
 public:
  // Further command-line switches for Chromium (fake media devices, WebRTC on loopback).
  explicit Browser(const std::vector<std::string>& switches = {});
  ~Browser();
  // Empty when the browser runs; else why not.
  const std::string& Problem() const { return problem_; }

  void Open(const std::string& url);
  // Runs the script in the page (a function body; `return` gives the value).
  nlohmann::json Run(const std::string& script);
  // Runs the script and waits for it to call its last argument back with the value (promises, getStats).
  nlohmann::json RunAsync(const std::string& script);
  // Polls a script until it returns true; false at the deadline.
  bool WaitFor(const std::string& script, std::chrono::milliseconds deadline);
  bool Screenshot(const std::filesystem::path& file);
  // Presses the mouse on the element the selector finds, holds it, and lets go, as a person clicks.
  bool HoldClick(const std::string& selector, std::chrono::milliseconds hold);
  void Resize(int width, int height);

 private:
  std::unique_ptr<SpawnedProgram> driver_;
  std::unique_ptr<WebClient> client_;
  std::filesystem::path profile_;
  std::string session_;
  std::string problem_;
};
