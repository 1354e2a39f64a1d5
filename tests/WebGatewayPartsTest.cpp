// The web gateway's own parts: the live-event fan-out under concurrent producers, and the users' passwords.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>

#include "WaitUntil.h"
#include "client/RemoteNames.h"
#include "web/EventHub.h"
#include "web/LoginThrottle.h"
#include "web/WebSessions.h"
#include "web/WebUsers.h"

using namespace std::chrono_literals;
using vantrel::web::TEventHub;
using vantrel::web::TLoginThrottle;
using vantrel::web::TWebSessions;
using vantrel::web::TWebUser;
using vantrel::web::TWebUsers;

namespace {

class RecordingSubscriber : public vantrel::web::IEventSubscriber {
 public:
  void Deliver(std::shared_ptr<const std::string> message, bool replaceable) override {
    std::lock_guard lock(mutex_);
    auto json = nlohmann::json::parse(*message);
    if (replaceable) {
      states_.push_back(json);
    } else {
      ++batches_;
      for (auto& event : json["events"]) events_.push_back(event);
    }
  }
  std::vector<nlohmann::json> Events() {
    std::lock_guard lock(mutex_);
    return events_;
  }
  std::vector<nlohmann::json> States() {
    std::lock_guard lock(mutex_);
    return states_;
  }
  int Batches() {
    std::lock_guard lock(mutex_);
    return batches_;
  }

 private:
  std::mutex mutex_;
  std::vector<nlohmann::json> events_, states_;
  int batches_ = 0;
};

TEST(EventHub, EventsFromManyThreadsArriveAllInOrderInBatches) {
  TEventHub hub;
  auto subscriber = std::make_shared<RecordingSubscriber>();
  hub.Subscribe(subscriber);
  constexpr int kThreads = 4, kEach = 2000;
  std::vector<std::thread> producers;
  for (int t = 0; t < kThreads; ++t)
    producers.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) hub.AddCallEvent(std::to_string(100 + t), i, "Offering");
    });
  for (auto& producer : producers) producer.join();
  ASSERT_TRUE(WaitUntil([&] { return subscriber->Events().size() == kThreads * kEach; }))
      << subscriber->Events().size();
  const auto events = subscriber->Events();
  std::map<std::string, long> lastOfLine;
  for (std::size_t i = 0; i < events.size(); ++i) {
    if (i > 0) ASSERT_EQ(events[i]["seq"], events[i - 1]["seq"].get<long>() + 1);
    const std::string line = events[i]["line"];
    const long call = events[i]["call"];
    if (lastOfLine.count(line)) ASSERT_EQ(call, lastOfLine[line] + 1) << "line " << line;
    lastOfLine[line] = call;
  }
  EXPECT_LT(subscriber->Batches(), kThreads * kEach / 10);
  EXPECT_EQ(hub.EventsSent(), static_cast<std::uint64_t>(kThreads * kEach));
}

TEST(EventHub, StatesAreCoalescedAndTheNewestReachesLateSubscribers) {
  TEventHub hub(20ms, 100ms);
  std::atomic<int> version{0}, asked{0};
  hub.SetStateSource([&] {
    ++asked;
    return nlohmann::json{{"n", version.load()}};
  });
  auto early = std::make_shared<RecordingSubscriber>();
  hub.Subscribe(early);
  const auto start = std::chrono::steady_clock::now();
  for (int i = 1; i <= 200; ++i) {
    version = i;
    hub.StateChanged();
    std::this_thread::sleep_for(1ms);
  }
  ASSERT_TRUE(WaitUntil([&] { return !early->States().empty() && early->States().back()["n"] == 200; }));
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  // One state per interval, and the last one.
  EXPECT_LE(early->States().size(), static_cast<std::size_t>(elapsed / 100ms + 2));
  EXPECT_EQ(asked.load(), static_cast<int>(early->States().size()));
  EXPECT_EQ(early->States().back()["type"], "state");

  auto late = std::make_shared<RecordingSubscriber>();
  hub.Subscribe(late);
  ASSERT_EQ(late->States().size(), 1u);
  EXPECT_EQ(late->States().front()["n"], 200);

  EXPECT_EQ(hub.Subscribers(), 2u);
  late.reset();
  EXPECT_EQ(hub.Subscribers(), 1u);
}

class WebUsersFile : public ::testing::Test {
 protected:
  void TearDown() override { std::filesystem::remove_all(folder_); }
  std::filesystem::path folder_ =
      std::filesystem::temp_directory_path() / ("vantrel-web-users-" + std::to_string(::getpid()));
  std::string file_ = (std::filesystem::create_directories(folder_), (folder_ / "WebUsers.ini").string());
};

