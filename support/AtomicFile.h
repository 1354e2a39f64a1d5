#pragma once

#include <string>
#include <string_view>

namespace vantrel {

// Replaces the file's content as one step: the text goes to a new file in the same folder, is flushed to the
// disk and renamed over the old one, so a crash at any moment leaves the old content or the new one, never a
// torn or empty file. The content before the change is kept beside it as FILE.bak (the previous good copy).
// The file is readable by this user only. Throws with the system's reason; the old file is then untouched.
void WriteFileAtomically(const std::string& fileName, std::string_view text);

// Removes the temporary files that writers in the folder left when they died mid-write (FILE.tmp-PID of a
// process that no longer runs); returns how many.
int RemoveStaleTemporaryFiles(const std::string& folder);

// The name of the previous good copy of a file.
std::string BackupFileName(const std::string& fileName);

}  // namespace vantrel
