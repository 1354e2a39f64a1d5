#pragma once

#include "Vantrel.hh"

// The library's exports. Strings are zero-terminated and owned by the caller; results are 0 or 1.
extern "C" {
unsigned char RunEnvironment(const char* address, const char* port, const char* iniFilesPath);
unsigned char InitEnvironment();
unsigned char StopEnvironment();
unsigned char RunORBThread(void* orb);  // a CORBA::ORB_ptr
unsigned char StopORBThread();
}
