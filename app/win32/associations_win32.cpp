#include "app/win32/associations_win32.h"

#include "app/text.h"
#include "app/win32/win32_services.h"

#include <aclapi.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <iterator>
#include <vector>

namespace vostrale::app {

namespace {

constexpr const wchar_t* kFileExtsKey =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\FileExts\\";

// Adds "interactive users: full control" to the key's own DACL.
void GrantInteractiveUsers(HKEY key) {
    DWORD size = 0;
    if (RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, nullptr, &size) !=
            ERROR_INSUFFICIENT_BUFFER ||
        size == 0)
        return;
    std::vector<BYTE> descriptor(size);
    if (RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor.data(), &size) !=
        ERROR_SUCCESS)
        return;
    BOOL present = FALSE, defaulted = FALSE;
    PACL oldAcl = nullptr;
    if (!GetSecurityDescriptorDacl(descriptor.data(), &present, &oldAcl, &defaulted))
        return;
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID interactive = nullptr;
    if (!AllocateAndInitializeSid(&nt, 1, SECURITY_INTERACTIVE_RID, 0, 0, 0, 0, 0, 0, 0,
                                  &interactive))
        return;
    EXPLICIT_ACCESSW entry{};
    entry.grfAccessPermissions = KEY_ALL_ACCESS;
    entry.grfAccessMode = GRANT_ACCESS;
    entry.grfInheritance = NO_INHERITANCE;
    entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    entry.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    entry.Trustee.ptstrName = static_cast<LPWSTR>(interactive);
    PACL newAcl = nullptr;
    if (SetEntriesInAclW(1, &entry, present ? oldAcl : nullptr, &newAcl) == ERROR_SUCCESS) {
        SECURITY_DESCRIPTOR updated;
        if (InitializeSecurityDescriptor(&updated, SECURITY_DESCRIPTOR_REVISION) &&
            SetSecurityDescriptorDacl(&updated, TRUE, newAcl, FALSE))
            RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &updated);
        LocalFree(newAcl);
    }
    FreeSid(interactive);
}

} // namespace

void Win32AssociationShell::ClearUserChoice(const std::wstring& extension) {
    std::wstring path = std::wstring(kFileExtsKey) + extension + L"\\UserChoice";
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, READ_CONTROL | WRITE_DAC, &key) ==
        ERROR_SUCCESS) {
        GrantInteractiveUsers(key);
        RegCloseKey(key);
    }
    SHDeleteKeyW(HKEY_CURRENT_USER, path.c_str());
}

void Win32AssociationShell::NotifyAssociationsChanged() {
    SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_FLUSH, nullptr, nullptr);
}

std::wstring DefaultChangeFilePath() {
    wchar_t folder[MAX_PATH + 1] = {};
    DWORD n = GetTempPathW(MAX_PATH, folder);
    if (n == 0 || n >= MAX_PATH)
        return {};
    std::wstring path(folder, n);
    if (!path.empty() && path.back() == L'\\')
        path.pop_back();
    return path + L"\\" + kChangeFileName;
}

bool TakeChangeFile(const std::wstring& path, std::string* bytes) {
    // Deleted when closed, whatever it turns out to be; a reparse point itself, not its target.
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | DELETE, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING,
                              FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION info{};
    bool plain = GetFileInformationByHandle(file, &info) &&
                 !(info.dwFileAttributes &
                   (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) &&
                 info.nNumberOfLinks <= 1;
    bool ok = false;
    if (plain) {
        char buffer[kMaxChangeFileBytes];
        DWORD got = 0;
        ok = ReadFile(file, buffer, DWORD(sizeof(buffer)), &got, nullptr) != 0;
        if (ok)
            bytes->assign(buffer, got);
    }
    CloseHandle(file);
    return ok;
}

bool WriteChangeFile(const std::wstring& path, const std::string& bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    bool ok = WriteFile(file, bytes.data(), DWORD(bytes.size()), &written, nullptr) &&
              written == bytes.size();
    CloseHandle(file);
    if (!ok)
        DeleteFileW(path.c_str());
    return ok;
}

void RunAssociationJob(Registry* registry, System* system, const std::wstring& changeFile) {
    std::wstring path = changeFile.empty() ? DefaultChangeFilePath() : changeFile;
    std::string bytes;
    std::vector<AssociationChange> changes;
    if (!path.empty() && path.size() < MAX_PATH && TakeChangeFile(path, &bytes))
        changes = ParseChangeFile(bytes);
    Win32AssociationShell shell;
    ApplyAssociationChanges(registry, system, &shell, changes);
}

void Win32OneShotJobs::ApplyAssociations(const std::wstring& changeFile) {
    Win32Registry registry;
    Win32System system;
    RunAssociationJob(&registry, &system, changeFile);
}

bool ShellOpensWithProgram(const std::wstring& extension, const std::wstring& programPath) {
    wchar_t executable[MAX_PATH * 2] = {};
    DWORD chars = DWORD(std::size(executable));
    if (AssocQueryStringW(ASSOCF_NOTRUNCATE, ASSOCSTR_EXECUTABLE, extension.c_str(), L"open",
                          executable, &chars) != S_OK)
        return false;
    executable[std::size(executable) - 1] = 0;
    wchar_t wanted[MAX_PATH * 2] = {};
    wchar_t found[MAX_PATH * 2] = {};
    // Compare the long forms: the shell may hand back a short or differently cased path.
    if (!GetLongPathNameW(programPath.c_str(), wanted, DWORD(std::size(wanted))))
        lstrcpynW(wanted, programPath.c_str(), int(std::size(wanted)));
    if (!GetLongPathNameW(executable, found, DWORD(std::size(found))))
        lstrcpynW(found, executable, int(std::size(found)));
    return EqualNoCase(wanted, found);
}

bool ProcessIsElevated() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return false;
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    bool elevated = GetTokenInformation(token, TokenElevation, &elevation, sizeof(elevation),
                                        &size) &&
                    elevation.TokenIsElevated != 0;
    CloseHandle(token);
    return elevated;
}

} // namespace vostrale::app
