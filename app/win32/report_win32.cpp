#include "app/win32/report_win32.h"
#include "platform/platform.h"

#include <shlobj.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" {
#include <jpeglib.h>
}

namespace vostrale::app {

namespace {

REGSAM ViewFlag(RegistryView view) {
    switch (view) {
    case RegistryView::Bits64: return KEY_WOW64_64KEY;
    case RegistryView::Bits32: return KEY_WOW64_32KEY;
    default: return 0;
    }
}

std::wstring WideFromUtf8(const std::string& text) {
    if (text.empty())
        return {};
    int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0);
    std::wstring w(size_t(n > 0 ? n : 0), L'\0');
    if (n > 0)
        MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), w.data(), n);
    return w;
}

bool IsPlainFolder(const std::wstring& path) {
    DWORD a = GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) &&
           !(a & FILE_ATTRIBUTE_REPARSE_POINT);
}

// The libjpeg error manager: an error returns to the encoding step instead of exit().
struct JpegError {
    jpeg_error_mgr base;
    void* jump[5];
};

void JpegErrorExit(j_common_ptr info) {
    auto* error = reinterpret_cast<JpegError*>(info->err);
    __builtin_longjmp(error->jump, 1);
}

void JpegNoOutput(j_common_ptr) {}

struct ScreenState {
    Win32ReportEnvironment* env;
    std::wstring folder;
    int count = 0;
    bool stop = false;
    CURSORINFO cursor{};
    bool haveCursor = false;
};

// One monitor: copied from (0,0) of its own device context, or, when that cannot be made,
// from its rectangle on the desktop's.
bool ShootMonitor(HMONITOR monitor, ScreenState* s, std::vector<uint8_t>* jpeg) {
    MONITORINFOEXW info{};
    info.cbSize = sizeof(info);
    if (!GetMonitorInfoW(monitor, &info))
        return false;
    RECT r = info.rcMonitor;
    int width = r.right - r.left, height = r.bottom - r.top;
    if (width <= 0 || height <= 0 || width > 32768 || height > 32768)
        return false;
    HDC source = CreateDCW(info.szDevice, info.szDevice, nullptr, nullptr);
    bool own = source != nullptr;
    int sx = 0, sy = 0;
    if (!own) {
        source = GetDC(nullptr);
        sx = r.left;
        sy = r.top;
    }
    if (!source)
        return false;
    HDC memory = CreateCompatibleDC(source);
    HBITMAP bitmap = CreateCompatibleBitmap(source, width, height);
    bool ok = false;
    if (memory && bitmap) {
        HGDIOBJ old = SelectObject(memory, bitmap);
        ok = BitBlt(memory, 0, 0, width, height, source, sx, sy, SRCCOPY | CAPTUREBLT) != 0;
        if (ok && s->haveCursor && (s->cursor.flags & CURSOR_SHOWING) &&
            PtInRect(&r, s->cursor.ptScreenPos)) {
            ICONINFO icon{};
            if (GetIconInfo(s->cursor.hCursor, &icon)) {
                DrawIcon(memory, s->cursor.ptScreenPos.x - r.left - int(icon.xHotspot),
                         s->cursor.ptScreenPos.y - r.top - int(icon.yHotspot), s->cursor.hCursor);
                if (icon.hbmMask)
                    DeleteObject(icon.hbmMask);
                if (icon.hbmColor)
                    DeleteObject(icon.hbmColor);
            }
        }
        SelectObject(memory, old);
    }
    if (ok) {
        // All lines in one fetch, top-down; a short fetch drops the screenshot.
        BITMAPINFO bi{};
        bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
        bi.bmiHeader.biWidth = width;
        bi.bmiHeader.biHeight = -height;
        bi.bmiHeader.biPlanes = 1;
        bi.bmiHeader.biBitCount = 24;
        bi.bmiHeader.biCompression = BI_RGB;
        std::vector<uint8_t> pixels(ScreenRowStride(uint32_t(width)) * size_t(height));
        ok = GetDIBits(memory, bitmap, 0, UINT(height), pixels.data(), &bi, DIB_RGB_COLORS) ==
             height;
        if (ok)
            ok = EncodeJpeg(pixels.data(), uint32_t(width), uint32_t(height), jpeg);
    }
    if (bitmap)
        DeleteObject(bitmap);
    if (memory)
        DeleteDC(memory);
    if (own)
        DeleteDC(source);
    else
        ReleaseDC(nullptr, source);
    return ok;
}

