// The library as a host sees it: loaded with dlopen, driven through its five exports.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

namespace {

using RunEnvironmentFunction = unsigned char (*)(const char*, const char*, const char*);
using VoidFunction = unsigned char (*)();

class LoadedLibrary : public ::testing::Test {
 protected:
  void SetUp() override {
    // Debugger output to a file: the only trace of lines written before the log files exist.
    setenv("VANTREL_DEBUG", "1", 1);
    debugFile_ = std::filesystem::temp_directory_path() / ("vantrel-exports-" + std::to_string(::getpid()) + ".txt");
    savedStderr_ = ::dup(STDERR_FILENO);
    const int file = ::open(debugFile_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(file, STDERR_FILENO);
    ::close(file);
    library_ = ::dlopen(VANTREL_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library_, nullptr) << ::dlerror();
    runEnvironment_ = reinterpret_cast<RunEnvironmentFunction>(::dlsym(library_, "RunEnvironment"));
    initEnvironment_ = reinterpret_cast<VoidFunction>(::dlsym(library_, "InitEnvironment"));
    stopEnvironment_ = reinterpret_cast<VoidFunction>(::dlsym(library_, "StopEnvironment"));
    stopORBThread_ = reinterpret_cast<VoidFunction>(::dlsym(library_, "StopORBThread"));
    ASSERT_TRUE(runEnvironment_ && initEnvironment_ && stopEnvironment_ && stopORBThread_);
  }
  void TearDown() override {
    ::dup2(savedStderr_, STDERR_FILENO);
    ::close(savedStderr_);
    std::filesystem::remove(debugFile_);
  }
  std::string DebugOutput() const {
    std::ifstream file(debugFile_);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
  }

  void* library_ = nullptr;
  RunEnvironmentFunction runEnvironment_ = nullptr;
  VoidFunction initEnvironment_ = nullptr, stopEnvironment_ = nullptr, stopORBThread_ = nullptr;
  std::filesystem::path debugFile_;
  int savedStderr_ = -1;
};

}  // namespace

TEST(Exports, TheLibraryExportsExactlyTheFiveEntryPoints) {
  const std::string command = std::string("nm -D --defined-only ") + VANTREL_LIBRARY_PATH;
  FILE* pipe = ::popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::set<std::string> exported;
  char line[1024];
  while (std::fgets(line, sizeof line, pipe) != nullptr) {
    std::istringstream fields(line);
    std::string address, type, name;
    fields >> address >> type >> name;
    if (type == "T" || type == "D" || type == "B" || type == "R") exported.insert(name);
  }
  ::pclose(pipe);
  EXPECT_EQ(exported, (std::set<std::string>{"InitEnvironment", "RunEnvironment", "RunORBThread", "StopEnvironment",
                                             "StopORBThread"}));
}

TEST_F(LoadedLibrary, InitBeforeRunFailsAndLogsOnlyItsName) {
  EXPECT_EQ(initEnvironment_(), 0);
  EXPECT_EQ(DebugOutput(), "InitEnvironment\n");
}

TEST_F(LoadedLibrary, StopsSucceedInEveryStateAndChangeNothingWithoutAThread) {
  EXPECT_EQ(stopEnvironment_(), 1);
  EXPECT_EQ(stopORBThread_(), 1);
  EXPECT_EQ(stopORBThread_(), 1);
  EXPECT_EQ(DebugOutput(), "");
}

TEST_F(LoadedLibrary, AFailedOrbInitialisationCreatesNoEnvironment) {
  const auto ini = std::filesystem::temp_directory_path() / ("vantrel-exports-ini-" + std::to_string(::getpid()));
  EXPECT_EQ(runEnvironment_("127.0.0.1", "not-a-port", ini.c_str()), 0);
  const std::string debug = DebugOutput();
  // omniORB refuses the endpoint when the POA starts listening, so the error follows the ORB's steps.
  EXPECT_NE(debug.find("RunEnvironment error: INITIALIZE"), std::string::npos) << debug;
  EXPECT_EQ(debug.find("TEnvironment_Impl.Create()"), std::string::npos);
  EXPECT_EQ(debug.find("ORB thread started"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(ini / "Logs"));
  EXPECT_EQ(initEnvironment_(), 0);
  EXPECT_EQ(stopORBThread_(), 1);
}

TEST_F(LoadedLibrary, RunInitAndStopInOneProcessWithAPathWithoutSeparator) {
  const auto ini = std::filesystem::temp_directory_path() / ("vantrel-exports-run-" + std::to_string(::getpid()));
  std::filesystem::create_directories(ini);
  EXPECT_EQ(runEnvironment_("127.0.0.1", "0", ini.c_str()), 1);
  EXPECT_EQ(initEnvironment_(), 1);
  EXPECT_TRUE(std::filesystem::is_directory(ini / "Logs"));
  EXPECT_EQ(stopORBThread_(), 1);
  EXPECT_EQ(stopORBThread_(), 1);
  EXPECT_EQ(stopEnvironment_(), 1);
  std::filesystem::remove_all(ini);
}
