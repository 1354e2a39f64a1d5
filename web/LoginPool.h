// The threads that check passwords. A check costs a deliberate hash, so it runs here, apart from the threads
// that serve everything else, and a burst of logins waits in a short line or is refused at once.
#pragma once

#include <atomic>
#include <boost/asio/post.hpp>
#include <boost/asio/thread_pool.hpp>
#include <cstddef>
#include <functional>

namespace vantrel::web {

class TLoginPool {
 public:
  TLoginPool(std::size_t threads, std::size_t mostWaiting) : pool_(threads), most_(threads + mostWaiting) {}
  ~TLoginPool() { pool_.join(); }
  TLoginPool(const TLoginPool&) = delete;
  TLoginPool& operator=(const TLoginPool&) = delete;

  // False when the pool is full: the caller answers at once instead.
  bool TryPost(std::function<void()> work) {
    if (taken_.fetch_add(1) >= most_) {
      --taken_;
      return false;
    }
    boost::asio::post(pool_, [this, work = std::move(work)] {
      work();
      --taken_;
    });
    return true;
  }
  void Stop() { pool_.stop(); }

 private:
  boost::asio::thread_pool pool_;
  const std::size_t most_;
  std::atomic<std::size_t> taken_{0};
};

}  // namespace vantrel::web