BOOL CALLBACK MonitorProc(HMONITOR monitor, HDC, LPRECT, LPARAM param) {
    auto* s = reinterpret_cast<ScreenState*>(param);
    std::vector<uint8_t> jpeg;
    if (!ShootMonitor(monitor, s, &jpeg))
        return TRUE;
    std::wstring path = s->folder + L"screen" + std::to_wstring(s->count + 1) + L".jpg";
    if (!s->env->WriteNewFile(path, jpeg))
        return FALSE; // the folder refuses files: stop, as later ones would fail too
    ++s->count;
    return TRUE;
}

} // namespace

bool EncodeJpeg(const uint8_t* bgrRows, uint32_t width, uint32_t height,
                std::vector<uint8_t>* jpeg) {
    jpeg->clear();
    jpeg_compress_struct info{};
    JpegError error{};
    info.err = jpeg_std_error(&error.base);
    error.base.error_exit = JpegErrorExit;
    error.base.output_message = JpegNoOutput;
    unsigned char* out = nullptr;
    unsigned long outSize = 0;
    size_t stride = ScreenRowStride(width);
    std::vector<uint8_t> row(stride);
    if (__builtin_setjmp(error.jump)) {
        jpeg_destroy_compress(&info);
        std::free(out);
        jpeg->clear();
        return false;
    }
    jpeg_create_compress(&info);
    jpeg_mem_dest(&info, &out, &outSize);
    info.image_width = width;
    info.image_height = height;
    info.input_components = 3;
    info.in_color_space = JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, 15, TRUE);
    jpeg_start_compress(&info, TRUE);
    for (uint32_t y = 0; y < height; ++y) {
        std::memcpy(row.data(), bgrRows + size_t(y) * stride, stride);
        BgrToRgb(row.data(), width);
        JSAMPROW rows[1] = {row.data()};
        jpeg_write_scanlines(&info, rows, 1);
    }
    jpeg_finish_compress(&info);
    jpeg->assign(out, out + outSize);
    jpeg_destroy_compress(&info);
    std::free(out);
    return true;
}

HANDLE CreateReportFile(const std::wstring& path) {
    DeleteFileW(path.c_str()); // a link is removed itself, never its target
    return CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, CREATE_NEW,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

bool Win32MachineRegistry::SubKeys(const std::wstring& key, RegistryView view,
                                   std::vector<std::wstring>* names) {
    HKEY h = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ | ViewFlag(view), &h) !=
        ERROR_SUCCESS)
        return false;
    names->clear();
    wchar_t name[513];
    for (DWORD i = 0; i < 100000; ++i) {
        DWORD n = 513;
        LONG rc = RegEnumKeyExW(h, i, name, &n, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS)
            break;
        if (rc == ERROR_SUCCESS && n < 513)
            names->emplace_back(name, n);
    }
    RegCloseKey(h);
    return true;
}

uint32_t Win32MachineRegistry::QueryValue(const std::wstring& key, RegistryView view,
                                          const std::wstring& name, uint32_t* type, void* data,
                                          uint32_t* size) {
    HKEY h = nullptr;
    LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ | ViewFlag(view), &h);
    if (rc != ERROR_SUCCESS)
        return uint32_t(rc);
    DWORD t = 0, n = *size;
    rc = RegQueryValueExW(h, name.empty() ? nullptr : name.c_str(), nullptr, &t,
                          static_cast<BYTE*>(data), &n);
    RegCloseKey(h);
    *type = t;
    *size = n;
    return uint32_t(rc);
}

