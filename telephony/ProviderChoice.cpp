#include "ProviderChoice.h"

#include <filesystem>
#include <stdexcept>

#include "support/IniFile.h"
#include "support/PromptSet.h"
#include "telephony/SoftExchange.h"

namespace vantrel::telephony {

namespace {
constexpr const char* kSoftwareExchange = "Software";
}

std::unique_ptr<ITelephonyProvider> MakeTelephonyProvider(const std::string& iniFolder) {
  const std::filesystem::path file = std::filesystem::path(iniFolder) / "Exchange.ini";
  std::string name = kSoftwareExchange;
  if (std::filesystem::exists(file)) name = TMemIniFile(file.string()).ReadString("Exchange", "Provider", name);
  if (name.empty() || name == kSoftwareExchange) {
    auto exchange = std::make_unique<TSoftExchange>();
    exchange->Configure(TSoftExchange::LoadConfig(iniFolder));
    exchange->SetPrompts(TPromptSet::Shared(iniFolder));
    return exchange;
  }
  throw std::invalid_argument(file.string() + ": no telephony provider \"" + name + "\" (known: " + kSoftwareExchange +
                              ")");
}

}  // namespace vantrel::telephony
