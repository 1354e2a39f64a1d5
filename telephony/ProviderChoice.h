#pragma once

#include <memory>
#include <string>

#include "telephony/TelephonyProvider.h"

namespace vantrel::telephony {

// The back-end "Exchange.ini" of the folder names ([Exchange] Provider=; the software exchange when it names
// none), configured from that file. Throws std::invalid_argument for an unknown provider or a bad file.
std::unique_ptr<ITelephonyProvider> MakeTelephonyProvider(const std::string& iniFolder);

}  // namespace vantrel::telephony
