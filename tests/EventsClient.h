#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

// A program listening to the gateway's live events over a WebSocket, as a browser page does.
class EventsClient {
 public:
  // Connects with the session cookie ("name=value"); Connected() says whether the gateway let it in.
  EventsClient(int port, const std::string& cookie, const std::string& origin = {});
  ~EventsClient();
  bool Connected() const { return connected_; }
  // The gateway closed the connection (or it broke) after letting it in.
  bool Closed() const { return closed_; }
  // The call events received so far, in order (each with "arrived": steady-clock microseconds when it came), and
  // the last state.
  std::vector<nlohmann::json> Events();
  nlohmann::json LastState();
  // Waits until the condition on (events, last state) holds; false at the deadline.
  bool WaitFor(const std::function<bool(const std::vector<nlohmann::json>&, const nlohmann::json&)>& condition,
               std::chrono::milliseconds deadline = std::chrono::seconds(10));

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  bool connected_ = false;
  std::atomic<bool> closed_{false};
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<nlohmann::json> events_;  // guarded by mutex_
  nlohmann::json state_;                // guarded by mutex_
  std::thread reader_;
};
