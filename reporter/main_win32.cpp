// Uploader entry: it never runs on its own, only with the tray program's hand-over block.
// Exit codes: 0 sent (or the user closed the dialog), 1 no usable block or no version of the
// main program, 2 the report was not sent.
#include "reporter/handover.h"
#include "reporter/report_archive.h"
#include "reporter/resource.h"
#include "reporter/upload.h"

#include <windows.h>
#include <commctrl.h>
#include "common/handover_layout.h"
#include "platform/platform.h"
#include <shellapi.h>
#include <wininet.h>

#include <string>
#include <vector>

namespace vostrale {
namespace {

constexpr int kExitSent = 0;
constexpr int kExitNoBlock = 1;
constexpr int kExitNotSent = 2;

struct Uploader {
    Handover handover;
    std::string registryKey, host, archivePath;
    std::wstring mainProgram;
    bool hasArchive = false, feedbackMode = false, silent = false;
    bool withoutScreenshots = false; // the user left them out
    ReportFields fields;
    HICON icon = nullptr;
};

bool ReadRegistryText(HKEY root, const char* key, const char* name, size_t maxBytes,
                      std::string* out) {
    HKEY h = nullptr;
    if (RegOpenKeyExA(root, key, 0, KEY_READ, &h) != ERROR_SUCCESS)
        return false;
    std::vector<char> buffer(maxBytes + 1, 0);
    DWORD type = 0, size = DWORD(maxBytes);
    LONG rc = RegQueryValueExA(h, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &size);
    RegCloseKey(h);
    if (rc != ERROR_SUCCESS || type != REG_SZ || size > maxBytes)
        return false;
    out->assign(buffer.data(), strnlen(buffer.data(), size));
    return true;
}

bool SystemVersion(RTL_OSVERSIONINFOEXW* info) {
    using Fn = LONG(WINAPI*)(RTL_OSVERSIONINFOEXW*);
    auto fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")));
    *info = RTL_OSVERSIONINFOEXW{};
    info->dwOSVersionInfoSize = sizeof(*info);
    return fn && fn(info) == 0;
}

std::string OsName(const RTL_OSVERSIONINFOEXW& v) {
    HKEY h = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", 0,
                      KEY_READ, &h) != ERROR_SUCCESS)
        return "N/A";
    RegCloseKey(h);
    std::string product;
    ReadRegistryText(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion",
                     "ProductName", 64, &product);
    SYSTEM_INFO si{};
    GetNativeSystemInfo(&si);
    return OsNameText(product, si.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64,
                      platform::NarrowText(v.szCSDVersion), v.dwMajorVersion, v.dwMinorVersion,
                      v.dwBuildNumber);
}

bool ProgramVersion(const std::wstring& path, std::string* out) {
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (size == 0)
        return false;
    std::vector<uint8_t> data(size);
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (!GetFileVersionInfoW(path.c_str(), 0, size, data.data()) ||
        !VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) ||
        length < sizeof(VS_FIXEDFILEINFO))
        return false;
    *out = VersionText(fixed->dwFileVersionMS, fixed->dwFileVersionLS);
    return true;
}

bool ReadArchive(const std::string& path, std::vector<uint8_t>* data) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    LARGE_INTEGER size{};
    bool ok = GetFileSizeEx(h, &size) && size.QuadPart >= 0 && size.QuadPart < (1LL << 31);
    if (ok) {
        data->assign(size_t(size.QuadPart), 0);
        DWORD got = 0;
        ok = ::ReadFile(h, data->data(), DWORD(data->size()), &got, nullptr) &&
             got == data->size();
    }
    CloseHandle(h);
    return ok;
}

// Writes one piece whole; InternetWriteFile may take less than it is given.
bool WriteAll(HINTERNET request, const std::string& piece, uint64_t* written) {
    size_t done = 0;
    while (done < piece.size()) {
        DWORD put = 0;
        if (!InternetWriteFile(request, piece.data() + done, DWORD(piece.size() - done), &put) ||
            put == 0)
            return false;
        done += put;
        *written += put;
    }
    return true;
}