uint32_t Win32MachineFacts::SystemLocale() { return GetSystemDefaultLCID(); }
uint32_t Win32MachineFacts::UserLocale() { return GetUserDefaultLCID(); }

bool Win32MachineFacts::HasWow64View() {
    using Fn = UINT(WINAPI*)(LPWSTR, UINT);
    auto fn = reinterpret_cast<Fn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetSystemWow64DirectoryW")));
    if (!fn)
        return false;
    wchar_t buffer[MAX_PATH + 1];
    if (fn(buffer, MAX_PATH) != 0)
        return true;
    return GetLastError() != ERROR_CALL_NOT_IMPLEMENTED;
}

bool Win32MachineFacts::Environment(const std::wstring& name, std::wstring* value) {
    wchar_t buffer[64];
    DWORD n = GetEnvironmentVariableW(name.c_str(), buffer, 64);
    if (n == 0 || n >= 64)
        return false;
    value->assign(buffer, n);
    return true;
}

bool Win32MachineFacts::Memory(uint64_t* total, uint64_t* available) {
    MEMORYSTATUSEX m{};
    m.dwLength = sizeof(m);
    if (!GlobalMemoryStatusEx(&m))
        return false;
    *total = m.ullTotalPhys;
    *available = m.ullAvailPhys;
    return true;
}

uint32_t Win32MachineFacts::LogicalDriveStrings(uint32_t chars, wchar_t* buffer) {
    return GetLogicalDriveStringsW(chars, buffer);
}

uint32_t Win32MachineFacts::DriveType(const std::wstring& root) {
    return GetDriveTypeW(root.c_str());
}

bool Win32MachineFacts::Volume(const std::wstring& root, VolumeFacts* facts) {
    wchar_t label[MAX_PATH + 1] = {}, fs[MAX_PATH + 1] = {};
    if (!GetVolumeInformationW(root.c_str(), label, MAX_PATH + 1, nullptr, nullptr, nullptr, fs,
                               MAX_PATH + 1))
        return false;
    label[MAX_PATH] = fs[MAX_PATH] = 0;
    facts->label = label;
    facts->fileSystem = fs;
    return true;
}

bool Win32MachineFacts::FreeSpace(const std::wstring& root, uint64_t* total, uint64_t* free) {
    ULARGE_INTEGER avail, t, f;
    if (!GetDiskFreeSpaceExW(root.c_str(), &avail, &t, &f))
        return false;
    *total = t.QuadPart;
    *free = f.QuadPart;
    return true;
}

Win32ReportEnvironment::Win32ReportEnvironment(const ReportIdentity& identity,
                                               bool checkElevation)
    : m_identity(identity), m_checkElevation(checkElevation) {}

// Raised by UAC above the user's own rights (the one-shots started with "runas"); an
// administrator's ordinary token with UAC off is not.
bool Win32ReportEnvironment::IsElevated() {
    if (!m_checkElevation)
        return false;
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return true; // unknown: stay out of the user's folders
    TOKEN_ELEVATION elevation{};
    TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
    DWORD n = 0;
    bool ok = GetTokenInformation(token, TokenElevation, &elevation, sizeof(elevation), &n) &&
              GetTokenInformation(token, TokenElevationType, &type, sizeof(type), &n);
    CloseHandle(token);
    return !ok || (elevation.TokenIsElevated != 0 && type == TokenElevationTypeFull);
}

std::wstring Win32ReportEnvironment::ReportFolder() {
    wchar_t documents[MAX_PATH + 1] = {};
    if (SHGetFolderPathW(nullptr, CSIDL_PERSONAL | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT,
                         documents) != S_OK)
        return {};
    documents[MAX_PATH] = 0;
    std::wstring name = WideFromUtf8(m_identity.folderName);
    if (name.empty() || name.size() > 32 || name.find_first_of(L"\\/:") != std::wstring::npos)
        return {};
    std::wstring folder = std::wstring(documents) + L"\\" + name;
    CreateDirectoryW(folder.c_str(), nullptr);
    if (!IsPlainFolder(folder))
        return {};
    return folder + L"\\";
}

