// vantrel-crm: creates the CRM tables in a database and, on request, fills in the sample CRM, so that a fresh
// installation has employees, groups, companies and contacts for the routing rules to find; on request also a
// made-up day of queue history, so that the reports have something to show.
#include <sys/stat.h>

#include <chrono>
#include <ctime>
#include <exception>
#include <filesystem>
#include <iostream>
#include <stdexcept>
#include <string>

#include "database/CallLogWriter.h"
#include "database/CrmSchema.h"
#include "database/DataConnection.h"
#include "database/Reports.h"
#include "database/SampleHistory.h"

namespace {

void PrintUsage(std::ostream& out) {
  out << "usage: vantrel-crm --connection CONNECTION-STRING [--base DIR] [--sample] [--sample-history]\n"
               "  CONNECTION-STRING  e.g. \"Provider=SQLite;Data Source=crm.sqlite3\"\n"
               "  --base DIR         the folder a relative SQLite file is taken in (default: the current one)\n"
               "  --sample           add the sample employees, groups, companies and contacts\n"
               "  --sample-history   add a made-up day of calls (yesterday) to the queue log, unless it has that day\n";
}

// Yesterday's made-up calls of the sample's four employees on rule 1, through the server's call-log writer.
void AddSampleHistory(vantrel::TDataConnection& connection, const std::string& base, const std::string& connectionString) {
  const vantrel::TWallClock yesterday = vantrel::AddDays(vantrel::NowWallClock(), -1);
  const std::string day = yesterday.Text().substr(0, 10);
  const auto found = connection.QueryFirstRow(
      "select count(*) as Found from tq_VantrelQueueLog where EventTime >= '" + day + " 00:00:00' and EventTime <= '" +
          day + " 23:59:59'",
      {"Found"});
  if (found && found->front() != "0") {
    std::cout << "The queue log already holds " << day << "; no sample history added\n";
    return;
  }
  vantrel::TSampleDay sample;
  sample.year = yesterday.year;
  sample.month = yesterday.month;
  sample.day = yesterday.day;
  sample.operators = {1, 2, 3, 4};
  sample.rules = {1};
  sample.callers = 240;
  sample.seed = static_cast<std::uint32_t>(yesterday.year * 400 + yesterday.month * 31 + yesterday.day);
  const auto rows = vantrel::SampleDayRows(sample);
  const std::filesystem::path journal = std::filesystem::path(base) / "SampleHistory.journal";
  {
    vantrel::TCallLogWriter writer(base, journal, [&] { return connectionString; });
    for (const auto& row : rows) writer.Append(row);
    if (!writer.WaitUntilWritten(std::chrono::minutes(2))) throw std::runtime_error("the sample history was not written");
  }
  std::filesystem::remove(journal);
  std::cout << "Sample history of " << day << " added (" << rows.size() << " queue-log rows)\n";
}

}  // namespace

int main(int argc, char** argv) {
  // The CRM database holds people's names and numbers: for its owner only, as the server's other files.
  ::umask(077);
  std::string connectionString;
  std::string base = ".";
  bool sample = false, sampleHistory = false;
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    if (name == "--help" || name == "-h") {
      PrintUsage(std::cout);
      return 0;
    } else if (name == "--sample") {
      sample = true;
    } else if (name == "--sample-history") {
      sampleHistory = true;
    } else if ((name == "--connection" || name == "--base") && i + 1 < argc) {
      (name == "--connection" ? connectionString : base) = argv[++i];
    } else {
      std::cerr << "vantrel-crm: "
                << (name == "--connection" || name == "--base" ? name + " needs a value" : "unknown option " + name)
                << "\n";
      PrintUsage(std::cerr);
      return 2;
    }
  }
  if (connectionString.empty()) {
    std::cerr << "vantrel-crm: --connection CONNECTION-STRING is required\n";
    PrintUsage(std::cerr);
    return 2;
  }
  try {
    vantrel::TDataConnection connection(base);
    connection.SetConnectionString(connectionString);
    connection.Open();
    vantrel::CreateCrmSchema(connection, connection.Dialect());
    std::cout << "CRM tables ready\n";
    if (sample) {
      std::cout << (vantrel::AddSampleCrm(connection) ? "Sample CRM added\n"
                                                      : "The CRM already holds contacts; no sample added\n");
    }
    if (sampleHistory) AddSampleHistory(connection, base, connectionString);
    return 0;
  } catch (const std::exception& error) {
    std::cerr << "vantrel-crm: " << error.what() << "\n";
    return 1;
  }
}
