#pragma once

#include <exception>
#include <string>

namespace vantrel {

// The message of whatever was thrown: a CORBA exception's name (and a system exception's minor code), a standard
// exception's what(), or "Unknown exception".
std::string ExceptionText(std::exception_ptr error);

}  // namespace vantrel