// One POST of the report; true only when the service answered with a 2xx status.
bool Upload(const Uploader& u) {
    ReportTarget target;
    if (!ParseReportHost(u.host, &target))
        return false;
    std::vector<uint8_t> archive;
    if (u.hasArchive && !ReadArchive(u.archivePath, &archive))
        return false;
    if (u.hasArchive && u.withoutScreenshots) {
        std::vector<uint8_t> kept;
        if (!WithoutScreenshots(archive, &kept))
            return false;
        archive.swap(kept);
    }
    RequestBody body;
    if (!BuildRequestBody(u.fields, u.feedbackMode, u.hasArchive ? &archive : nullptr, &body))
        return false;
    bool accepted = false;
    HINTERNET internet = InternetOpenA(kUserAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    HINTERNET connection = internet ? InternetConnectA(internet, target.host.c_str(), target.port,
                                                       nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0)
                                    : nullptr;
    const char* accept[] = {"*/*", nullptr};
    DWORD flags = INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_AUTO_REDIRECT |
                  (target.secure ? INTERNET_FLAG_SECURE : 0);
    HINTERNET request = connection ? HttpOpenRequestA(connection, "POST", kUploadPath, nullptr,
                                                      nullptr, accept, flags, 0)
                                   : nullptr;
    if (request) {
        DWORD timeout = 300000;
        InternetSetOptionA(request, INTERNET_OPTION_RECEIVE_TIMEOUT, &timeout, sizeof(timeout));
        std::string header = std::string("Content-type: multipart/form-data; boundary=") + kBoundary;
        INTERNET_BUFFERSA buffers{};
        buffers.dwStructSize = sizeof(buffers);
        buffers.lpcszHeader = header.c_str();
        buffers.dwHeadersLength = DWORD(header.size());
        buffers.dwBufferTotal = DWORD(body.length);
        if (body.length < 0x7FFFFFFF && HttpSendRequestExA(request, &buffers, nullptr, 0, 0)) {
            uint64_t written = 0;
            bool ok = true;
            for (const std::string& piece : body.writes) {
                if (!(ok = WriteAll(request, piece, &written)))
                    break;
            }
            if (ok && written == body.length && HttpEndRequestA(request, nullptr, 0, 0)) {
                DWORD status = 0, size = sizeof(status);
                accepted = HttpQueryInfoA(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER,
                                          &status, &size, nullptr) &&
                           IsAcceptedStatus(status);
            }
        }
        InternetCloseHandle(request);
    }
    if (connection)
        InternetCloseHandle(connection);
    if (internet)
        InternetCloseHandle(internet);
    return accepted;
}

Uploader* g_uploader = nullptr;

std::string ItemText(HWND dialog, int id, size_t max) {
    std::vector<char> buffer(max + 1, 0);
    GetDlgItemTextA(dialog, id, buffer.data(), int(buffer.size()));
    return buffer.data();
}

void SetIcons(HWND dialog) {
    if (!g_uploader->icon)
        return;
    SendMessageW(dialog, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(g_uploader->icon));
    SendMessageW(dialog, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(g_uploader->icon));
}

void SendFromDialog(HWND dialog) {
    ShowWindow(dialog, SW_HIDE);
    bool sent = Upload(*g_uploader);
    if (!sent)
        MessageBoxA(nullptr, "The report was not sent.", nullptr, MB_ICONERROR);
    EndDialog(dialog, sent ? kExitSent : kExitNotSent);
}

std::wstring WideFromUtf8(const std::string& s) {
    if (s.empty())
        return {};
    int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, s.data(), int(s.size()), nullptr, 0);
    std::wstring w(size_t(n > 0 ? n : 0), L'\0');
    if (n > 0)
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, s.data(), int(s.size()), w.data(), n);
    return w;
}

