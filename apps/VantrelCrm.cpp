// vantrel-crm: creates the CRM tables in a database and, on request, fills in the sample CRM, so that a fresh
// installation has employees, groups, companies and contacts for the routing rules to find.
#include <exception>
#include <iostream>
#include <string>

#include "database/CrmSchema.h"
#include "database/DataConnection.h"

namespace {

void PrintUsage(std::ostream& out) {
  out << "usage: vantrel-crm --connection CONNECTION-STRING [--base DIR] [--sample]\n"
         "  CONNECTION-STRING  e.g. \"Provider=SQLite;Data Source=crm.sqlite3\"\n"
         "  --base DIR         the folder a relative SQLite file is taken in (default: the current one)\n"
         "  --sample           add the sample employees, groups, companies and contacts\n";
}

}  // namespace

int main(int argc, char** argv) {
  std::string connectionString;
  std::string base = ".";
  bool sample = false;
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    if (name == "--help" || name == "-h") {
      PrintUsage(std::cout);
      return 0;
    } else if (name == "--sample") {
      sample = true;
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
    return 0;
  } catch (const std::exception& error) {
    std::cerr << "vantrel-crm: " << error.what() << "\n";
    return 1;
  }
}