TEST_F(WebUsersFile, PasswordsAreKeptSaltedAndChecked) {
  TWebUsers users(file_);
  users.Put({"anna", "operator", "103", 1}, "same-password");
  users.Put({"boris", "operator", "104", 2}, "same-password");
  users.Put({"super", "supervisor", "", 0}, "another-password");

  const auto anna = users.Authenticate("anna", "same-password");
  ASSERT_TRUE(anna);
  EXPECT_EQ(anna->role, "operator");
  EXPECT_EQ(anna->line, "103");
  EXPECT_EQ(anna->operatorID, 1);
  EXPECT_FALSE(users.Authenticate("anna", "same-passwore"));
  EXPECT_FALSE(users.Authenticate("nobody", "same-password"));
  EXPECT_TRUE(users.Authenticate("super", "another-password"));

  std::ifstream in(file_);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text.find("same-password"), std::string::npos);
  // The same password, salted apart.
  const auto first = text.find("Password=");
  const auto second = text.find("Password=", first + 1);
  EXPECT_NE(text.substr(first, text.find('\n', first) - first), text.substr(second, text.find('\n', second) - second));
  struct stat status {};
  ASSERT_EQ(::stat(file_.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);

  // A hash changed by hand, or an entry missing what an operator needs, lets nobody in.
  std::string changed = text;
  const auto digit = changed.find('$', changed.find('$', first + 25) + 1) + 1;
  changed[digit] = changed[digit] == '0' ? '1' : '0';
  std::ofstream(file_) << changed << "[ghost]\nRole=operator\nPassword=" << TWebUsers::HashPassword("ghost-password")
                       << "\n";
  EXPECT_FALSE(users.Authenticate("anna", "same-password"));
  EXPECT_FALSE(users.Authenticate("ghost", "ghost-password"));
}

TEST_F(WebUsersFile, BadUsersAreRefusedBeforeTheFileIsTouched) {
  TWebUsers users(file_);
  EXPECT_THROW(users.Put({"../etc", "supervisor", "", 0}, "long-enough"), std::invalid_argument);
  EXPECT_THROW(users.Put({"anna", "admin", "", 0}, "long-enough"), std::invalid_argument);
  EXPECT_THROW(users.Put({"anna", "operator", "", 1}, "long-enough"), std::invalid_argument);
  EXPECT_THROW(users.Put({"anna", "operator", "103; rm", 1}, "long-enough"), std::invalid_argument);
  EXPECT_THROW(users.Put({"anna", "operator", "103", 1}, "short"), std::invalid_argument);
  EXPECT_FALSE(std::filesystem::exists(file_));
}

TEST(WebSessions, TokensOpenUntilClosedOrExpired) {
  TWebSessions sessions(1s);
  const std::string token = sessions.Open({"anna", "operator", "103", 1});
  EXPECT_EQ(token.size(), 64u);
  ASSERT_TRUE(sessions.Find(token));
  EXPECT_EQ(sessions.Find(token)->name, "anna");
  EXPECT_FALSE(sessions.Find(token + "0"));
  EXPECT_FALSE(sessions.Find(""));
  sessions.Close(token);
  EXPECT_FALSE(sessions.Find(token));
  const std::string other = sessions.Open({"super", "supervisor", "", 0});
  EXPECT_NE(other, token);
  EXPECT_TRUE(WaitUntil([&] { return !sessions.Find(other); }, 3s));
}

class EndRecorder : public vantrel::web::ISessionEnd {
 public:
  void EndSession() override { ++ended; }
  std::atomic<int> ended{0};
};

TEST(WebSessions, LoggingOutOrLosingTheUserEndsWhatWatchesTheSession) {
  TWebSessions sessions;
  const std::string anna = sessions.Open({"anna", "operator", "103", 1});
  const std::string boris = sessions.Open({"boris", "operator", "104", 2});
  auto annaSocket = std::make_shared<EndRecorder>(), borisSocket = std::make_shared<EndRecorder>();
  sessions.Watch(anna, annaSocket);
  sessions.Watch(boris, borisSocket);
  sessions.Close(anna);
  EXPECT_EQ(annaSocket->ended, 1);
  EXPECT_EQ(borisSocket->ended, 0);
  // A socket that comes for a session already closed ends at once.
  auto late = std::make_shared<EndRecorder>();
  sessions.Watch(anna, late);
  EXPECT_EQ(late->ended, 1);

  sessions.Sweep([](const TWebUser& user) { return user.name != "boris"; });
  EXPECT_EQ(borisSocket->ended, 1);
  EXPECT_FALSE(sessions.Find(boris));
}

TEST_F(WebUsersFile, ARemovedOrChangedUserIsNoLongerValid) {
  TWebUsers users(file_);
  users.Put({"anna", "operator", "103", 1}, "anna-password");
  users.Put({"boris", "operator", "104", 2}, "boris-password");
  const TWebUser anna{"anna", "operator", "103", 1}, boris{"boris", "operator", "104", 2};
  EXPECT_TRUE(users.StillValid(anna));
  users.Put({"anna", "operator", "104", 1}, "anna-password");
  EXPECT_FALSE(users.StillValid(anna));
  // Removed by hand, as an administrator edits the file.
  std::ifstream in(file_);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  in.close();
  text.erase(text.find("[boris]"), text.find("[", text.find("[boris]") + 1) - text.find("[boris]"));
  std::ofstream(file_) << text;
  EXPECT_FALSE(users.StillValid(boris));
  EXPECT_FALSE(users.Find("boris"));
}

