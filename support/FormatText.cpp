#include "FormatText.h"

#include <charconv>

#include <cmath>
#include <cstdio>
#include <optional>

namespace vantrel {

namespace {

[[noreturn]] void ThrowInvalid(std::string_view format) {
  throw EFormatError("Format '" + std::string(format) + "' invalid or incompatible with argument");
}

[[noreturn]] void ThrowMissing(std::string_view format) {
  throw EFormatError("No argument for format '" + std::string(format) + "'");
}

class TFormatter {
 public:
  TFormatter(std::string_view format, std::span<const TFormatArg> args) : format_(format), args_(args) {}

  std::string Run() {
    std::string out;
    while (pos_ < format_.size()) {
      const char c = format_[pos_++];
      if (c != '%') {
        out.push_back(c);
        continue;
      }
      if (Peek() == '%') {
        ++pos_;
        out.push_back('%');
        continue;
      }
      out += Directive();
    }
    return out;
  }

 private:
  char Peek() const { return pos_ < format_.size() ? format_[pos_] : '\0'; }

  const TFormatArg& NextArg() {
    if (nextArg_ >= args_.size()) ThrowMissing(format_);
    return args_[nextArg_++];
  }

  // A run of digits or "*"; empty when neither stands here.
  std::optional<std::size_t> Number() {
    if (Peek() == '*') {
      ++pos_;
      const auto* value = std::get_if<std::int64_t>(&NextArg().Value());
      if (value == nullptr) ThrowInvalid(format_);
      return static_cast<std::size_t>(*value < 0 ? 0 : *value);
    }
    if (Peek() < '0' || Peek() > '9') return std::nullopt;
    std::size_t value = 0;
    while (Peek() >= '0' && Peek() <= '9') {
      value = value * 10 + static_cast<std::size_t>(Peek() - '0');
      if (value > kMaxNumber) ThrowInvalid(format_);
      ++pos_;
    }
    return value;
  }

  std::string Directive() {
    std::optional<std::size_t> number = Number();
    if (Peek() == ':') {
      ++pos_;
      if (!number) ThrowInvalid(format_);
      nextArg_ = *number;
      number = Number();
    }
    bool leftAlign = false;
    if (Peek() == '-') {
      if (number) ThrowInvalid(format_);
      ++pos_;
      leftAlign = true;
      number = Number();
    }
    const std::size_t width = number.value_or(0);
    std::optional<std::size_t> precision;
    if (Peek() == '.') {
      ++pos_;
      precision = Number();
      if (!precision) precision = 0;
    }
    if (pos_ >= format_.size()) ThrowInvalid(format_);
    const char type = static_cast<char>(format_[pos_++] | 0x20);  // types are case-insensitive
    if (std::string_view("duxpsefgnm").find(type) == std::string_view::npos) ThrowInvalid(format_);
    std::string text = Convert(type, NextArg(), precision);
    if (text.size() < width) {
      const std::string padding(width - text.size(), ' ');
      text = leftAlign ? text + padding : padding + text;
    }
    return text;
  }

  std::string Convert(char type, const TFormatArg& arg, std::optional<std::size_t> precision) {
    const auto& value = arg.Value();
    switch (type) {
      case 'd':
      case 'u':
      case 'x':
      case 'p': {
        const auto* integer = std::get_if<std::int64_t>(&value);
        if (integer == nullptr) ThrowInvalid(format_);
        return ConvertInteger(type, *integer, precision);
      }
      case 's': {
        const auto* text = std::get_if<std::string>(&value);
        if (text == nullptr) ThrowInvalid(format_);
        return precision && *precision < text->size() ? text->substr(0, *precision) : *text;
      }
      case 'e':
      case 'f':
      case 'g':
      case 'n':
      case 'm': {
        double real = 0;
        if (const auto* d = std::get_if<double>(&value)) {
          real = *d;
        } else {
          ThrowInvalid(format_);
        }
        return ConvertReal(type, real, precision);
      }
      default:
        ThrowInvalid(format_);
    }
  }

  static std::string ConvertInteger(char type, std::int64_t value, std::optional<std::size_t> precision) {
    std::string digits;
    bool negative = false;
    if (type == 'd') {
      negative = value < 0;
      const std::uint64_t magnitude =
          negative ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
      digits = std::to_string(magnitude);
    } else if (type == 'u') {
      digits = std::to_string(static_cast<std::uint32_t>(value));
    } else {
      char buffer[24];
      // A value in 32-bit range prints as the 32-bit integer it came from (-1 is FFFFFFFF).
      const bool fits32 = value >= INT32_MIN && value <= static_cast<std::int64_t>(UINT32_MAX);
      const auto bits = static_cast<unsigned long long>(fits32 ? static_cast<std::uint32_t>(value) : value);
      const int length = std::snprintf(buffer, sizeof buffer, "%llX", bits);
      digits.assign(buffer, static_cast<std::size_t>(length));
      if (type == 'p' && !precision) precision = 8;
    }
    if (precision && digits.size() < *precision) digits.insert(0, *precision - digits.size(), '0');
    return negative ? "-" + digits : digits;
  }

  static std::string ConvertReal(char type, double value, std::optional<std::size_t> precision) {
    if (std::isnan(value)) return "NAN";
    if (std::isinf(value)) return value < 0 ? "-INF" : "INF";
    const int digits =
        static_cast<int>(std::min<std::size_t>(precision.value_or(type == 'e' || type == 'g' ? 15 : 2), 40));
    char buffer[400];
    int length = 0;
    switch (type) {
      case 'e':
        length = std::snprintf(buffer, sizeof buffer, "%.*E", std::max(digits - 1, 0), value);
        break;
      case 'g':
        length = std::snprintf(buffer, sizeof buffer, "%.*G", std::max(digits, 1), value);
        break;
      default:
        length = std::snprintf(buffer, sizeof buffer, "%.*f", digits, value);
        break;
    }
    std::string text(buffer, static_cast<std::size_t>(std::max(length, 0)));
    if (type == 'n' || type == 'm') GroupThousands(text);
    return text;
  }

  static void GroupThousands(std::string& text) {
    const std::size_t begin = text[0] == '-' ? 1 : 0;
    std::size_t end = text.find('.');
    if (end == std::string::npos) end = text.size();
    for (std::size_t i = end; i > begin + 3; i -= 3) text.insert(i - 3, ",");
  }

  static constexpr std::size_t kMaxNumber = 100000;  // a width beyond this is an attack, not a layout

  std::string_view format_;
  std::span<const TFormatArg> args_;
  std::size_t pos_ = 0;
  std::size_t nextArg_ = 0;
};

}  // namespace

std::string FormatText(std::string_view format, std::span<const TFormatArg> args) {
  return TFormatter(format, args).Run();
}

int StrToIntDef(std::string_view text, int defaultValue) {
  int value = 0;
  const char* first = text.data();
  const char* last = text.data() + text.size();
  int base = 10;
  // Hex as "$1F" or "0x1F", which the original runtime's integer reading accepted.
  if (!text.empty() && text[0] == '$') {
    first += 1;
    base = 16;
  } else if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    first += 2;
    base = 16;
  }
  const auto [end, error] = std::from_chars(first, last, value, base);
  return error == std::errc() && end == last && first != last ? value : defaultValue;
}

std::string TrimText(std::string_view text) {
  const auto isBlank = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
  std::size_t first = 0, last = text.size();
  while (first < last && isBlank(text[first])) ++first;
  while (last > first && isBlank(text[last - 1])) --last;
  return std::string(text.substr(first, last - first));
}

}  // namespace vantrel
