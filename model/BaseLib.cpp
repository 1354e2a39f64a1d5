#include "BaseLib.h"

#include <cstdlib>
#include <filesystem>

#include "support/FormatText.h"
#include "support/IniStorage.h"
#include "support/VantrelCommonRoutines.h"

namespace vantrel {

namespace {
// Tests shorten it with VANTREL_LISTENER_STALE_SECONDS; read once.
double ListenerStaleDays() {
  static const double days = [] {
    const char* seconds = std::getenv("VANTREL_LISTENER_STALE_SECONDS");
    const double value = seconds != nullptr ? std::strtod(seconds, nullptr) : 0;
    return value > 0 ? value / 86400 : kListenerStaleDays;
  }();
  return days;
}
}  // namespace

bool IsListenerStale(std::chrono::steady_clock::time_point lastContact, std::chrono::steady_clock::time_point now) {
  if (lastContact == std::chrono::steady_clock::time_point{}) return false;
  const std::chrono::duration<double, std::ratio<86400>> silent = now - lastContact;
  return silent.count() > ListenerStaleDays();
}

TBase_Impl::TBase_Impl() = default;

TBase_Impl::~TBase_Impl() = default;

void TBase_Impl::SetEnvironment(::Environment_ptr environment) {
  std::lock_guard lock(mutex_);
  if (!environment_->_is_equivalent(environment)) environment_ = ::Environment::_duplicate(environment);
}

::Environment_ptr TBase_Impl::GetEnvironment() {
  std::lock_guard lock(mutex_);
  return ::Environment::_duplicate(environment_);
}

#define VANTREL_SIBLING(Getter, Type)                                           \
  ::Type##_ptr TBase_Impl::Getter() {                                           \
    ::Environment_var environment = GetEnvironment();                           \
    return CORBA::is_nil(environment) ? ::Type::_nil() : environment->Getter(); \
  }
VANTREL_SIBLING(GetDatabase, Database)
VANTREL_SIBLING(GetRules, Rules)
VANTREL_SIBLING(GetTranslateRules, TranslateRules)
VANTREL_SIBLING(GetLines, Lines)
VANTREL_SIBLING(GetOperators, Operators)
#undef VANTREL_SIBLING

::Database_ptr TBase_Impl::GetConnectedDatabase() {
  ::Database_var database = GetDatabase();
  if (!CORBA::is_nil(database) && !database->GetConnected()) {
    CORBA::String_var error = CORBA::string_dup("");
    database->SetConnected(true, error.inout());
  }
  return database._retn();
}

#define VANTREL_SIBLING_REFERENCE(Getter)                                              \
  char* TBase_Impl::Getter() {                                                         \
    ::Environment_var environment = GetEnvironment();                                  \
    return CORBA::is_nil(environment) ? CORBA::string_dup("") : environment->Getter(); \
  }
VANTREL_SIBLING_REFERENCE(GetDatabaseReference)
VANTREL_SIBLING_REFERENCE(GetRulesReference)
VANTREL_SIBLING_REFERENCE(GetTranslateRulesReference)
VANTREL_SIBLING_REFERENCE(GetLinesReference)
VANTREL_SIBLING_REFERENCE(GetOperatorsReference)
#undef VANTREL_SIBLING_REFERENCE

void TBase_Impl::SetObjectName(const char* name) {
  std::lock_guard lock(mutex_);
  if (name_ != name) name_ = name;
}

char* TBase_Impl::GetObjectName() { return CORBA::string_dup(Name().c_str()); }

std::string TBase_Impl::Name() const {
  std::lock_guard lock(mutex_);
  return name_;
}

void TBase_Impl::SetDescription(const char* description) {
  std::lock_guard lock(mutex_);
  if (description_ != description) description_ = description;
}

char* TBase_Impl::GetDescription() {
  std::lock_guard lock(mutex_);
  return CORBA::string_dup(description_.c_str());
}

void TBase_Impl::SetEnabled(CORBA::Boolean enabled) {
  std::lock_guard lock(mutex_);
  enabled_ = enabled;
}

CORBA::Boolean TBase_Impl::GetEnabled() {
  std::lock_guard lock(mutex_);
  return enabled_;
}

char* TBase_Impl::GetLastError() {
  std::lock_guard lock(mutex_);
  return CORBA::string_dup(lastError_.c_str());
}

void TBase_Impl::SetLastError(const char* error) {
  std::lock_guard lock(mutex_);
  lastError_ = error;
}

::BaseEvents_ptr TBase_Impl::GetBaseEventsListener() {
  std::lock_guard lock(mutex_);
  return listener_.Get();
}

void TBase_Impl::SetBaseEventsListener(::BaseEvents_ptr listener) {
  std::lock_guard lock(mutex_);
  listener_.Set(listener);
}