TEST(LoginThrottle, WrongPasswordsHoldTheAddressAndTheNameBackForThatAddressOnly) {
  TLoginThrottle throttle;
  const auto start = TLoginThrottle::TClock::now();
  for (int i = 0; i < TLoginThrottle::kNameFailures; ++i) {
    EXPECT_EQ(throttle.WaitBeforeTry("192.0.2.1", "super", start).count(), 0);
    throttle.NoteLogin("192.0.2.1", "super", false, start);
  }
  EXPECT_GT(throttle.WaitBeforeTry("192.0.2.1", "super", start).count(), 0);
  // Another address that has not failed is not locked out of the name.
  EXPECT_EQ(throttle.WaitBeforeTry("192.0.2.2", "super", start).count(), 0);
  // The failing address backs off longer with each failure, for every name.
  EXPECT_EQ(throttle.WaitBeforeTry("192.0.2.1", "anna", start).count(), 1);
  throttle.NoteLogin("192.0.2.1", "anna", false, start + 1s);
  EXPECT_EQ(throttle.WaitBeforeTry("192.0.2.1", "anna", start + 1s).count(), 2);
  // The name's hold ends after a minute; the address's back-off before that.
  EXPECT_EQ(throttle.WaitBeforeTry("192.0.2.1", "anna", start + 10s).count(), 0);
  EXPECT_GT(throttle.WaitBeforeTry("192.0.2.1", "super", start + 10s).count(), 0);
  EXPECT_EQ(throttle.WaitBeforeTry("192.0.2.1", "super", start + 61s).count(), 0);
  // A whole IPv6 /64 counts as one address.
  EXPECT_EQ(TLoginThrottle::AddressKey("2001:db8:1:2:3:4:5:6"), TLoginThrottle::AddressKey("2001:db8:1:2::9"));
  EXPECT_NE(TLoginThrottle::AddressKey("2001:db8:1:2::9"), TLoginThrottle::AddressKey("2001:db8:1:3::9"));
}

TEST(LoginThrottle, AFloodOfAddressesForgetsTheOldestNotAll) {
  TLoginThrottle throttle(100, 4);
  const auto start = TLoginThrottle::TClock::now();
  for (int i = 0; i < 5; ++i) throttle.NoteLogin("192.0.2.1", "super", false, start);
  // Junk names from the same address fill only that address's few places, never its lock on the name...
  for (int i = 0; i < 3; ++i) throttle.NoteLogin("192.0.2.1", "junk" + std::to_string(i), false, start + 1s);
  EXPECT_GT(throttle.WaitBeforeTry("192.0.2.1", "super", start + 2s).count(), 0);
  // ...and failures from many other addresses push out the one touched longest ago, one at a time.
  for (int i = 0; i < 99; ++i)
    for (int n = 0; n < 5; ++n)
      throttle.NoteLogin("198.51.100." + std::to_string(i), "x", false, start + 2s + std::chrono::milliseconds(i));
  EXPECT_EQ(throttle.AddressesKept(), 100u);
  EXPECT_GT(throttle.WaitBeforeTry("192.0.2.1", "super", start + 2s).count(), 0);
  throttle.NoteLogin("203.0.113.1", "x", false, start + 2s);
  EXPECT_EQ(throttle.AddressesKept(), 100u);
  EXPECT_EQ(throttle.WaitBeforeTry("192.0.2.1", "super", start + 2s).count(), 0);
  EXPECT_GT(throttle.WaitBeforeTry("198.51.100.0", "x", start + 2s).count(), 0);
}

TEST(PauseReasons, NamesComeFromTheSettingsAndBadEntriesAreSkipped) {
  const auto file = std::filesystem::temp_directory_path() / ("vantrel-pause-" + std::to_string(::getpid()) + ".ini");
  std::ofstream(file) << "[Operators]\nPauseReasons=1=Lunch, 2 = Training,x=Bad,3=,4=Coaching\n";
  const auto names = vantrel::ReadPauseReasons(file.string());
  std::filesystem::remove(file);
  EXPECT_EQ(names, (std::map<long, std::string>{{1, "Lunch"}, {2, "Training"}, {4, "Coaching"}}));
  EXPECT_EQ(vantrel::PauseReasonName(names, 2), "Training");
  EXPECT_EQ(vantrel::PauseReasonName(names, 7), "reason 7");
  EXPECT_EQ(vantrel::PauseReasonName(names, -1), "no answer");
}

}  // namespace
