// File associations: the program's document class, taking an image extension over and giving
// it back (with a backup of the previous class), and the change file the settings page writes
// for the elevated "/XF" one-shot, which applies it.
#pragma once

#include "app/interfaces.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vostrale::app {

inline constexpr const wchar_t* kDocumentClass = L"Vostrale";
inline constexpr const wchar_t* kDocumentTypeName = L"Vostrale disc image";
// Class registrations are written to the machine's own classes, not through the merged view,
// whose writes land in a user's hive when that user has the key.
inline constexpr const wchar_t* kMachineClassesKey = L"Software\\Classes";
inline constexpr const wchar_t* kAssociationBackupKey = L"SOFTWARE\\Vostrale\\Association";
inline constexpr const wchar_t* kCapabilitiesKey = L"SOFTWARE\\Vostrale\\Capabilities";
inline constexpr const wchar_t* kRegisteredApplicationsKey = L"SOFTWARE\\RegisteredApplications";
inline constexpr const wchar_t* kOfferedExtensionList = L"*.ccd;*.cue;*.iso;*.isz;*.mds;*.nrg";
inline constexpr const wchar_t* kChangeFileName = L"vostrale.assoc";

constexpr size_t kMaxChangeLineBytes = 128;   // a line with its newline
constexpr size_t kMaxChangeFileBytes = 4096;  // more than six lines ever need
constexpr size_t kMaxExtensionChars = 259;    // an extension of 260 characters is refused
constexpr size_t kMaxClassNameChars = 16383;  // the registry's own limit for a key name

// ".ccd", ".cue", ".iso", ".isz", ".mds", ".nrg", from the offered list.
std::vector<std::wstring> OfferedExtensions();
// Exactly one of the offered extensions, case ignored.
bool IsOfferedExtension(const std::wstring& extension);

// The class an extension points to, read at its real length from the machine's classes.
enum class ClassReadResult { Empty, Name, Unreadable };
ClassReadResult ReadExtensionClass(Registry* registry, const std::wstring& extension,
                                   std::wstring* name);
bool IsDocumentClass(const std::wstring& name);

// Creates the document class: its type name, open command ("<program>" /M:0 "%1") and, with
// `withIcon`, the icon; and the program's entry among the registered applications.
void RegisterDocumentClass(Registry* registry, System* system, bool withIcon);
// Deletes the class and the registered-application entry (after ReleaseAllAssociations).
void RemoveDocumentClass(Registry* registry);

enum class AssociationResult {
    Done,      // the extension is as asked
    Unchanged, // off for an extension that is not ours: left as it is
    Refused,   // bad extension, or a previous owner that could not be read or saved
    Failed,    // a registry write failed
};

// Takes `extension` over (on) or gives it back (off). A dot is put in front when missing.
AssociationResult SetAssociation(Registry* registry, const std::wstring& extension, bool on);

// Gives back every offered extension that still points at the document class; the
// uninstaller calls this before RemoveDocumentClass.
void ReleaseAllAssociations(Registry* registry);

struct AssociationChange {
    std::wstring extension;
    bool on = false;
};

// The change file: one "<.ext>=<0|1>\n" line per change, 8-bit text. Only offered
// extensions are written.
std::string FormatChangeFile(const std::vector<AssociationChange>& changes);
// Reads it as the elevated one-shot must: at most kMaxChangeFileBytes, lines longer than
// kMaxChangeLineBytes dropped whole, split at the first '=', a line without '=' ends the
// reading, the flag on unless the character after '=' is '0', offered extensions only.
std::vector<AssociationChange> ParseChangeFile(const std::string& bytes);

// What the one-shot needs from the shell beyond the registry.
class AssociationShell {
  public:
    virtual ~AssociationShell() = default;
    // Removes the user's own choice of program for the extension, so the class is used.
    virtual void ClearUserChoice(const std::wstring& extension) = 0;
    // SHChangeNotify(SHCNE_ASSOCCHANGED).
    virtual void NotifyAssociationsChanged() = 0;
};

// The "/XF" one-shot after the file was read: registers the class (without the icon) and
// applies each change.
void ApplyAssociationChanges(Registry* registry, System* system, AssociationShell* shell,
                             const std::vector<AssociationChange>& changes);

} // namespace vostrale::app
