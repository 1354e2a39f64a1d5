#pragma once

#include <string>
#include <vector>

namespace vantrel::telephony {

// The fields of one line of the port's own files (registrations, the calls' journal): tab-separated, since no
// field the port keeps may hold a tab.
inline std::vector<std::string> SplitTabs(const std::string& line) {
  std::vector<std::string> fields;
  std::size_t start = 0;
  for (;;) {
    const std::size_t tab = line.find('\t', start);
    fields.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
    if (tab == std::string::npos) return fields;
    start = tab + 1;
  }
}

}  // namespace vantrel::telephony
