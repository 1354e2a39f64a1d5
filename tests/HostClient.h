// What a test client of a running host keeps beside its ORB: the line listeners it serves, and the CRM file of
// the embedded database read directly, as a report would.
#pragma once

#include <sqlite3.h>

#include <filesystem>
#include <string>
#include <vector>

#include "HostProcess.h"
#include "RecordingLineEvents.h"
#include "Vantrel.hh"

// Listeners served by the test's POA until this goes; each line gets the keep-alive at registration.
class ClientListeners {
 public:
  ClientListeners() = default;
  ClientListeners(const ClientListeners&) = delete;
  ClientListeners& operator=(const ClientListeners&) = delete;
  ~ClientListeners() {
    for (auto& id : ids_) TestPOA()->deactivate_object(id);
  }
  RecordingLineEvents* Listen(::Line_ptr line) { return Listen(line, new RecordingLineEvents()); }
  template <typename Listener>
  Listener* Listen(::Line_ptr line, Listener* listener) {
    ids_.push_back(TestPOA()->activate_object(listener));
    listener->_remove_ref();  // the POA holds it until it is deactivated
    CORBA::Object_var reference = TestPOA()->id_to_reference(ids_.back());
    line->SetLineEventsListener(::LineEvents_var(::LineEvents::_narrow(reference)));
    line->ChangeLineEventLastContact();
    return listener;
  }

 private:
  std::vector<PortableServer::ObjectId_var> ids_;
};

// The first field of the first row of a query on the CRM file; "-" when there is none.
class CrmFile {
 public:
  explicit CrmFile(const std::filesystem::path& file) { sqlite3_open(file.c_str(), &database_); }
  ~CrmFile() { sqlite3_close_v2(database_); }
  CrmFile(const CrmFile&) = delete;
  CrmFile& operator=(const CrmFile&) = delete;
  sqlite3* Handle() { return database_; }
  std::string Text(const std::string& sql) {
    sqlite3_stmt* statement = nullptr;
    std::string value = "-";
    if (sqlite3_prepare_v2(database_, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW) {
      const unsigned char* text = sqlite3_column_text(statement, 0);
      value = text == nullptr ? "" : reinterpret_cast<const char*>(text);
    }
    sqlite3_finalize(statement);
    return value;
  }

 private:
  sqlite3* database_ = nullptr;
};
