#include "SipCallerNames.h"

#include <exception>

namespace vantrel::telephony {

namespace {
constexpr auto kKeptFor = std::chrono::seconds(60);
constexpr std::size_t kMostKnown = 10000;
constexpr std::size_t kMostAsked = 256;  // beyond it a caller rings without a name rather than wait
constexpr std::size_t kLongestDisplayName = 64;
}  // namespace

TSipCallerNames::TSipCallerNames() : thread_([this] { Run(); }) {}

TSipCallerNames::~TSipCallerNames() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void TSipCallerNames::SetLookup(TLookup lookup) {
  std::lock_guard lock(mutex_);
  lookup_ = std::move(lookup);
  known_.clear();
}

TSipCallerNames::TFound TSipCallerNames::Find(const std::string& number, std::string* name,
                                              std::function<void()> whenAnswered) {
  std::lock_guard lock(mutex_);
  if (!lookup_ || number.empty()) return TFound::Never;
  const auto known = known_.find(number);
  if (known != known_.end() && TClock::now() - known->second.learned < kKeptFor) {
    if (name != nullptr) *name = known->second.name;
    return TFound::Known;
  }
  auto waiting = waiting_.find(number);
  if (waiting == waiting_.end()) {
    if (asked_.size() >= kMostAsked) return TFound::Never;
    asked_.push_back(number);
    waiting = waiting_.emplace(number, std::vector<std::function<void()>>()).first;
    wake_.notify_one();
  }
  if (whenAnswered) waiting->second.push_back(std::move(whenAnswered));
  return TFound::Asked;
}

void TSipCallerNames::Run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [&] { return stopping_ || !asked_.empty(); });
    if (stopping_) return;
    const std::string number = asked_.front();
    asked_.pop_front();
    const TLookup lookup = lookup_;
    lock.unlock();
    std::string name;
    try {
      if (lookup) name = DisplayName(lookup(number));
    } catch (...) {
      // The directory cannot answer now: the caller rings with the number alone.
    }
    lock.lock();
    if (known_.size() >= kMostKnown) known_.clear();
    known_[number] = {name, TClock::now()};
    std::vector<std::function<void()>> waiters = std::move(waiting_[number]);
    waiting_.erase(number);
    lock.unlock();
    for (auto& waiter : waiters) waiter();
    lock.lock();
  }
}

std::string TSipCallerNames::DisplayName(const std::string& name) {
  std::string shown;
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\' || byte < 0x20 || byte == 0x7F) continue;
    shown += c;
  }
  if (shown.size() > kLongestDisplayName) {
    shown.resize(kLongestDisplayName);
    // Not in the middle of a UTF-8 character.
    while (!shown.empty() && (static_cast<unsigned char>(shown.back()) & 0xC0) == 0x80) shown.pop_back();
    if (!shown.empty() && (static_cast<unsigned char>(shown.back()) & 0x80) != 0) shown.pop_back();
  }
  const auto first = shown.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  return shown.substr(first, shown.find_last_not_of(' ') - first + 1);
}

}  // namespace vantrel::telephony
