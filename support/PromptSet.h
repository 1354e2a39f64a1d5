#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "support/WavSound.h"

namespace vantrel {

// One line of the prompts' list: the prompt's name (its file is NAME.wav) and the words it says.
struct TPromptEntry {
  std::string name;
  std::string words;
};

// What callers hear from the server: the prompts of the prompts folder (Settings.ini [Prompts] Folder=, default
// "Prompts" in the INI folder), each an 8 kHz 16-bit mono WAV listed in the folder's prompts.txt, and the music on
// hold ([Prompts] Music=, a WAV played in a loop). A prompt whose file is missing or refused is absent: those who
// play it skip it. Immutable once loaded, so any thread may read it.
class TPromptSet {
 public:
  using TDuration = std::chrono::milliseconds;

  // The English set the quick start speaks with espeak-ng.
  static const std::vector<TPromptEntry>& DefaultEntries();
  // prompts.txt: "NAME=WORDS" per line; blank lines and lines starting with '#' are skipped. A name is letters,
  // digits and '-' only. Throws std::invalid_argument naming the line that is wrong.
  static std::vector<TPromptEntry> ParseList(std::string_view text);
  static std::string ListText(const std::vector<TPromptEntry>& entries);
  // The prompts folder Settings.ini names (relative names are taken from the INI folder).
  static std::string FolderOf(const std::string& iniFolder);

  // Reads the folder and the music. A file that is not 8 kHz 16-bit mono is refused with a line in the error log
  // naming it; a listed prompt without a file is noted once in the information log.
  static std::shared_ptr<const TPromptSet> Load(const std::string& iniFolder);
  // The set of the INI folder, loaded once for the process: the exchange and the lines share it.
  static std::shared_ptr<const TPromptSet> Shared(const std::string& iniFolder);

  // The prompt's sound, or null when it is not there (never listed, missing or refused).
  const TWavSound* Find(std::string_view name) const;
  std::string WordsOf(std::string_view name) const;
  // How long the prompt plays; zero for a prompt that is not there.
  TDuration Length(std::string_view name) const;
  // The music on hold, or null when none is set or it was refused (then callers hear the hold tone).
  const TWavSound* Music() const { return music_.samples.empty() ? nullptr : &music_; }
  const std::string& Folder() const { return folder_; }

 private:
  std::string folder_;
  std::map<std::string, std::string, std::less<>> words_;
  std::map<std::string, TWavSound, std::less<>> sounds_;
  TWavSound music_;
};

}  // namespace vantrel
