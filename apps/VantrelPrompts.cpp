// vantrel-prompts: makes the prompts callers hear, in the prompts folder of an INI folder: the list prompts.txt
// (the default English set, when there is no list yet) and, for each listed prompt without a sound, NAME.wav
// spoken by espeak-ng and brought down to 8 kHz. Sounds already there (recorded by the site) are kept.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/AtomicFile.h"
#include "support/PromptSet.h"
#include "support/WavSound.h"

extern char** environ;

namespace {

constexpr std::size_t kMaxSpeech = 16 * 1024 * 1024;

void PrintUsage(std::ostream& out) {
  out << "usage: vantrel-prompts --ini DIR [--voice VOICE]\n"
         "  --ini DIR      the INI folder; the prompts go to its [Prompts] Folder= (default DIR/Prompts)\n"
         "  --voice VOICE  espeak-ng's voice (default en)\n";
}

// espeak-ng's WAV of the words, read from its standard output; no shell sees the words.
std::string Speak(const std::string& voice, const std::string& words) {
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
  std::vector<std::string> args = {"espeak-ng", "-v", voice, "--stdout", "--", words};
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t child = 0;
  const int spawned = posix_spawnp(&child, "espeak-ng", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeFds[1]);
  if (spawned != 0) {
    ::close(pipeFds[0]);
    throw std::runtime_error(std::string("cannot run espeak-ng (apt-get install espeak-ng): ") + std::strerror(spawned));
  }
  std::string bytes;
  char chunk[8192];
  for (ssize_t count; (count = ::read(pipeFds[0], chunk, sizeof chunk)) != 0;) {
    if (count < 0 && errno == EINTR) continue;
    if (count < 0 || bytes.size() > kMaxSpeech) break;
    bytes.append(chunk, static_cast<std::size_t>(count));
  }
  ::close(pipeFds[0]);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) throw std::runtime_error("espeak-ng failed");
  return bytes;
}

}  // namespace

int main(int argc, char** argv) {
  std::string ini;
  std::string voice = "en";
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if ((arg == "--ini" || arg == "--voice") && i + 1 < argc) {
      (arg == "--ini" ? ini : voice) = argv[++i];
    } else if (arg == "--help") {
      PrintUsage(std::cout);
      return 0;
    } else {
      PrintUsage(std::cerr);
      return 2;
    }
  }
  if (ini.empty()) {
    PrintUsage(std::cerr);
    return 2;
  }
  try {
    const std::filesystem::path folder = vantrel::TPromptSet::FolderOf(ini);
    std::filesystem::create_directories(folder);
    const std::filesystem::path list = folder / "prompts.txt";
    if (!std::filesystem::exists(list))
      vantrel::WriteFileAtomically(list.string(), vantrel::TPromptSet::ListText(vantrel::TPromptSet::DefaultEntries()));
    std::ostringstream text;
    text << std::ifstream(list).rdbuf();
    int made = 0;
    for (const vantrel::TPromptEntry& entry : vantrel::TPromptSet::ParseList(text.str())) {
      const std::filesystem::path file = folder / (entry.name + ".wav");
      if (std::filesystem::exists(file) || entry.words.empty()) continue;
      vantrel::TWavSound speech = vantrel::ParseWav(Speak(voice, entry.words));
      speech.samples = vantrel::Resample(speech.samples, speech.rate, 8000);
      speech.rate = 8000;
      vantrel::WriteFileAtomically(file.string(), vantrel::WavBytes(speech));
      ++made;
    }
    std::cout << "Prompts: " << made << " made in " << folder.string() << "\n";
    return 0;
  } catch (const std::exception& error) {
    std::cerr << "vantrel-prompts: " << error.what() << "\n";
    return 1;
  }
}