// The detail view: every entry, screenshots and system description unscrambled, in a fresh
// folder under the temporary folder, opened in the shell.
void ShowReportDetail(HWND dialog) {
    std::vector<uint8_t> zip;
    std::vector<ArchiveEntry> entries;
    if (!ReadArchive(g_uploader->archivePath, &zip) || !ReadArchiveDirectory(zip, &entries)) {
        MessageBoxA(dialog, "The report cannot be read.", nullptr, MB_ICONERROR);
        return;
    }
    wchar_t temp[MAX_PATH + 1] = {};
    DWORD n = GetTempPathW(MAX_PATH, temp);
    if (n == 0 || n >= MAX_PATH)
        return;
    std::wstring folder;
    for (unsigned i = 0; i < 1000 && folder.empty(); ++i) {
        std::wstring candidate = std::wstring(temp) + L"Vostrale report " +
                                 std::to_wstring(GetTickCount() % 100000) + L"-" + std::to_wstring(i);
        if (CreateDirectoryW(candidate.c_str(), nullptr))
            folder = candidate + L"\\";
    }
    if (folder.empty())
        return;
    for (const ArchiveEntry& e : entries) {
        bool scrambled = false;
        std::wstring name = WideFromUtf8(DetailFileName(e.name, &scrambled));
        std::vector<uint8_t> data;
        if (name.empty() || !ExtractEntry(zip, e, size_t(1) << 30, &data))
            continue;
        if (scrambled) {
            for (uint8_t& b : data)
                b ^= handover::kScrambleKey;
        }
        HANDLE h = CreateFileW((folder + name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE)
            continue;
        DWORD put = 0;
        WriteFile(h, data.data(), DWORD(data.size()), &put, nullptr);
        CloseHandle(h);
    }
    ShellExecuteW(dialog, L"open", folder.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

INT_PTR CALLBACK CrashDialog(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG: {
        // The headline's "%s" takes the product name; the name is never used as a format.
        std::string text = ItemText(dialog, IDC_HEADLINE, 256);
        size_t at = text.find("%s");
        if (at != std::string::npos)
            text.replace(at, 2, g_uploader->fields.product);
        SetDlgItemTextA(dialog, IDC_HEADLINE, text.c_str());
        if (g_uploader->icon)
            SendDlgItemMessageW(dialog, IDC_ICON_PICTURE, STM_SETICON,
                                reinterpret_cast<WPARAM>(g_uploader->icon), 0);
        SetIcons(dialog);
        CheckDlgButton(dialog, IDC_INCLUDE_SCREENSHOTS, BST_CHECKED);
        // Return sends; it must not open the detail view through the link.
        SetFocus(GetDlgItem(dialog, IDOK));
        return FALSE;
    }
    case WM_NOTIFY: {
        auto* n = reinterpret_cast<NMHDR*>(lParam);
        if (n->idFrom == IDC_DETAIL_LINK && (n->code == NM_CLICK || n->code == NM_RETURN) &&
            g_uploader->hasArchive)
            ShowReportDetail(dialog);
        return TRUE;
    }
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK) {
            g_uploader->withoutScreenshots =
                IsDlgButtonChecked(dialog, IDC_INCLUDE_SCREENSHOTS) != BST_CHECKED;
            SendFromDialog(dialog);
        }
        else if (LOWORD(wParam) == IDCANCEL)
            EndDialog(dialog, kExitSent);
        return TRUE;
    }
    return FALSE;
}

void StoreEmail(const std::string& key, const std::string& email) {
    HKEY h = nullptr;
    std::string path = "Software\\" + key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_SET_VALUE, &h) != ERROR_SUCCESS)
        return; // the key is not created here
    RegSetValueExA(h, "email", 0, REG_SZ, reinterpret_cast<const BYTE*>(email.c_str()),
                   DWORD(email.size() + 1));
    RegCloseKey(h);
}

