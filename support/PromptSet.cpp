#include "PromptSet.h"

#include <cctype>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>

#include "support/IniFile.h"
#include "support/VantrelCommonRoutines.h"

namespace vantrel {

namespace {

bool IsPromptName(std::string_view name) {
  if (name.empty() || name.size() > 64) return false;
  for (const char c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-') return false;
  }
  return true;
}

std::string InFolder(const std::string& folder, const std::string& name) {
  const std::filesystem::path path(name);
  return path.is_absolute() ? path.string() : (std::filesystem::path(folder) / path).string();
}

}  // namespace

const std::vector<TPromptEntry>& TPromptSet::DefaultEntries() {
  static const std::vector<TPromptEntry> entries = [] {
    std::vector<TPromptEntry> list = {
        {"welcome", "Welcome, and thank you for calling."},
        {"busy", "All our operators are busy."},
        {"caller-number", "You are caller number"},
        {"expected-wait", "Your expected wait is about"},
        {"minute", "minute"},
        {"minutes", "minutes"},
        {"less-than-a-minute", "less than a minute"},
        {"please-hold", "Please hold."},
        {"callback-offer", "Press 1 to be called back, or stay on the line."},
        {"callback-confirm", "We will call you back."},
        {"thank-you", "Thank you."},
        {"menu", "For sales, press 1. For support, press 2."},
    };
    static const char* const kNumbers[] = {
        "one",     "two",     "three",     "four",     "five",     "six",       "seven",      "eight",
        "nine",    "ten",     "eleven",    "twelve",   "thirteen", "fourteen",  "fifteen",    "sixteen",
        "seventeen", "eighteen", "nineteen", "twenty", "twenty one", "twenty two", "twenty three", "twenty four",
        "twenty five", "twenty six", "twenty seven", "twenty eight", "twenty nine", "thirty"};
    for (int i = 0; i < 30; ++i) list.push_back({std::to_string(i + 1), kNumbers[i]});
    return list;
  }();
  return entries;
}

std::vector<TPromptEntry> TPromptSet::ParseList(std::string_view text) {
  std::vector<TPromptEntry> entries;
  std::istringstream lines{std::string(text)};
  int number = 0;
  for (std::string line; std::getline(lines, line);) {
    ++number;
    const std::string_view trimmed = Trim(line);
    if (trimmed.empty() || trimmed.front() == '#') continue;
    const std::size_t equals = trimmed.find('=');
    const std::string_view name = equals == std::string_view::npos ? trimmed : Trim(trimmed.substr(0, equals));
    if (equals == std::string_view::npos || !IsPromptName(name)) {
      throw std::invalid_argument("prompts.txt line " + std::to_string(number) +
                                  ": expected NAME=WORDS with a name of letters, digits and '-'");
    }
    entries.push_back({std::string(name), std::string(Trim(trimmed.substr(equals + 1)))});
  }
  return entries;
}

std::string TPromptSet::ListText(const std::vector<TPromptEntry>& entries) {
  std::string text =
      "# The prompts callers hear: NAME=WORDS, one a line; the sound is NAME.wav beside this file (8 kHz, 16-bit,\n"
      "# mono). Record any of them anew under the same name.\n";
  for (const TPromptEntry& entry : entries) text += entry.name + "=" + entry.words + "\n";
  return text;
}

std::string TPromptSet::FolderOf(const std::string& iniFolder) {
  const TMemIniFile settings((std::filesystem::path(iniFolder) / "Settings.ini").string());
  std::string folder(Trim(settings.ReadString("Prompts", "Folder", "")));
  if (folder.empty()) folder = "Prompts";
  return InFolder(iniFolder, folder);
}

std::shared_ptr<const TPromptSet> TPromptSet::Load(const std::string& iniFolder) {
  auto set = std::make_shared<TPromptSet>();
  set->folder_ = FolderOf(iniFolder);
  const std::string listFile = (std::filesystem::path(set->folder_) / "prompts.txt").string();
  std::vector<TPromptEntry> entries;
  if (std::ifstream list(listFile); list) {
    std::ostringstream text;
    text << list.rdbuf();
    try {
      entries = ParseList(text.str());
    } catch (const std::invalid_argument& bad) {
      LogErrorLine("Prompts: " + listFile + ": " + bad.what());
    }
  }
  std::vector<std::string> missing;
  for (const TPromptEntry& entry : entries) {
    set->words_[entry.name] = entry.words;
    const std::string file = (std::filesystem::path(set->folder_) / (entry.name + ".wav")).string();
    if (!std::filesystem::exists(file)) {
      missing.push_back(entry.name);
      continue;
    }
    try {
      set->sounds_[entry.name] = ReadTelephoneWav(file);
    } catch (const std::runtime_error& bad) {
      LogErrorLine(std::string("Prompts: ") + bad.what() + "; the prompt is left out");
    }
  }
  if (!missing.empty()) {
    std::string names;
    for (const std::string& name : missing) names += (names.empty() ? "" : ", ") + name;
    LogFormat("Prompts: listed in %s without a file: %s", {listFile, names});
  }
  const TMemIniFile settings((std::filesystem::path(iniFolder) / "Settings.ini").string());
  const std::string music(Trim(settings.ReadString("Prompts", "Music", "")));
  if (!music.empty()) {
    try {
      set->music_ = ReadTelephoneWav(InFolder(iniFolder, music));
    } catch (const std::runtime_error& bad) {
      LogErrorLine(std::string("Prompts: music on hold: ") + bad.what() + "; callers hear the hold tone");
    }
  }
  LogFormat("Prompts: %d of %d in %s%s",
            {static_cast<long>(set->sounds_.size()), static_cast<long>(entries.size()), set->folder_,
             std::string(set->Music() != nullptr ? ", with music on hold" : "")});
  return set;
}

std::shared_ptr<const TPromptSet> TPromptSet::Shared(const std::string& iniFolder) {
  static std::mutex mutex;
  static std::map<std::string, std::shared_ptr<const TPromptSet>> loaded;  // guarded by mutex
  std::lock_guard lock(mutex);
  auto& set = loaded[iniFolder];
  if (!set) set = Load(iniFolder);
  return set;
}

const TWavSound* TPromptSet::Find(std::string_view name) const {
  const auto found = sounds_.find(name);
  return found == sounds_.end() ? nullptr : &found->second;
}

std::string TPromptSet::WordsOf(std::string_view name) const {
  const auto found = words_.find(name);
  return found == words_.end() ? std::string() : found->second;
}

TPromptSet::TDuration TPromptSet::Length(std::string_view name) const {
  const TWavSound* sound = Find(name);
  return sound == nullptr ? TDuration(0) : TDuration(sound->samples.size() * 1000 / 8000);
}

}  // namespace vantrel