bool Win32ReportEnvironment::ReadFile(const std::wstring& path, std::vector<uint8_t>* data) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    LARGE_INTEGER size{};
    bool ok = GetFileSizeEx(h, &size) && size.QuadPart >= 0 && size.QuadPart < (1LL << 32);
    if (ok) {
        data->assign(size_t(size.QuadPart), 0);
        size_t done = 0;
        while (ok && done < data->size()) {
            DWORD got = 0;
            DWORD want = DWORD(std::min<size_t>(data->size() - done, 1u << 24));
            ok = ::ReadFile(h, data->data() + done, want, &got, nullptr) && got > 0;
            done += got;
        }
    }
    CloseHandle(h);
    if (!ok)
        data->clear();
    return ok;
}

bool Win32ReportEnvironment::FileSize(const std::wstring& path, uint64_t* size) {
    WIN32_FILE_ATTRIBUTE_DATA a{};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &a) ||
        (a.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return false;
    *size = (uint64_t(a.nFileSizeHigh) << 32) | a.nFileSizeLow;
    return true;
}

bool Win32ReportEnvironment::WriteNewFile(const std::wstring& path,
                                          const std::vector<uint8_t>& data) {
    HANDLE h = CreateReportFile(path);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    size_t done = 0;
    bool ok = true;
    while (ok && done < data.size()) {
        DWORD put = 0;
        DWORD want = DWORD(std::min<size_t>(data.size() - done, 1u << 24));
        ok = WriteFile(h, data.data() + done, want, &put, nullptr) && put > 0;
        done += put;
    }
    CloseHandle(h);
    if (!ok)
        DeleteFileW(path.c_str());
    return ok;
}

bool Win32ReportEnvironment::RemoveFile(const std::wstring& path) {
    return DeleteFileW(path.c_str()) != 0;
}

int Win32ReportEnvironment::CaptureScreenshots(const std::wstring& folder) {
    ScreenState s;
    s.env = this;
    s.folder = folder;
    s.cursor.cbSize = sizeof(s.cursor);
    s.haveCursor = GetCursorInfo(&s.cursor) != 0;
    EnumDisplayMonitors(nullptr, nullptr, MonitorProc, reinterpret_cast<LPARAM>(&s));
    return s.count;
}

LocalTime Win32ReportEnvironment::Now() {
    SYSTEMTIME t{};
    GetLocalTime(&t);
    return {t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond};
}

std::wstring Win32ReportEnvironment::ProgramPath() {
    return platform::ProgramFile().wstring();
}

bool Win32ReportEnvironment::NarrowText(const std::wstring& text, bool isPath, std::string* out) {
    auto convert = [out](const std::wstring& w) {
        out->clear();
        if (w.empty())
            return true;
        BOOL usedDefault = FALSE;
        int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, w.data(), int(w.size()), nullptr,
                                    0, nullptr, &usedDefault);
        if (n <= 0 || usedDefault)
            return false;
        out->assign(size_t(n), '\0');
        WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, w.data(), int(w.size()), out->data(), n,
                            nullptr, &usedDefault);
        return !usedDefault;
    };
    if (convert(text))
        return true;
    if (!isPath)
        return false;
    wchar_t shortPath[MAX_PATH * 4];
    DWORD n = GetShortPathNameW(text.c_str(), shortPath, MAX_PATH * 4);
    if (n == 0 || n >= MAX_PATH * 4)
        return false;
    return convert(std::wstring(shortPath, n));
}

bool Win32ReportEnvironment::StartProcess(const std::wstring& program,
                                          const std::vector<uint8_t>& block) {
    if (block.size() > 0xFFFF)
        return false;
    std::wstring commandLine = L"\"" + program + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESHOWWINDOW;
    si.wShowWindow = SW_SHOWNORMAL;
    si.cbReserved2 = WORD(block.size());
    si.lpReserved2 = const_cast<BYTE*>(block.data());
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &si, &pi))
        return false;
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return true;
}

} // namespace vostrale::app