INT_PTR CALLBACK FeedbackDialog(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        SetIcons(dialog);
        SendDlgItemMessageA(dialog, IDC_EMAIL, EM_LIMITTEXT, kMaxEmailBytes, 0);
        SendDlgItemMessageA(dialog, IDC_MESSAGE, EM_LIMITTEXT, kMaxMessageBytes, 0);
        if (!g_uploader->fields.email.empty()) {
            SetDlgItemTextA(dialog, IDC_EMAIL, g_uploader->fields.email.c_str());
            SetFocus(GetDlgItem(dialog, IDC_MESSAGE));
            return FALSE;
        }
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK) {
            std::string email = ItemText(dialog, IDC_EMAIL, kMaxEmailBytes);
            std::string text = ItemText(dialog, IDC_MESSAGE, kMaxMessageBytes);
            switch (CheckFeedback(&email, &text)) {
            case FeedbackCheck::InvalidEmail:
                MessageBoxA(dialog, "Invalid email address", nullptr, MB_ICONERROR);
                SetFocus(GetDlgItem(dialog, IDC_EMAIL));
                return TRUE;
            case FeedbackCheck::MessageTooShort:
                MessageBoxA(dialog, "Message is too short. Minimum is 10 characters.", nullptr,
                            MB_ICONERROR);
                SetFocus(GetDlgItem(dialog, IDC_MESSAGE));
                return TRUE;
            case FeedbackCheck::Ok:
                break;
            }
            if (!email.empty())
                StoreEmail(g_uploader->registryKey, email);
            g_uploader->fields.email = email;
            g_uploader->fields.content = text;
            SendFromDialog(dialog);
        } else if (LOWORD(wParam) == IDCANCEL) {
            EndDialog(dialog, kExitSent);
        }
        return TRUE;
    }
    return FALSE;
}

std::wstring OwnPath() {
    return platform::ProgramFile().wstring();
}

int Run(HINSTANCE instance) {
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    GetStartupInfoW(&si);
    Uploader u;
    if (!ParseHandover(si.lpReserved2, si.cbReserved2, &u.handover))
        return kExitNoBlock;
    const Handover& h = u.handover;
    u.fields.product = h.strings[0];
    u.registryKey = h.strings[1];
    u.host = h.strings[3];
    u.hasArchive = h.hasArchive;
    u.archivePath = h.archivePath;
    u.feedbackMode = (h.flags & handover::kModeMask) != 0;
    u.silent = (h.flags & handover::kSendWithoutAskingMask) != 0;
    u.fields.type = (h.flags & 0xFFFF) != 0 ? "FEEDBACK" : "CRASH";
    std::wstring own = OwnPath();
    std::wstring program = platform::WidenText(h.strings[2]);
    if (own.empty() || program.empty() || program.find_first_of(L"\\/:") != std::wstring::npos)
        return kExitNoBlock;
    u.mainProgram = own.substr(0, own.find_last_of(L'\\') + 1) + program;
    RTL_OSVERSIONINFOEXW version;
    if (SystemVersion(&version)) {
        u.fields.osversion = std::to_string(version.dwMajorVersion) + "." +
                             std::to_string(version.dwMinorVersion);
        u.fields.osname = OsName(version);
    } else {
        u.fields.osname = "N/A";
    }
    ReadRegistryText(HKEY_CURRENT_USER, ("Software\\" + u.registryKey).c_str(), "email",
                     kMaxEmailBytes, &u.fields.email);
    if (!ProgramVersion(u.mainProgram, &u.fields.version))
        return kExitNoBlock;
    ExtractIconExW(u.mainProgram.c_str(), 0, &u.icon, nullptr, 1);
    g_uploader = &u;
    int result;
    if (u.silent) {
        result = Upload(u) ? kExitSent : kExitNotSent;
    } else if (u.feedbackMode) {
        result = int(DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_FEEDBACK), nullptr,
                                     FeedbackDialog, 0));
    } else {
        INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_LINK_CLASS};
        InitCommonControlsEx(&icc);
        result = int(DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_CRASH), nullptr, CrashDialog, 0));
    }
    if (u.icon)
        DestroyIcon(u.icon);
    g_uploader = nullptr;
    return result < 0 ? kExitNotSent : result;
}

} // namespace
} // namespace vostrale

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) { return vostrale::Run(instance); }
