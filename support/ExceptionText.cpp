#include "ExceptionText.h"

#include <omniORB4/CORBA.h>

namespace vantrel {

std::string ExceptionText(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const CORBA::SystemException& e) {
    return std::string(e._name()) + " (minor " + std::to_string(e.minor()) + ")";
  } catch (const CORBA::Exception& e) {
    return e._name();
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "Unknown exception";
  }
}

}  // namespace vantrel
