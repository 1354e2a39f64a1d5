#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace vantrel {

// The log writer: an information file and an error file. Each line is written whole, with one write call,
// prefixed by a local time stamp and the thread id, so concurrent writers never interleave inside a line.
class TLogger {
 public:
  // Message kind 0 is information; the kinds a logger accepts are given at creation.
  static std::shared_ptr<TLogger> Create(unsigned kindsMask, const std::string& infoFileName,
                                         const std::string& errorFileName);
  // The logger made last, or none.
  static std::shared_ptr<TLogger> Current();

  ~TLogger();
  TLogger(const TLogger&) = delete;
  TLogger& operator=(const TLogger&) = delete;

  // Throws std::system_error when the file cannot be written.
  void Write(unsigned kind, std::string_view text);
  void Error(std::string_view text);

 private:
  TLogger(unsigned kindsMask, int infoFile, int errorFile);
  static void WriteLine(int file, std::string_view text);

  const unsigned kindsMask_;
  const int infoFile_;
  const int errorFile_;
};

}  // namespace vantrel
