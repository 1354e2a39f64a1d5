// The CRM databases the data tests run against: an embedded SQLite file, and the PostgreSQL server that the
// test command starts (its ODBC string in VANTREL_TEST_POSTGRES; without it those cases are skipped).
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "database/CrmSchema.h"
#include "database/DataConnection.h"

namespace crmtest {

using namespace vantrel;

enum class CrmBackend { SQLite, PostgreSQL };

inline const char* const kNoPostgres = "VANTREL_TEST_POSTGRES is not set: no PostgreSQL server to use";

inline std::string CrmBackendName(const ::testing::TestParamInfo<CrmBackend>& info) {
  return info.param == CrmBackend::SQLite ? "SQLite" : "PostgreSQL";
}

// The connection string of the backend, or empty when it is not available here.
inline std::string CrmConnectionString(CrmBackend backend) {
  if (backend == CrmBackend::SQLite) return "Provider=SQLite;Data Source=crm.sqlite3";
  const char* postgres = std::getenv("VANTREL_TEST_POSTGRES");
  return postgres == nullptr ? std::string() : std::string(postgres);
}

// Leaves the backend with the empty CRM tables; a SQLite file is relative to the folder, which the tests
// make afresh, so only the shared server needs emptying.
inline void ResetCrm(CrmBackend backend, const std::string& folder) {
  TDataConnection connection(folder);
  connection.SetConnectionString(CrmConnectionString(backend));
  connection.Open();
  if (backend == CrmBackend::PostgreSQL) {
    for (const char* table :
         {"tq_VantrelLog", "tq_Company", "tq_Contact", "tq_ContactPhone", "tq_CompanyPhone", "tq_ContactInGroup"}) {
      connection.Execute(std::string("drop table if exists ") + table);
    }
    CreateCrmSchema(connection, TSqlDialect::PostgreSQL);
  }
}

}  // namespace crmtest
