// The language table: the program's built-in English texts, replaced message by message and
// control by control by a ".lng" file from the "Language" folder beside the program. A language
// file is hostile input: every count and string is bounded by the file's end, and a translated
// text used as a pattern must not ask for more inserts than the built-in one supplies.
#pragma once

#include "app/interfaces.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

namespace vostrale::app {

inline constexpr const wchar_t* kLanguageValue = L"Language";
inline constexpr const wchar_t* kLanguagePrefix = L"vostrale";
inline constexpr const wchar_t* kOneShotLanguagePrefix = L"Vostrale";

constexpr size_t kMaxLanguageFileBytes = 4u << 20;
constexpr size_t kLanguageHeaderBytes = 104;
constexpr size_t kLanguageNameChars = 32;
constexpr size_t kDialogTextChars = 512; // a control text is cut to 511 characters

// Message numbers of the language table.
enum MessageId : uint32_t {
    kMsgChooseAndMount = 0,
    kMsgUnmount = 1,
    kMsgDriveEmpty = 4, // %1 = drive letter
    kMsgDriveImage = 5, // %1 = drive letter, %2 = image path
    kMsgSettings = 8,
    kMsgSettingsCaption = 9, // the settings sheet's caption
    kMsgDriveCount = 10,
    kMsgUnmountAll = 11,
    kMsgAbout = 13,
    kMsgExit = 14,
    kMsgEject = 15,
    kMsgCloseTray = 16,
    kMsgOpenDrive = 18,
    kMsgNoDrives = 19,
    kMsgMountFailed = 20,
    kMsgOpenError = 21, // %1 = image path, %2 = the system's text for the error
    kMsgExtensionColumn = 22, // the settings sheet's list of file types
    kMsgHomePage = 23,
    kMsgProgressSubject = 30, // %1 = file name
    kMsgProgressDone = 31,    // %1 = percent, %2 = seconds
};

// Dialog numbers (a language file's section numbers). String 0 of a section is the caption,
// string i the text of control i.
enum DialogNumber : uint16_t {
    kDialogAbout = 100,
    kDialogMountFailure = 101,
    kDialogProgress = 102,
};

// How a built-in text is filled: not at all, or with numbered inserts (%1, %2; %% is a percent
// sign) expanded by ExpandInserts.
enum class TextKind { Plain, Inserts };

struct BuiltinText {
    uint32_t id;
    TextKind kind;
    const wchar_t* text;
};

// The built-in text of a message; null for a number the program does not use.
const BuiltinText* FindBuiltinMessage(uint32_t id);
// Every built-in message, in table order.
std::span<const BuiltinText> BuiltinMessages();

// Replaces %1 to %9 by args[n - 1] and %% by %; an insert without an argument and any other
// percent sequence stay as they are. Never reads beyond `args`.
std::wstring ExpandInserts(const std::wstring& pattern, const std::vector<std::wstring>& args);
// Whether `translated` may stand for `builtin` as an insert pattern: every insert it uses is
// one the built-in text uses.
bool InsertsCompatible(const std::wstring& builtin, const std::wstring& translated);

// Whether a window class takes translated texts: "Button", "Static" or "SysLink" without case.
bool IsTranslatableClass(const std::wstring& className);

// Packs a three-letter code as list item data: c0 | c1 << 8 | c2 << 16 (low bytes).
uint32_t PackLanguageCode(const std::wstring& code);
std::wstring UnpackLanguageCode(uint32_t packed);
// Exactly three ASCII letters.
bool IsLanguageCode(const std::wstring& code);

struct LanguageSection {
    uint16_t number = 0;
    uint16_t extra = 0;                // the header's second value, kept with the section
    std::vector<std::wstring> strings; // empty string: no translation for that slot
};

struct LanguageFile {
    uint16_t langId = 0;
    std::wstring displayName;
    std::vector<std::wstring> messages; // empty string: no translation
    std::vector<LanguageSection> sections;
};

// The first 96 bytes: magic, display name (at most 32 characters) and LANGID. False when the
// bytes are too few or the magic is missing.
bool ReadLanguageHeader(const uint8_t* data, size_t size, uint16_t* langId, std::wstring* name);
// A whole file. False when it is no language file (too small, too large, wrong magic); a table
// or section cut short by the file's end keeps what was complete.
bool ParseLanguageFile(const uint8_t* data, size_t size, LanguageFile* out);

// "<folder><prefix>_<code>.lng".
std::wstring LanguageFileName(const std::wstring& folder, const std::wstring& prefix,
                              const std::wstring& code);

struct LanguageChoice {
    std::wstring code; // three letters
    uint16_t langId = 0;
    std::wstring displayName;
    std::filesystem::path path;
};
// Every "<prefix>_???.lng" file of `folder` with the magic, sorted by display name.
std::vector<LanguageChoice> ListLanguages(const std::filesystem::path& folder,
                                          const std::wstring& prefix);

class LanguageTable {
  public:
    // Sets the folder ("<program folder>\Language\") and loads the file named by the stored
    // "Language" value, if any.
    void Create(Registry* registry, System* system, const std::wstring& prefix);
    // The same with the folder given (ending in its separator).
    void CreateIn(Registry* registry, const std::wstring& folder, const std::wstring& prefix);
    // Replaces the current texts by those of a file; a file that is missing, unreadable or no
    // language file leaves the built-in texts in force and returns false.
    bool Load(const std::filesystem::path& path);
    bool LoadBytes(const uint8_t* data, size_t size);
    void Unload();
    // Stores the code under "Language" and loads its file.
    bool Choose(Registry* registry, const std::wstring& code);

    uint16_t LangId() const;
    const std::wstring& Folder() const { return m_folder; }
    const std::wstring& Prefix() const { return m_prefix; }

    // The translation of a message when present and not empty; else `buffer` keeps what the
    // caller put there. `chars` counts characters, terminator included.
    void CopyMessage(uint32_t id, wchar_t* buffer, size_t chars) const;
    // The message in force: the translation, or the built-in text. For insert patterns a
    // translation that asks for inserts the built-in text lacks is ignored.
    std::wstring Message(uint32_t id) const;
    // Message(id) with its inserts expanded.
    std::wstring Format(uint32_t id, const std::vector<std::wstring>& args) const;

    // The caption of a dialog section (string 0), empty when none.
    std::wstring DialogCaption(uint16_t dialog) const;
    // The translated text of control `control` of a dialog (at most 511 characters), empty
    // when none. `builtin`, when given, is the template's own text: a translation is then
    // taken only if its inserts fit it.
    std::wstring ControlText(uint16_t dialog, uint32_t control,
                             const std::wstring* builtin = nullptr) const;
    // String 0 of the section at `position` in file order.
    bool CaptionByPosition(size_t position, std::wstring* caption) const;

  private:
    const LanguageSection* FindSection(uint16_t dialog) const;

    mutable std::mutex m_lock;
    std::wstring m_folder;
    std::wstring m_prefix = kLanguagePrefix;
    std::shared_ptr<const LanguageFile> m_file; // null: built-in texts
};

// The language chosen at installation: when no "Language" value is stored yet, the first
// language file whose LANGID equals the user's UI language (else the user's default language)
// is stored. Returns whether a code was written.
bool ChooseInstallLanguage(Registry* registry, const std::wstring& folder, uint16_t uiLanguage,
                           uint16_t defaultLanguage);

// "<program folder>\Language\", empty when the program's path is unknown.
std::wstring LanguageFolder(System* system);

} // namespace vostrale::app