CORBA::Boolean TBase_Impl::AssignFrom(::Base_ptr source) {
  BeginUpdate();
  const bool result = Guarded("TBase_Impl.AssignFrom", false, [&] {
    if (CORBA::is_nil(source)) throw std::invalid_argument("No source object");
    ::Environment_var environment = source->GetEnvironment();
    SetEnvironment(environment);
    CORBA::String_var name = source->GetObjectName();
    SetObjectName(name);
    CORBA::String_var description = source->GetDescription();
    SetDescription(description);
    SetEnabled(source->GetEnabled());
    return true;
  });
  EndUpdate();
  return result;
}

void TBase_Impl::BeginUpdate() {
  std::lock_guard lock(mutex_);
  ++updateCount_;
}

void TBase_Impl::EndUpdate() {
  std::lock_guard lock(mutex_);
  if (updateCount_ > 0) --updateCount_;
}

CORBA::Long TBase_Impl::GetUpdateCount() {
  std::lock_guard lock(mutex_);
  return updateCount_;
}

CORBA::Boolean TBase_Impl::LoadFromIniFile(const char* fileName, const char* section) {
  LogFormat("TBase_Impl.LoadFromIniFile : [%s]", {Name()});
  if (!std::filesystem::exists(fileName)) return true;
  BeginUpdate();
  const bool result = Guarded("TBase_Impl.LoadFromIniFile", false, [&] {
    TIniStorage* storage = TIniStorage::Instance();
    if (storage == nullptr) throw std::runtime_error("No INI file cache");
    TMemIniFile* ini = storage->GetIniFile(fileName);
    SetObjectName(ini->ReadString(section, "Name", Name()).c_str());
    CORBA::String_var description = GetDescription();
    SetDescription(ini->ReadString(section, "Description", description.in()).c_str());
    SetEnabled(ini->ReadBool(section, "Enabled", GetEnabled()));
    return true;
  });
  EndUpdate();
  return result;
}

CORBA::Boolean TBase_Impl::SaveToIniFile(const char* fileName, const char* section) {
  LogFormat("TBase_Impl.SaveToIniFile : [%s]", {Name()});
  return Guarded("TBase_Impl.SaveToIniFile", false, [&] {
    TIniStorage* storage = TIniStorage::Instance();
    if (storage == nullptr) throw std::runtime_error("No INI file cache");
    TMemIniFile* ini = storage->GetIniFile(fileName);
    ini->EraseSection(section);
    ini->WriteString(section, "Name", Name());
    CORBA::String_var description = GetDescription();
    ini->WriteString(section, "Description", description.in());
    ini->WriteBool(section, "Enabled", GetEnabled());
    return true;
  });
}

void TBase_Impl::ChangeBaseEventLastContact() {
  std::lock_guard lock(mutex_);
  lastContact_ = Clock::now();
}

bool TBase_Impl::DropStaleListener() {
  {
    std::lock_guard lock(mutex_);
    if (listener_.IsNil() || !(listener_.Dropped() || IsListenerStale(lastContact_, Clock::now()))) return false;
    listener_.Clear();
  }
  DisposeOfStaleListener();
  return true;
}

bool TBase_Impl::HoldCachedIniFile(const char* fileName) {
  TIniStorage* storage = TIniStorage::Instance();
  if (storage == nullptr) return true;
  return Guarded("TBase_Impl.HoldCachedIniFile", false, [&] { return storage->GetIniFile(fileName) != nullptr; });
}

bool TBase_Impl::ReleaseCachedIniFile(const char* fileName) {
  TIniStorage* storage = TIniStorage::Instance();
  if (storage == nullptr) return true;
  return Guarded("TBase_Impl.ReleaseCachedIniFile", false, [&] {
    storage->ReleaseIniFile(fileName);
    return true;
  });
}

void TBase_Impl::ReportFailure(const char* qualifiedName, std::exception_ptr error) {
  const std::string text = ExceptionText(error);
  DoError(qualifiedName, text.c_str());
}

void TBase_Impl::DoError(const char* methodName, const char* message) {
  try {
    if (DropStaleListener()) return;
    const std::string text = FormatText("METHOD ERROR %s [%s] : %s", {methodName, Name(), message});
    LogMessage(text);
    SetLastError(text.c_str());
    LogErrorLine(text);
    std::lock_guard lock(mutex_);
    listener_.Post("DoError", [text](::BaseEvents_ptr listener) { listener->DoError(text.c_str()); });
  } catch (...) {
    // A dead client must not turn an error report into another failure.
  }
}

void TBase_Impl::DoChange() {
  if (DropStaleListener()) return;
  Guarded("TBase_Impl.DoChange", [&] {
    LogFormat("TBase_Impl.DoChange : [%s]", {Name()});
    std::lock_guard lock(mutex_);
    if (updateCount_ == 0) listener_.Post("DoChange", [](::BaseEvents_ptr listener) { listener->DoChange(); });
  });
}

}  // namespace vantrel
