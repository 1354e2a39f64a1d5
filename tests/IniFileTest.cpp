#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include "support/AtomicFile.h"
#include "support/IniFile.h"
#include "support/IniStorage.h"

using vantrel::TIniStorage;
using vantrel::TMemIniFile;

namespace {

class IniFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ =
        std::filesystem::temp_directory_path() / ("vantrel-ini-" + std::to_string(::getpid()) + "-" +
                                                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(folder_);
    std::filesystem::create_directories(folder_);
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  std::string Write(const std::string& name, const std::string& content) {
    const std::string path = (folder_ / name).string();
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }
  static std::string Read(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
  }

  std::filesystem::path folder_;
};

}  // namespace

TEST_F(IniFolder, ValuesRoundTripThroughTheFileInFileOrder) {
  const std::string path = (folder_ / "Rules.ini").string();
  {
    TMemIniFile ini(path);
    ini.WriteString("Rules", "Name", "Main rules");
    ini.WriteInteger("Rules", "Rules_Items", 2);
    ini.WriteBool("Rules", "Enabled", true);
    ini.WriteString("Rules_0", "Name", "First = with equals");
    ini.UpdateFile();
  }
  TMemIniFile again(path);
  EXPECT_EQ(again.ReadString("Rules", "Name", ""), "Main rules");
  EXPECT_EQ(again.ReadInteger("Rules", "Rules_Items", -1), 2);
  EXPECT_TRUE(again.ReadBool("Rules", "Enabled", false));
  EXPECT_EQ(again.ReadString("Rules_0", "Name", ""), "First = with equals");
  EXPECT_EQ(again.ReadSections(), (std::vector<std::string>{"Rules", "Rules_0"}));
  EXPECT_EQ(again.ReadSection("Rules"), (std::vector<std::string>{"Name", "Rules_Items", "Enabled"}));
}

TEST_F(IniFolder, LookUpsIgnoreCaseAndMissingEntriesGiveTheDefault) {
  TMemIniFile ini(Write("a.ini", "[Connection]\nConnectionString=abc\nCrypt=1\nBad=12x\n"));
  EXPECT_EQ(ini.ReadString("connection", "CONNECTIONSTRING", ""), "abc");
  EXPECT_EQ(ini.ReadString("Missing", "Key", "dflt"), "dflt");
  EXPECT_EQ(ini.ReadString("Connection", "Missing", "dflt"), "dflt");
  EXPECT_EQ(ini.ReadInteger("Connection", "Bad", 7), 7);
  EXPECT_FALSE(ini.SectionExists("Nothing"));
  EXPECT_TRUE(ini.ValueExists("CONNECTION", "crypt"));
}

TEST_F(IniFolder, CrLfFilesReadLikeUnixFiles) {
  TMemIniFile ini(Write("crlf.ini", "[Lines]\r\nName=Lines\r\nLines_Items=3\r\n"));
  EXPECT_EQ(ini.ReadString("Lines", "Name", ""), "Lines");
  EXPECT_EQ(ini.ReadInteger("Lines", "Lines_Items", 0), 3);
}

TEST_F(IniFolder, DuplicateKeysReadTheFirstAndKeepTheOthers) {
  const std::string path = Write("dup.ini", "[S]\nKey=first\nKey=second\n[S]\nOther=x\n");
  TMemIniFile ini(path);
  EXPECT_EQ(ini.ReadString("S", "Key", ""), "first");
  EXPECT_EQ(ini.ReadString("S", "Other", ""), "x");
  ini.WriteString("S", "Key", "changed");
  ini.UpdateFile();
  EXPECT_EQ(Read(path), "[S]\r\nKey=changed\r\nKey=second\r\nOther=x\r\n");
}

TEST_F(IniFolder, EraseSectionAndDeleteKeyLeaveNoTrace) {
  TMemIniFile ini(Write("e.ini", "; kept comment\n[A]\nx=1\ny=2\n[B]\nz=3\n"));
  ini.DeleteKey("A", "X");
  ini.EraseSection("b");
  EXPECT_EQ(ini.ToText(), "; kept comment\r\n\r\n[A]\r\ny=2\r\n");
  // The sections after an erased one are still found, and one written again goes at the end.
  TMemIniFile three(Write("three.ini", "[A]\nx=1\n[B]\ny=2\n[C]\nz=3\n"));
  three.EraseSection("A");
  EXPECT_EQ(three.ReadString("c", "Z", ""), "3");
  three.WriteString("a", "x", "4");
  EXPECT_EQ(three.ReadString("A", "x", ""), "4");
  EXPECT_EQ(three.ToText(), "[B]\r\ny=2\r\n\r\n[C]\r\nz=3\r\n\r\n[a]\r\nx=4\r\n");
}

