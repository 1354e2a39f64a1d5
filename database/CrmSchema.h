#pragma once

#include <string>
#include <vector>

#include "SqlDialect.h"

namespace vantrel {

class TDataConnection;

// The CRM tables the system reads and writes: the call log and the look-ups of the routing rules and operators.
// Columns beyond the ones the system names are kept to what a small CRM needs to be useful.
std::vector<std::string> CrmSchemaStatements(TSqlDialect dialect);

// The queue log's table and the indexes the queue log and the reports need; the call log makes them itself when a
// CRM made before them lacks them (tq_VantrelLog must exist).
std::vector<std::string> CrmQueueLogStatements(TSqlDialect dialect);
// The recordings of calls: a row per WAV file, keyed by the call as tq_VantrelLog keys it.
std::vector<std::string> CrmRecordingStatements(TSqlDialect dialect);
// The callbacks callers asked for: a row per change of one, keyed by the call that asked for it; the row with the
// highest EventOrder of a key says where that callback stands.
std::vector<std::string> CrmCallbackStatements(TSqlDialect dialect);

// The calls whose ending row is still to come, one row per call key and line; the call log keeps it and makes it
// itself when a CRM made before it lacks it.
std::vector<std::string> CrmOpenCallStatements(TSqlDialect dialect);

// Creates the tables and indexes that are missing.
void CreateCrmSchema(TDataConnection& connection, TSqlDialect dialect);

// A few employees in two groups, client companies and contacts with phones and account managers. Adds nothing
// when the CRM already holds contacts; returns whether it added the sample.
bool AddSampleCrm(TDataConnection& connection);

}  // namespace vantrel
