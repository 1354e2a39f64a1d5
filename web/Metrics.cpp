#include "Metrics.h"

#include <map>
#include <sstream>

namespace vantrel::web {

namespace {
// A label value as the format wants it: backslash, quote and line break escaped.
std::string LabelValue(const std::string& text) {
  std::string escaped;
  for (const char c : text) {
    if (c == '\\' || c == '"')
      escaped += std::string("\\") + c;
    else if (c == '\n')
      escaped += "\\n";
    else
      escaped += c;
  }
  return escaped;
}

void Family(std::ostringstream& out, const char* name, const char* type, const char* help) {
  out << "# HELP " << name << " " << help << "\n# TYPE " << name << " " << type << "\n";
}
}  // namespace

std::string MetricsText(const TLiveState& state, std::size_t webClients) {
  std::ostringstream out;
  Family(out, "vantrel_server_up", "gauge", "1 when the gateway reaches the server over IIOP.");
  out << "vantrel_server_up " << (state.connected ? 1 : 0) << "\n";
  Family(out, "vantrel_calls_offered_total", "counter", "Callers the routing rules offered since the server started.");
  out << "vantrel_calls_offered_total " << state.sinceStart.offered << "\n";
  Family(out, "vantrel_calls_answered_total", "counter", "Offered callers put through to an operator.");
  out << "vantrel_calls_answered_total " << state.sinceStart.answered << "\n";
  Family(out, "vantrel_calls_abandoned_total", "counter", "Offered callers who hung up before that.");
  out << "vantrel_calls_abandoned_total " << state.sinceStart.abandoned << "\n";
  Family(out, "vantrel_callers_waiting", "gauge", "Callers waiting for an operator now, per rule.");
  for (const auto& queue : state.queues)
    out << "vantrel_callers_waiting{rule=\"" << LabelValue(queue.rule) << "\"} " << queue.waiting << "\n";
  Family(out, "vantrel_operators", "gauge", "Operators logged in, per state.");
  std::map<std::string, int> byState = {{"ready", 0}, {"busy", 0}, {"pause", 0}, {"wrap-up", 0}};
  for (const auto& person : state.operators) ++byState[person.status];
  for (const auto& [name, count] : byState)
    out << "vantrel_operators{state=\"" << LabelValue(name) << "\"} " << count << "\n";
  Family(out, "vantrel_call_log_rows_waiting", "gauge", "Call-log rows not yet written to the CRM database.");
  out << "vantrel_call_log_rows_waiting " << state.sinceStart.callLogRowsWaiting << "\n";
  Family(out, "vantrel_iiop_clients", "gauge", "Clients whose listeners the server calls.");
  out << "vantrel_iiop_clients " << state.sinceStart.listeningClients << "\n";
  Family(out, "vantrel_web_clients", "gauge", "Browsers and programs listening to the gateway's live events.");
  out << "vantrel_web_clients " << webClients << "\n";
  return out.str();
}

}  // namespace vantrel::web
