#include "AtomicFile.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

namespace vantrel {

namespace {

[[noreturn]] void Fail(const std::string& what, const std::string& fileName) {
  throw std::system_error(errno, std::generic_category(), what + " \"" + fileName + "\"");
}

// The folder's own entry is flushed too: otherwise the rename itself may not survive a crash of the machine.
void SyncFolderOf(const std::string& fileName) {
  const std::filesystem::path folder = std::filesystem::path(fileName).parent_path();
  const int handle = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (handle < 0) return;
  ::fsync(handle);
  ::close(handle);
}

}  // namespace

std::string BackupFileName(const std::string& fileName) { return fileName + ".bak"; }

int RemoveStaleTemporaryFiles(const std::string& folder) {
  int removed = 0;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    const std::string name = entry.path().filename().string();
    const std::size_t mark = name.rfind(".tmp-");
    if (mark == std::string::npos || !entry.is_regular_file(error)) continue;
    const std::string digits = name.substr(mark + 5);
    if (digits.empty() || digits.size() > 10 || digits.find_first_not_of("0123456789") != std::string::npos) continue;
    const pid_t writer = static_cast<pid_t>(std::min(std::stoll(digits), 0x7fffffffLL));
    if (writer == ::getpid() || ::kill(writer, 0) == 0 || errno != ESRCH) continue;
    if (std::filesystem::remove(entry.path(), error)) ++removed;
  }
  return removed;
}

void WriteFileAtomically(const std::string& fileName, std::string_view text) {
  const std::string temporary = fileName + ".tmp-" + std::to_string(::getpid());
  const int handle = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (handle < 0) Fail("Cannot create file", fileName);
  std::size_t written = 0;
  while (written < text.size()) {
    const ssize_t result = ::write(handle, text.data() + written, text.size() - written);
    if (result < 0 && errno == EINTR) continue;
    if (result < 0) {
      const int error = errno;
      ::close(handle);
      ::unlink(temporary.c_str());
      errno = error;
      Fail("Cannot write file", fileName);
    }
    written += static_cast<std::size_t>(result);
  }
  if (::fsync(handle) != 0 || ::close(handle) != 0) {
    const int error = errno;
    ::unlink(temporary.c_str());
    errno = error;
    Fail("Cannot write file", fileName);
  }
  // The old content, when there is any, becomes the previous good copy; the file itself is never missing.
  std::error_code ignored;
  if (std::filesystem::file_size(fileName, ignored) > 0) {
    const std::string backup = BackupFileName(fileName);
    const std::string backupTemporary = backup + ".tmp-" + std::to_string(::getpid());
    ::unlink(backupTemporary.c_str());
    // The copy is as private as the file that replaces it, whatever mode the old file was given by hand.
    if (::link(fileName.c_str(), backupTemporary.c_str()) == 0 &&
        (::chmod(backupTemporary.c_str(), S_IRUSR | S_IWUSR) != 0 ||
         ::rename(backupTemporary.c_str(), backup.c_str()) != 0)) {
      ::unlink(backupTemporary.c_str());
    }
  }
  if (::rename(temporary.c_str(), fileName.c_str()) != 0) {
    const int error = errno;
    ::unlink(temporary.c_str());
    errno = error;
    Fail("Cannot replace file", fileName);
  }
  SyncFolderOf(fileName);
}

}  // namespace vantrel
