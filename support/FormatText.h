#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>

namespace vantrel {

// Raised for a directive that does not fit its argument or has none; the text names the format.
class EFormatError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One typed argument of a format: the formatter checks each directive against it.
class TFormatArg {
 public:
  TFormatArg(int value) : value_(static_cast<std::int64_t>(value)) {}
  TFormatArg(long value) : value_(static_cast<std::int64_t>(value)) {}
  TFormatArg(long long value) : value_(static_cast<std::int64_t>(value)) {}
  TFormatArg(unsigned value) : value_(static_cast<std::int64_t>(value)) {}
  TFormatArg(unsigned long value) : value_(static_cast<std::int64_t>(value)) {}
  TFormatArg(unsigned long long value) : value_(static_cast<std::int64_t>(value)) {}
  TFormatArg(double value) : value_(value) {}
  TFormatArg(bool value) = delete;  // booleans have no directive; pass them as int explicitly
  TFormatArg(const char* value) : value_(std::string(value != nullptr ? value : "")) {}
  TFormatArg(std::string_view value) : value_(std::string(value)) {}
  TFormatArg(const std::string& value) : value_(value) {}

  const std::variant<std::int64_t, double, std::string>& Value() const { return value_; }

 private:
  std::variant<std::int64_t, double, std::string> value_;
};

// Printf-like formatting in the manner of the original runtime's Format:
//   "%" ["index:"] ["-"] [width] ["." precision] type, with "*" for width or precision taken from the arguments,
//   types d u x (upper-case hex) s f e g n m p, and "%%" for a percent sign.
// The format text is data: anything that does not fit raises EFormatError, nothing is undefined.
std::string FormatText(std::string_view format, std::span<const TFormatArg> args);
inline std::string FormatText(std::string_view format, std::initializer_list<TFormatArg> args) {
  return FormatText(format, std::span<const TFormatArg>(args.begin(), args.size()));
}

// The decimal (or "$1F" / "0x1F" hexadecimal) integer the whole text spells, else the default.
int StrToIntDef(std::string_view text, int defaultValue);
// The text without leading and trailing blanks and control characters.
std::string TrimText(std::string_view text);

}  // namespace vantrel
