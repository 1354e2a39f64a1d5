#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "support/Logger.h"
#include "support/VantrelCommonRoutines.h"

using namespace vantrel;
namespace fs = std::filesystem;

namespace {

class LogFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = fs::temp_directory_path() / ("vantrel-logs-" + std::to_string(::getpid()) + "-" +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(folder_);
    logDir_ = (folder_ / "Logs").string() + "/";
    ASSERT_TRUE(InitLogFiles(logDir_, "Server"));
  }
  void TearDown() override { fs::remove_all(folder_); }

  std::string ReadLog(const std::string& infoOrError) {
    for (const auto& entry : fs::directory_iterator(logDir_)) {
      if (entry.path().filename().string().rfind("VantrelServer" + infoOrError, 0) == 0) {
        std::ifstream file(entry.path());
        std::ostringstream text;
        text << file.rdbuf();
        return text.str();
      }
    }
    return "(no file)";
  }

  fs::path folder_;
  std::string logDir_;
};

}  // namespace

TEST_F(LogFolder, InitMakesTheFolderAndAnEmptyPairNamedByTheTimeStamp) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(logDir_)) names.push_back(entry.path().filename().string());
  ASSERT_EQ(names.size(), 2u);
  const std::regex pattern(R"(VantrelServer(Info|Error) \d{4}\.\d{2}\.\d{2} \d{2}-\d{2}-\d{2}\.log)");
  for (const auto& name : names) EXPECT_TRUE(std::regex_match(name, pattern)) << name;
  EXPECT_EQ(ReadLog("Info"), "");
}

TEST_F(LogFolder, DoubledPercentWritesOnePercentSign) {
  LogMessage("Load 100%% done");
  EXPECT_NE(ReadLog("Info").find("] Load 100% done\n"), std::string::npos);
}

TEST_F(LogFolder, LonePercentPutsTheFormatFailureIntoTheErrorLog) {
  LogMessage("50% off");
  EXPECT_EQ(ReadLog("Info"), "");
  EXPECT_NE(ReadLog("Error").find("Format '50% off' invalid or incompatible with argument"), std::string::npos);
}

TEST_F(LogFolder, LinesCarryTimeStampAndThreadId) {
  LogFormat("RunEnvironment: %s : %s", {"127.0.0.1", "2809"});
  const std::regex line(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} \[\d+\] RunEnvironment: 127\.0\.0\.1 : 2809\n)");
  EXPECT_TRUE(std::regex_match(ReadLog("Info"), line)) << ReadLog("Info");
}

TEST_F(LogFolder, ATextWithLineBreaksStaysOneRecordAndForgesNoLine) {
  // As a client's DoError text would come: a second "line" dressed as the server's own.
  LogErrorLine(
      "METHOD ERROR x [y] : bad\n2026-01-01 00:00:00.000 [1] forged\r\x01"
      "end");
  const std::string log = ReadLog("Error");
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
  EXPECT_NE(log.find("bad\\n2026-01-01 00:00:00.000 [1] forged\\r\\x01end"), std::string::npos) << log;
}

TEST_F(LogFolder, ConcurrentWritersKeepEveryLineWhole) {
  std::vector<std::thread> writers;
  const std::string payload(300, 'x');
  for (int t = 0; t < 8; ++t) {
    writers.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) LogFormat("writer %d line %d %s", {t, i, payload});
    });
  }
  for (auto& writer : writers) writer.join();
  std::istringstream lines(ReadLog("Info"));
  const std::regex whole(R"(.*\] writer \d line \d+ x{300})");
  int count = 0;
  for (std::string line; std::getline(lines, line); ++count) ASSERT_TRUE(std::regex_match(line, whole)) << line;
  EXPECT_EQ(count, 8 * 200);
}

TEST_F(LogFolder, ASecondInitWithinTheSameSecondEmptiesTheSameFiles) {
  LogMessage("before");
  ASSERT_TRUE(InitLogFiles(logDir_, "Server"));
  std::size_t files = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(logDir_)) ++files;
  if (files == 2) EXPECT_EQ(ReadLog("Info"), "");  // a new second may have begun: then a new pair exists
}

TEST(Logging, InitIntoAnUnwritablePlaceFailsQuietly) { EXPECT_FALSE(InitLogFiles("/proc/vantrel-cannot/", "Server")); }