TEST_F(IniFolder, ValuesWithLineBreaksCannotSplitTheFile) {
  const std::string path = (folder_ / "n.ini").string();
  TMemIniFile ini(path);
  ini.WriteString("S", "Key", "one\r\n[Injected]\nEvil=1");
  ini.UpdateFile();
  TMemIniFile again(path);
  EXPECT_FALSE(again.SectionExists("Injected"));
  EXPECT_EQ(again.ReadString("S", "Key", ""), "one  [Injected] Evil=1");
}

TEST_F(IniFolder, MissingFileIsAnEmptyObject) {
  TMemIniFile ini((folder_ / "none.ini").string());
  EXPECT_TRUE(ini.ReadSections().empty());
  EXPECT_FALSE(std::filesystem::exists(folder_ / "none.ini"));
}

TEST_F(IniFolder, CacheSharesOneObjectAcrossLetterCaseAndReleaseWritesIt) {
  TIniStorage storage;
  const std::string path = (folder_ / "Lines.ini").string();
  std::string upper = path;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  TMemIniFile* first = storage.GetIniFile(path);
  storage.GetIniFile((folder_ / "Other.ini").string());
  EXPECT_EQ(storage.GetIniFile(upper), first);
  first->WriteString("Lines", "Name", "Lines");
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_TRUE(storage.ReleaseIniFile(upper));
  EXPECT_EQ(Read(path), "[Lines]\r\nName=Lines\r\n");
  EXPECT_FALSE(storage.ReleaseIniFile(path));
}

TEST_F(IniFolder, ReleasingAnUncachedFileWritesNothing) {
  TIniStorage storage;
  EXPECT_FALSE(storage.ReleaseIniFile((folder_ / "never.ini").string()));
  EXPECT_FALSE(std::filesystem::exists(folder_ / "never.ini"));
}

namespace {
std::string ContentOf(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}
}  // namespace

TEST_F(IniFolder, ASaveReplacesTheFileInOneStepAndKeepsThePreviousCopy) {
  const std::string path = (folder_ / "Rules.ini").string();
  vantrel::WriteFileAtomically(path, "[Rules]\nName=first\n");
  vantrel::WriteFileAtomically(path, "[Rules]\nName=second\n");
  EXPECT_EQ(ContentOf(path), "[Rules]\nName=second\n");
  EXPECT_EQ(ContentOf(vantrel::BackupFileName(path)), "[Rules]\nName=first\n");
  EXPECT_EQ(std::filesystem::status(path).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  for (const auto& entry : std::filesystem::directory_iterator(folder_)) {
    EXPECT_EQ(entry.path().string().find(".tmp-"), std::string::npos) << entry.path();  // nothing left over
  }
  // A save that cannot be made leaves the file as it was.
  std::filesystem::create_directories(folder_ / "Lines.ini");
  EXPECT_THROW(vantrel::WriteFileAtomically((folder_ / "Lines.ini").string(), "x"), std::system_error);
  EXPECT_TRUE(std::filesystem::is_directory(folder_ / "Lines.ini"));
}

TEST_F(IniFolder, AKillAtAnyMomentOfASaveLeavesTheOldFileOrTheNewOne) {
#ifdef __SANITIZE_THREAD__
  GTEST_SKIP() << "ThreadSanitizer does not follow a forked child of a threaded process";
#endif
  const std::string path = (folder_ / "Rules.ini").string();
  const std::string first(1 << 20, 'a'), second(1 << 20, 'b');
  vantrel::WriteFileAtomically(path, first);
  for (int round = 0; round < 20; ++round) {
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    if (child == 0) {
      ::close(ready[0]);
      for (int i = 0;; ++i) {
        vantrel::WriteFileAtomically(path, i % 2 == 0 ? second : first);
        if (i == 0) (void)!::write(ready[1], "x", 1);
      }
    }
    ::close(ready[1]);
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);  // the child is saving over and over
    ::close(ready[0]);
    ::usleep(static_cast<useconds_t>(round * 1500));  // a kill at a different moment of a save each round
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    const std::string content = ContentOf(path);
    EXPECT_TRUE(content == first || content == second) << "round " << round << ": " << content.size() << " bytes";
  }
}

TEST_F(IniFolder, AnEmptiedFileIsReadFromItsPreviousCopyAndSaidSo) {
  const std::string path = (folder_ / "Rules.ini").string();
  vantrel::WriteFileAtomically(path, "[Rules]\nName=kept\n");
  vantrel::WriteFileAtomically(path, "[Rules]\nName=latest\n");
  std::ofstream(path, std::ios::trunc).close();  // what a writer that truncated in place left behind
  EXPECT_EQ(TMemIniFile(path).ReadString("Rules", "Name", ""), "kept");
  std::filesystem::remove(vantrel::BackupFileName(path));
  EXPECT_EQ(TMemIniFile(path).ReadString("Rules", "Name", "none"), "none");  // nothing to fall back on
}
