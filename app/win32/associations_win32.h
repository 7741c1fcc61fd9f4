// The shell side of file associations: the "/XF" one-shot with its change file, the user's
// own choice in Explorer, and what the shell would really open an extension with.
#pragma once

#include "app/associations.h"

#include <windows.h>

#include <string>

namespace vostrale::app {

class Win32AssociationShell final : public AssociationShell {
  public:
    // Adds an entry for the interactive users to the key's DACL (the existing entries stay),
    // then deletes the key.
    void ClearUserChoice(const std::wstring& extension) override;
    void NotifyAssociationsChanged() override;
};

// "<temporary folder>\vostrale.assoc"; empty when the folder cannot be had.
std::wstring DefaultChangeFilePath();

// Reads the change file once and deletes it: opened without following reparse points,
// refused when it is a directory, a reparse point or a file with other links; at most
// kMaxChangeFileBytes are read. False when nothing could be read.
bool TakeChangeFile(const std::wstring& path, std::string* bytes);

// Writes the change file anew.
bool WriteChangeFile(const std::wstring& path, const std::string& bytes);

// The "/XF" job: `changeFile` empty means DefaultChangeFilePath().
void RunAssociationJob(Registry* registry, System* system, const std::wstring& changeFile);

// Whether the shell opens files of `extension` with this program file.
bool ShellOpensWithProgram(const std::wstring& extension, const std::wstring& programPath);

// Whether this process runs elevated (a token with full rights).
bool ProcessIsElevated();

} // namespace vostrale::app
